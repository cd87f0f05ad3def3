#include "tests/tool/tool_test_helpers.h"

#include <elf.h>

#include <algorithm>
#include <filesystem>

#include "build/tool/payload_locate.h"
#include "tests/support/file_helpers.h"

namespace onefile::testing {

// x86-64 stubs are linked for 4 KiB pages; aarch64 kernels may use pages of
// up to 64 KiB, so aarch64 stubs are linked for those.
const std::vector<BuiltStub>& builtStubs() {
    static const std::vector<BuiltStub> stubs = {
        {tool::Architecture::x86_64, ONEFILE_STUB_PATH, EM_X86_64, 4096},
        {tool::Architecture::aarch64, ONEFILE_STUB_AARCH64_PATH, EM_AARCH64, 65536},
    };
    return stubs;
}

void PrintTo(const BuiltStub& stub, std::ostream* out) {
    *out << tool::architectureName(stub.architecture) << " stub";
}

std::string archName(tool::Architecture architecture) { return std::string(tool::architectureName(architecture)); }

ProcessResult runTool(const std::vector<std::string>& arguments, const ProcessOptions& options) {
    std::vector<std::string> argv{ONEFILE_TOOL_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runProcess(argv, options);
}

std::vector<unsigned char> readBytes(const std::string& path) {
    const std::string text = readFile(path);
    return {text.begin(), text.end()};
}

std::string LauncherContents::content(std::size_t index) const {
    const tool::BlockEntryInfo& entry = entries.at(index);
    const auto* start = file.data() + blockOffset + entry.contentOffset;
    return std::string(reinterpret_cast<const char*>(start), entry.size);
}

LauncherContents readLauncher(const std::string& path) {
    LauncherContents contents;
    contents.file = readBytes(path);
    const tool::ByteSpan block = tool::findAttachedBlock(contents.file);
    contents.blockOffset = static_cast<std::uint64_t>(block.data() - contents.file.data());
    contents.blockSize = block.size();
    contents.entries = tool::readBlock(block);
    return contents;
}

std::vector<std::string> listDirectory(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& item : std::filesystem::directory_iterator(path)) names.push_back(item.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace onefile::testing
