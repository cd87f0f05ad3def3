// The extracted tree as the child sees it: modes under different umasks,
// symbolic links, exact bytes, directory creation, and the failures of the
// file system calls that extraction depends on.
#include <algorithm>
#include <filesystem>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "tests/e2e/launcher_fixture.h"
#include "tests/support/file_helpers.h"

namespace onefile::e2e {
namespace {

namespace fs = std::filesystem;
using onefile::testing::makeSymlink;
using onefile::testing::readFile;
using onefile::testing::writeFile;

bool hasLine(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

std::string pseudoRandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
    return bytes;
}

class ExtractionTest : public LauncherTest {};

TEST_F(ExtractionTest, ModesFollowTheExecutableFlagAndTheUmask) {
    addProbe();
    writeFile(appDir() + "/bin/tool", "#!/bin/sh\n", 0755);
    writeFile(appDir() + "/bin/empty-tool", "", 0700);
    writeFile(appDir() + "/share/data.txt", "data\n", 0644);
    writeFile(appDir() + "/share/deep/er/private", "secret\n", 0600);
    const std::string launcher = pack({"--main", "probe"});
    const std::size_t probeSize = fs::file_size(appDir() + "/probe");
    const struct {
        mode_t umask;
        const char* executable;
        const char* plain;
    } cases[] = {
        {022, "0745", "0644"},
        {077, "0700", "0600"},
        {002, "0765", "0664"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("umask " + std::to_string(c.umask));
        onefile::testing::ProcessOptions options;
        options.umask = c.umask;
        const LauncherRun run = this->run({launcher}, options);
        ASSERT_TRUE(run.report.complete) << run.process.err;
        const std::string x = c.executable;
        const std::string p = c.plain;
        // Directories are made 0700 and the umask can only take bits away.
        const std::vector<std::string> expected = {
            "dir 0700 bin",
            "file " + x + " 0 bin/empty-tool",
            "file " + x + " 10 bin/tool",
            "file " + x + " " + std::to_string(probeSize) + " probe",
            "dir 0700 share",
            "file " + p + " 5 share/data.txt",
            "dir 0700 share/deep",
            "dir 0700 share/deep/er",
            "file " + p + " 7 share/deep/er/private",
        };
        EXPECT_EQ(joined(run.report.tree), joined(expected));
        EXPECT_EQ(run.report.directoryMode, "0700");
    }
}

// Bits 3 to 7 of the flags mean nothing to the launcher. Bit 2 marks
// compressed content, which only a launcher with the decoder reads: to the
// launcher that attach makes by default it is damage, on a file as on a link.
constexpr std::uint8_t kIgnoredFlagBits = 0xF8;
constexpr std::uint8_t kCompressedFlag = 0x04;

TEST_F(ExtractionTest, IgnoredFlagBitsChangeNothing) {
    const std::string probe = readFile(kProbePath);
    const std::string block = BlockBuilder()
                                  .magic()
                                  .file("probe", probe, kIgnoredFlagBits | kExecutable)
                                  .file("plain", "text", kIgnoredFlagBits)
                                  .link("link", "plain", kIgnoredFlagBits | kExecutable)
                                  .endMark()
                                  .trailer()
                                  .bytes();
    onefile::testing::ProcessOptions options;
    options.umask = 022;
    const LauncherRun run = this->run({attach(block)}, options);
    ASSERT_TRUE(run.report.complete) << run.process.err;
    EXPECT_EQ(joined(run.report.tree), joined({"link 0777 link -> plain", "file 0644 4 plain",
                                               "file 0745 " + std::to_string(probe.size()) + " probe"}));
}

TEST_F(ExtractionTest, CompressedFlagWithoutTheDecoderIsDamage) {
    const std::string probe = readFile(kProbePath);
    const struct {
        const char* what;
        std::string block;
    } cases[] = {
        {"file", BlockBuilder()
                     .magic()
                     .file("probe", probe, kExecutable)
                     .file("packed", "not a frame", kCompressedFlag)
                     .endMark()
                     .trailer()
                     .bytes()},
        {"link", BlockBuilder()
                     .magic()
                     .file("probe", probe, kExecutable)
                     .link("link", "probe", kLink | kCompressedFlag)
                     .endMark()
                     .trailer()
                     .bytes()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const LauncherRun run = this->run({attach(c.block, {}, std::string("launcher-") + c.what)});
        EXPECT_EQ(run.process.exitCode, 2);
        EXPECT_EQ(run.process.err, "Error, attached data is damaged.\n");
        EXPECT_EQ(run.process.out, "");
        EXPECT_FALSE(run.report.complete);
        EXPECT_EQ(tmpDirContents(), std::vector<std::string>{});
    }
}

TEST_F(ExtractionTest, ContentArrivesByteForByte) {
    addProbe();
    const std::vector<std::pair<std::string, std::string>> files = {
        {"empty", ""},
        {"one-byte", "x"},
        {"one-chunk", pseudoRandomBytes(32768, 1)},
        {"chunk-and-one", pseudoRandomBytes(32769, 2)},
        {"lib/several-chunks", pseudoRandomBytes(3 * 32768 + 17, 3)},
        {"every-byte-value", [] {
             std::string bytes;
             for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
             return bytes;
         }()},
    };
    for (const auto& [name, content] : files) writeFile(appDir() + "/" + name, content, 0644);
    writeFile(appDir() + "/empty-program", "", 0755);

    onefile::testing::ProcessOptions options;
    options.umask = 022;
    options.setEnvironment["PROBE_COPY_TO"] = temp().file("copy");
    const LauncherRun run = this->run({pack({"--main", "probe"})}, options);
    ASSERT_TRUE(run.report.complete) << run.process.err;
    for (const auto& [name, content] : files) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(readFile(temp().file("copy/" + name)) == content) << "content differs";
        EXPECT_TRUE(hasLine(run.report.tree, "file 0644 " + std::to_string(content.size()) + " " + name));
    }
    // An empty entry with the executable flag still gets its execute bits.
    EXPECT_TRUE(hasLine(run.report.tree, "file 0745 0 empty-program")) << joined(run.report.tree);
}

TEST_F(ExtractionTest, LinksKeepTheirTextEvenWhenDangling) {
    addProbe();
    writeFile(appDir() + "/lib/libthing.so.1", "library");
    const std::vector<std::pair<std::string, std::string>> links = {
        {"lib/libthing.so", "libthing.so.1"},
        {"dangling", "no/such/file"},
        {"absolute", "/nonexistent/with space"},
        {"upward", "../outside"},
        {"lib/to-directory", "."},
    };
    for (const auto& [name, text] : links) makeSymlink(text, appDir() + "/" + name);
    const LauncherRun run = this->run({pack({"--main", "probe"})});
    ASSERT_TRUE(run.report.complete) << run.process.err;
    for (const auto& [name, text] : links) {
        EXPECT_TRUE(hasLine(run.report.tree, "link 0777 " + name + " -> " + text)) << joined(run.report.tree);
    }
    EXPECT_FALSE(fs::exists(temp().file("outside")));
}

TEST_F(ExtractionTest, LinkAsFirstEntryIsWhatTheChildStartsThrough) {
    const std::string block = BlockBuilder()
                                  .magic()
                                  .link("run", "probe")
                                  .file("probe", readFile(kProbePath), kExecutable)
                                  .endMark()
                                  .trailer()
                                  .bytes();
    const std::string launcher = attach(block);
    onefile::testing::ProcessOptions options;
    options.setEnvironment["PROBE_EXIT"] = "7";
    const LauncherRun run = this->run({launcher}, options);
    EXPECT_EQ(run.process.exitCode, 7) << run.process.err;
    ASSERT_TRUE(run.report.complete);
    EXPECT_EQ(fs::path(run.report.self).filename(), "probe");
    EXPECT_EQ(run.report.arguments, std::vector<std::string>{fs::canonical(launcher).string()});
    EXPECT_TRUE(hasLine(run.report.tree, "link 0777 run -> probe")) << joined(run.report.tree);
}

TEST_F(ExtractionTest, DirectoriesBeyondTheMemoAreStillCreatedAndUsed) {
    // Three chains of 350 new directories each: the memo of known
    // directories (1024) fills up inside the third chain, so its deepest
    // levels are created without being remembered and are tested again for
    // the second file below them. Chains keep the number of entries, and so
    // the run, small.
    constexpr int kDepth = 350;
    auto chain = [](char level) {
        std::string path;
        for (int i = 0; i < kDepth; ++i) path += std::string(1, level) + "/";
        return path;
    };
    const std::string block = BlockBuilder()
                                  .magic()
                                  .file("probe", readFile(kProbePath), kExecutable)
                                  .file(chain('a') + "f", "a")
                                  .file(chain('b') + "f", "b")
                                  .file(chain('c') + "f1", "c")
                                  .file(chain('c') + "f2", "cc")
                                  .endMark()
                                  .trailer()
                                  .bytes();
    const LauncherRun run = this->run({attach(block)});
    ASSERT_TRUE(run.report.complete) << run.process.err;
    EXPECT_EQ(run.report.tree.size(), 3u * kDepth + 5u);
    for (const std::string& line : {"file 0644 1 " + chain('a') + "f", "file 0644 1 " + chain('b') + "f",
                                    "file 0644 1 " + chain('c') + "f1", "file 0644 2 " + chain('c') + "f2"}) {
        EXPECT_TRUE(hasLine(run.report.tree, line)) << line;
    }
}

TEST_F(ExtractionTest, FailedDirectoryCreationEndsTheRunAndLeavesNothing) {
    addProbe();
    writeFile(appDir() + "/sub/data", "data");
    const std::string launcher = packWithHooks({"--main", "probe", "--template", "{TEMP}/x"});
    // The hooks see the directory as the kernel resolved it.
    const std::string directory = fs::canonical(tmpDir()).string() + "/x";
    const struct {
        const char* what;
        std::string failedPrefix;
        std::string message;
        std::vector<std::string> made;  // what the run may have made before the failure
    } cases[] = {
        {"the extraction directory", directory,
         "Error, couldn't create extraction directory '" + tmpDir() + "/x': Permission denied.\n", {}},
        // "probe" comes first and may be written; the failure removes it.
        {"the directory of an entry", directory + "/sub",
         "Error, failed to open '" + tmpDir() + "/x/sub/data' for writing.\n",
         {"mkdirat " + directory, "openat " + directory + "/probe"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string madeLog = temp().file("made");
        fs::remove(madeLog);
        const LauncherRun run = this->run(
            {launcher}, withHooks({{"ONEFILE_HOOK_FAIL_MKDIR", c.failedPrefix}, {"ONEFILE_HOOK_MADE_LOG", madeLog}}));
        EXPECT_EQ(run.process.exitCode, 2);
        EXPECT_EQ(run.process.err, c.message);
        EXPECT_EQ(run.process.out, "");
        EXPECT_FALSE(run.report.complete);
        const std::vector<std::string> made = readMadeLog(madeLog);
        if (c.made.empty()) {
            EXPECT_EQ(made, std::vector<std::string>{});
        } else {
            EXPECT_TRUE(madeOnly(made, c.made));
        }
        EXPECT_EQ(tmpDirContents(), std::vector<std::string>{});
    }
}

TEST_F(ExtractionTest, FailedFstatOfAFileGivenTwiceIsReportedAndTheProgramStillGetsOwnerOnlyAccess) {
    // A new file is created with its final mode; only a file that exists
    // already, because the block names it twice, has its mode read.
    const std::string probe = readFile(kProbePath);
    const std::string block = BlockBuilder()
                                  .magic()
                                  .file("probe", probe, kExecutable)
                                  .file("data", "data")
                                  .file("probe", probe, kExecutable)
                                  .endMark()
                                  .trailer()
                                  .bytes();
    const std::string launcher = attach(block, {"--template", "{TEMP}/x", "--stub", kHookStubPath});
    // The entries' files only: the levels above the extraction directory and
    // the directory itself are examined with fstat as well.
    onefile::testing::ProcessOptions options =
        withHooks({{"ONEFILE_HOOK_FAIL_FSTAT", fs::canonical(tmpDir()).string() + "/x/"}});
    options.umask = 022;
    const LauncherRun run = this->run({launcher}, options);
    EXPECT_EQ(run.process.exitCode, 0);
    // One report: the first "probe" was created with its mode, unread.
    EXPECT_EQ(run.process.err, "fstat: Input/output error\n");
    ASSERT_TRUE(run.report.complete);
    EXPECT_EQ(joined(run.report.tree),
              joined({"file 0644 4 data", "file 0700 " + std::to_string(probe.size()) + " probe"}));
}

}  // namespace
}  // namespace onefile::e2e
