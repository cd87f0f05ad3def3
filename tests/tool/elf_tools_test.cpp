// A launcher is an ELF file that the usual tools accept, and it still lists,
// and runs where it can, after they have rewritten it. For each architecture
// with that architecture's binutils.
#include <elf.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "format/launcher_config.h"
#include "tests/support/file_helpers.h"
#include "tests/support/temp_dir.h"
#include "tests/tool/tool_test_helpers.h"

namespace onefile::testing {
namespace {

inline constexpr int kMainExitCode = 7;

struct ArchitectureTools {
    tool::Architecture architecture;
    const char* fileSays;  // file(1)'s name of the machine
    const char* strip;
    const char* objcopy;
    std::uint64_t pageBytes;  // the payload segment's alignment
};

const ArchitectureTools kArchitectureTools[] = {
    {tool::Architecture::x86_64, "x86-64", "strip", "objcopy", 4096},
    {tool::Architecture::aarch64, "ARM aarch64", "aarch64-linux-gnu-strip", "aarch64-linux-gnu-objcopy", 65536},
};

void PrintTo(const ArchitectureTools& tools, std::ostream* out) { *out << tools.strip << " and " << tools.objcopy; }

std::string toolsName(const ::testing::TestParamInfo<ArchitectureTools>& info) {
    return archName(info.param.architecture);
}

// The machine these tests run on: only its launchers are run here. Those of
// the other architecture are run under emulation by the tests of launchers.
#if defined(__aarch64__)
inline constexpr tool::Architecture kHostArchitecture = tool::Architecture::aarch64;
#else
inline constexpr tool::Architecture kHostArchitecture = tool::Architecture::x86_64;
#endif

// The blank-separated fields of the first line of `text` that holds the
// field `first`, from that field on.
std::vector<std::string> fieldsAfter(const std::string& text, const std::string& first) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::vector<std::string> fields;
        for (std::string word; words >> word;) {
            if (!fields.empty() || word == first) fields.push_back(word);
        }
        if (!fields.empty()) return fields;
    }
    return {};
}

class ElfToolsTest : public ::testing::TestWithParam<ArchitectureTools> {
protected:
    ElfToolsTest() : launcher_(dir_.file("launcher")) {
        writeFile(dir_.file("app/main"), "#!/bin/sh\nexit " + std::to_string(kMainExitCode) + "\n", 0755);
        writeFile(dir_.file("app/lib/data"), std::string(500000, 'd'), 0644);
        makeSymlink("data", dir_.file("app/lib/alias"));
        const ProcessResult result = runTool(
            {"pack", dir_.file("app"), "-o", launcher_, "--arch", archName(GetParam().architecture)});
        if (result.exitCode != 0) throw std::runtime_error("pack failed: " + result.err);
        listing_ = list(launcher_);
    }

    std::string list(const std::string& launcher) {
        const ProcessResult result = runTool({"list", launcher});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return result.out;
    }

    // Runs a launcher with its extraction below the test's directory and
    // checks its exit status, where launchers of this architecture run.
    void expectRunsHere(const std::string& launcher) {
        if (GetParam().architecture != kHostArchitecture) return;
        ProcessOptions options;
        options.setEnvironment["TMPDIR"] = dir_.path();
        EXPECT_EQ(runProcess({launcher}, options).exitCode, kMainExitCode);
    }

    ProcessResult run(const std::vector<std::string>& argv) {
        const ProcessResult result = runProcess(argv);
        EXPECT_EQ(result.exitCode, 0) << argv.front() << ": " << result.err;
        return result;
    }

    TempDir dir_;
    std::string launcher_;
    std::string listing_;
};

