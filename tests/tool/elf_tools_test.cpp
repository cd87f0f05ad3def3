// A launcher is an ELF file that the usual tools accept, and it still lists
// and runs after they have rewritten it.
#include <elf.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "build/launcher_config.h"
#include "tests/support/file_helpers.h"
#include "tests/support/temp_dir.h"
#include "tests/tool/tool_test_helpers.h"

namespace onefile::testing {
namespace {

inline constexpr int kMainExitCode = 7;

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

class ElfToolsTest : public ::testing::Test {
protected:
    ElfToolsTest() : launcher_(dir_.file("launcher")) {
        writeFile(dir_.file("app/main"), "#!/bin/sh\nexit " + std::to_string(kMainExitCode) + "\n", 0755);
        writeFile(dir_.file("app/lib/data"), std::string(500000, 'd'), 0644);
        makeSymlink("data", dir_.file("app/lib/alias"));
        const ProcessResult result = runTool({"pack", dir_.file("app"), "-o", launcher_});
        if (result.exitCode != 0) throw std::runtime_error("pack failed: " + result.err);
        listing_ = list(launcher_);
    }

    std::string list(const std::string& launcher) {
        const ProcessResult result = runTool({"list", launcher});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return result.out;
    }

    // Runs a launcher with its extraction below the test's directory.
    ProcessResult runLauncher(const std::string& launcher) {
        ProcessOptions options;
        options.setEnvironment["TMPDIR"] = dir_.path();
        return runProcess({launcher}, options);
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

TEST_F(ElfToolsTest, ReadelfFileAndElflintAcceptALauncher) {
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
    // payload segment, read-only, as large as the section.
    std::vector<std::string> load;
    for (std::size_t at = readelf.out.find("  LOAD "); at != std::string::npos; at = readelf.out.find("  LOAD ", at + 1))
        load = fieldsAfter(readelf.out.substr(at), "LOAD");
    ASSERT_EQ(load.size(), 8u);
    EXPECT_EQ(std::stoull(load[1], nullptr, 16), offset);
    EXPECT_EQ(std::stoull(load[4], nullptr, 16), size);
    EXPECT_EQ(std::stoull(load[5], nullptr, 16), size);
    EXPECT_EQ(load[6], "R");

    EXPECT_NE(run({"file", launcher_}).out.find("ELF 64-bit LSB pie executable, x86-64"), std::string::npos);
    const ProcessResult lint = run({"eu-elflint", "--gnu-ld", launcher_});
    EXPECT_EQ(lint.out, "No errors\n");
}

TEST_F(ElfToolsTest, StrippedLauncherStillListsAndRuns) {
    const std::string stripped = dir_.file("stripped");
    run({"strip", "-o", stripped, launcher_});
    ASSERT_LT(readFile(stripped).size(), readFile(launcher_).size());
    EXPECT_EQ(list(stripped), listing_);
    EXPECT_EQ(runLauncher(stripped).exitCode, kMainExitCode);
}

TEST_F(ElfToolsTest, ObjcopiedLauncherStillLists) {
    const std::string copied = dir_.file("copied");
    run({"objcopy", "--remove-section=.comment", launcher_, copied});
    EXPECT_EQ(list(copied), listing_);
}

// Without section headers the payload is the last loadable segment.
TEST_F(ElfToolsTest, LauncherWithoutSectionHeadersStillListsAndRuns) {
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
    EXPECT_EQ(runLauncher(headless).exitCode, kMainExitCode);
}

}  // namespace
}  // namespace onefile::testing
