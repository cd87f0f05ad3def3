// What the onefile tool tests share: running the built tool, and reading a
// launcher's block back with the tool's own reader.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "build/tool/architecture.h"
#include "build/tool/block_reader.h"
#include "tests/support/run_process.h"

namespace onefile::testing {

// A stub this build makes, with what its ELF header and segments must say.
struct BuiltStub {
    tool::Architecture architecture;
    std::string path;
    unsigned machine = 0;         // e_machine
    std::uint64_t pageBytes = 0;  // the alignment its loadable segments were linked with
};

// One for each architecture the tool makes launchers for.
const std::vector<BuiltStub>& builtStubs();

// How a test that runs on each stub names it: "aarch64 stub".
void PrintTo(const BuiltStub& stub, std::ostream* out);

// The name of `architecture` as --arch takes it.
std::string archName(tool::Architecture architecture);

// Runs the built onefile tool with `arguments`.
ProcessResult runTool(const std::vector<std::string>& arguments, const ProcessOptions& options = {});

// The bytes of a file as unsigned chars.
std::vector<unsigned char> readBytes(const std::string& path);

// The entries of the launcher at `path`, and the block they were read from.
struct LauncherContents {
    std::vector<unsigned char> file;
    std::uint64_t blockOffset = 0;
    std::uint64_t blockSize = 0;
    std::vector<tool::BlockEntryInfo> entries;

    // The content bytes of file entry `index`.
    std::string content(std::size_t index) const;
};
LauncherContents readLauncher(const std::string& path);

// Names in a directory, sorted; for checking that a refusal left nothing.
std::vector<std::string> listDirectory(const std::string& path);

}  // namespace onefile::testing