TEST_P(ElfToolsTest, ReadelfFileAndElflintAcceptALauncher) {
    const ProcessResult readelf = run({"readelf", "-lSW", launcher_});
    EXPECT_EQ(readelf.err, "");
    const LauncherContents contents = readLauncher(launcher_);
    // "onefile_payload PROGBITS address offset size ES flags ..."
    const std::vector<std::string> section = fieldsAfter(readelf.out, "onefile_payload");
    ASSERT_GE(section.size(), 7u) << readelf.out;
    EXPECT_EQ(section[1], "PROGBITS");
    EXPECT_EQ(section[6], "A");
    const std::uint64_t offset = std::stoull(section[3], nullptr, 16);
    const std::uint64_t size = std::stoull(section[4], nullptr, 16);
    EXPECT_EQ(offset + kLauncherConfigBytes, contents.blockOffset);
    EXPECT_EQ(size, kLauncherConfigBytes + contents.blockSize);
    // "LOAD offset vaddr paddr filesz memsz flags align": the last one is the
    // payload segment, read-only, as large as the section, on a page of the
    // size the stub was linked for.
    std::vector<std::string> load;
    for (std::size_t at = readelf.out.find("  LOAD "); at != std::string::npos; at = readelf.out.find("  LOAD ", at + 1))
        load = fieldsAfter(readelf.out.substr(at), "LOAD");
    ASSERT_EQ(load.size(), 8u);
    EXPECT_EQ(std::stoull(load[1], nullptr, 16), offset);
    EXPECT_EQ(std::stoull(load[4], nullptr, 16), size);
    EXPECT_EQ(std::stoull(load[5], nullptr, 16), size);
    EXPECT_EQ(load[6], "R");
    EXPECT_EQ(std::stoull(load[7], nullptr, 16), GetParam().pageBytes);
    EXPECT_EQ(offset % GetParam().pageBytes, 0u);

    EXPECT_NE(run({"file", launcher_}).out.find(std::string("ELF 64-bit LSB pie executable, ") + GetParam().fileSays),
              std::string::npos);
    const ProcessResult lint = run({"eu-elflint", "--gnu-ld", launcher_});
    EXPECT_EQ(lint.out, "No errors\n");
}

// The stub has no symbols left to strip: strip also drops a section, so
// that it rewrites the tail of the file and the section header table.
TEST_P(ElfToolsTest, StrippedLauncherStillListsAndRuns) {
    const std::string stripped = dir_.file("stripped");
    run({GetParam().strip, "--remove-section=.comment", "-o", stripped, launcher_});
    ASSERT_LT(readFile(stripped).size(), readFile(launcher_).size());
    EXPECT_EQ(list(stripped), listing_);
    expectRunsHere(stripped);
}

TEST_P(ElfToolsTest, ObjcopiedLauncherStillLists) {
    const std::string copied = dir_.file("copied");
    run({GetParam().objcopy, "--add-section", ".note.extra=" + dir_.file("app/main"), launcher_, copied});
    ASSERT_NE(run({"readelf", "-SW", copied}).out.find(".note.extra"), std::string::npos);
    EXPECT_EQ(list(copied), listing_);
}

// Without section headers the payload is the last loadable segment.
TEST_P(ElfToolsTest, LauncherWithoutSectionHeadersStillListsAndRuns) {
    std::vector<unsigned char> bytes = readBytes(launcher_);
    Elf64_Ehdr header;
    std::memcpy(&header, bytes.data(), sizeof header);
    const std::uint64_t tableOffset = header.e_shoff;
    header.e_shoff = 0;
    header.e_shnum = 0;
    header.e_shstrndx = 0;
    std::memcpy(bytes.data(), &header, sizeof header);
    bytes.resize(tableOffset);  // the table itself goes too
    const std::string headless = dir_.file("headless");
    writeFile(headless, std::string(bytes.begin(), bytes.end()), 0755);
    EXPECT_EQ(run({"readelf", "-SW", headless}).out.find("onefile_payload"), std::string::npos);
    EXPECT_EQ(list(headless), listing_);
    expectRunsHere(headless);
}

INSTANTIATE_TEST_SUITE_P(Architectures, ElfToolsTest, ::testing::ValuesIn(kArchitectureTools), toolsName);

}  // namespace
}  // namespace onefile::testing
