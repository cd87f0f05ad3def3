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

TEST_F(ExtractionTest, IgnoredFlagBitsChangeNothing) {
    const std::string probe = readFile(kProbePath);
    const std::string block = BlockBuilder()
                                  .magic()
                                  .file("probe", probe, 0xFC | kExecutable)
                                  .file("plain", "text", 0xFC)
                                  .link("link", "plain", 0xFC | kExecutable)
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

TEST_F(ExtractionTest, FailedDirectoryCreationShowsAsTheOpenFailure) {
    addProbe();
    const LauncherRun run =
        this->run({packWithHooks()}, withHooks({{"ONEFILE_HOOK_FAIL_MKDIR", tmpDir()}}));
    EXPECT_EQ(run.process.exitCode, 2);
    const std::regex message("Error, failed to open '" + tmpDir() +
                             "/onefile_[0-9]+_[0-9]{6}_[A-Za-z0-9_-]{11}/probe' for writing\\.\n");
    EXPECT_TRUE(std::regex_match(run.process.err, message)) << run.process.err;
    EXPECT_EQ(run.process.out, "");
    EXPECT_FALSE(run.report.complete);
}

TEST_F(ExtractionTest, FailedFstatIsReportedAndTheProgramStillGetsOwnerOnlyAccess) {
    addProbe();
    writeFile(appDir() + "/data", "data", 0644);
    onefile::testing::ProcessOptions options =
        withHooks({{"ONEFILE_HOOK_FAIL_FSTAT", fs::canonical(tmpDir()).string()}});
    options.umask = 022;
    const LauncherRun run = this->run({packWithHooks({"--main", "probe"})}, options);
    EXPECT_EQ(run.process.exitCode, 0);
    // Only the executable entry's mode is read.
    EXPECT_EQ(run.process.err, "fstat: Input/output error\n");
    ASSERT_TRUE(run.report.complete);
    const std::string probeSize = std::to_string(fs::file_size(appDir() + "/probe"));
    EXPECT_EQ(joined(run.report.tree), joined({"file 0644 4 data", "file 0700 " + probeSize + " probe"}));
}

}  // namespace
}  // namespace onefile::e2e
