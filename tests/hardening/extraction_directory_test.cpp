// The extraction directory is made by the launcher itself, exclusively: a
// directory (or anything else) already standing at the expanded path ends
// the run before anything is written or removed, whoever made it, so a
// template that names an existing directory such as {HOME} or {PROGRAM_DIR}
// can never have it filled and then removed. The levels above it are made
// as needed with mode 0700 less the umask, and those a run made itself go
// again at its end when they are empty.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/hardening/hardening_support.h"
#include "tests/support/file_helpers.h"
#include "tests/support/temp_dir.h"

namespace onefile::hardening {
namespace {

using std::chrono::milliseconds;

// Every path below `root`, relative to it, sorted; links are not followed.
std::vector<std::string> pathsBelow(const std::string& root) {
    std::vector<std::string> paths;
    for (const std::string& line : describeTree(root, false)) {
        // "KIND MODE OWNER PATH[ ...]"
        std::istringstream fields(line);
        std::string kind, mode, owner, path;
        fields >> kind >> mode >> owner >> path;
        if (path != ".") paths.push_back(path);
    }
    return paths;
}

class ExtractionDirectoryTest : public ::testing::Test {
protected:
    // Packs an application of `main` and a small data file into
    // temp/`name`; toolOptions follow the output.
    std::string makeLauncher(const std::string& main, const std::vector<std::string>& toolOptions,
                             const std::string& name = "launcher") {
        const std::string launcher = temp_.file(name);
        packScriptApp(temp_.file("apps/" + std::to_string(apps_++)), main, launcher, toolOptions);
        return launcher;
    }

    std::string runsFile() const { return temp_.file("runs"); }

    ProcessOptions optionsFor(const std::string& tmpDir) const { return recordingOptions(tmpDir, runsFile()); }

    std::vector<std::string> runs() const { return linesOf(runsFile()); }

    TempDir temp_;
    int apps_ = 0;
};

// A directory, or a file, that stands at the expanded path already is never
// used: the run ends with the report of the failed creation, exit status 2,
// before the application starts, and the directory keeps its files, its
// mode and its times. {PROGRAM_DIR} holds the launcher itself and a
// neighbour; an empty product makes "{TEMP}/{PRODUCT}" name TMPDIR.
TEST_F(ExtractionDirectoryTest, AnythingAlreadyAtTheExpandedPathIsRefusedAndLeftAsItWas) {
    const struct {
        const char* name;
        const char* templateText;
        std::vector<std::string> moreToolOptions;
        // The directory whose tree must stay as it was, below temp.
        const char* watched;
        // The expanded path, below temp, as the report names it.
        const char* expanded;
        bool physicalPath;  // the report names the path with links resolved
    } cases[] = {
        {"{HOME}", "{HOME}", {}, "home", "home", false},
        {"{PROGRAM_DIR}", "{PROGRAM_DIR}", {}, "program", "program", true},
        {"{TEMP}", "{TEMP}", {}, "tmp", "tmp", false},
        {"{TEMP}/{PRODUCT} with an empty product", "{TEMP}/{PRODUCT}", {"--product", ""}, "tmp", "tmp/", false},
        {"a fixed name below TMPDIR", "{TEMP}/fixed", {}, "tmp", "tmp/fixed", false},
        {"a regular file at the path", "{TEMP}/plain", {}, "tmp", "tmp/plain", false},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> toolOptions = {"--template", c.templateText};
        toolOptions.insert(toolOptions.end(), c.moreToolOptions.begin(), c.moreToolOptions.end());
        const std::string launcher =
            makeLauncher(kRecordingMain, toolOptions, "program/launcher" + std::to_string(index++));
        writeFile(temp_.file("program/neighbour"), "neighbour\n", 0600);
        writeFile(temp_.file("home/keep.txt"), "home\n", 0600);
        writeFile(temp_.file("home/sub/inner.txt"), "inner\n");
        writeFile(temp_.file("tmp/keep.txt"), "tmp\n", 0600);
        writeFile(temp_.file("tmp/fixed/keep.txt"), "fixed\n");
        writeFile(temp_.file("tmp/plain"), "plain\n");
        const std::string watched = temp_.file(c.watched);
        std::string expanded = temp_.file(c.expanded);
        if (c.physicalPath) expanded = std::filesystem::canonical(expanded).string();

        const std::vector<std::string> before = describeTree(watched);
        ProcessOptions options = optionsFor(temp_.file("tmp"));
        options.setEnvironment["HOME"] = temp_.file("home");
        const ProcessResult result = runProcess({launcher}, options);

        EXPECT_EQ(result.exitCode, 2);
        EXPECT_EQ(result.err, createFailure(expanded, "File exists"));
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(runs(), std::vector<std::string>{}) << "the application started";
        EXPECT_EQ(describeTree(watched), before);
    }
}

// A block without a single entry still has its directory made: an existing
// one is refused as for any block, and stays with its files.
TEST_F(ExtractionDirectoryTest, AnEmptyBlockStillMakesItsDirectory) {
    // Magic, end mark, and the length trailer counting those four bytes.
    const std::string block("ZQX\0\x04\0\0\0\0\0\0\0", 12);
    const std::string blockFile = temp_.file("empty.block");
    writeFile(blockFile, block);
    const std::string launcher = temp_.file("launcher");
    runToolOrThrow({"attach", blockFile, "-o", launcher, "--template", "{TEMP}/fixed"});
    const std::string tmpDir = temp_.file("tmp");
    writeFile(tmpDir + "/fixed/keep.txt", "keep\n");
    const std::vector<std::string> before = describeTree(tmpDir);

    const ProcessResult result = runProcess({launcher}, launcherOptions(tmpDir));

    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.err, createFailure(tmpDir + "/fixed", "File exists"));
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(describeTree(tmpDir), before);
}

// The levels between TMPDIR and the extraction directory are made for the
// run with mode 0700 less the umask (the application sees them), and the
// run removes them again: TMPDIR is empty afterwards.
TEST_F(ExtractionDirectoryTest, LevelsAboveAreMadeWithMode0700AndRemovedAgain) {
    const std::string launcher = makeLauncher(std::string(kRecordingMain) +
                                                  "stat -c '%a' \"${d%/*/*}\" \"${d%/*}\" \"$d\" >> \"$ONEFILE_TEST_RUNS\"\n",
                                              {"--template", "{TEMP}/{RANDOM}/x/app"});
    for (const mode_t mask : {mode_t{0}, mode_t{022}, mode_t{077}, mode_t{027}}) {
        SCOPED_TRACE("umask " + octal(mask));
        (void)std::filesystem::remove(runsFile());
        const std::string tmpDir = temp_.file("tmp-" + octal(mask));
        makeDirectories(tmpDir);
        ProcessOptions options = optionsFor(tmpDir);
        options.umask = mask;
        const ProcessResult result = runProcess({launcher}, options);

        EXPECT_EQ(result.exitCode, 0) << result.err;
        const std::vector<std::string> lines = runs();
        ASSERT_EQ(lines.size(), 4u);
        const RecordedRun run = parseRun(lines[0]);
        EXPECT_EQ(run.directory, std::filesystem::canonical(tmpDir).string() + "/" + run.token + "/x/app");
        const std::string expected = octal(0700 & ~mask);
        EXPECT_EQ(lines[1], expected) << "the level {RANDOM}";
        EXPECT_EQ(lines[2], expected) << "the level x";
        EXPECT_EQ(lines[3], expected) << "the extraction directory";
        EXPECT_EQ(pathsBelow(tmpDir), std::vector<std::string>{})
            << "levels of the run were left behind";
    }
}

// A umask that takes the owner's own bits, for an ordinary user (65534, who
// owns TMPDIR), to whom permission bits apply: the directories the run makes
// cannot be opened or cannot be filled. The run fails as it always did, and
// nothing it made is left: not the extraction directory, whatever its mode,
// nor the levels above it.
TEST_F(ExtractionDirectoryTest, AUmaskThatLocksOutTheOwnerLeavesNothing) {
    const struct {
        mode_t mask;
        const char* templateText;
        // The report: the extraction directory could not be made, or the
        // first entry could not be written into it.
        bool createFails;
    } cases[] = {
        {0777, "{TEMP}/app", true},      // mode 000
        {0477, "{TEMP}/app", true},      // 0300: searchable, not readable
        {0777, "{TEMP}/a/b/app", true},  // a level of mode 000 above
        {0477, "{TEMP}/a/b/app", true},  // two levels made above it
        {0177, "{TEMP}/app", false},     // 0600: readable, not searchable
        {0377, "{TEMP}/a/b/app", true},  // 0400 above
    };
    ASSERT_EQ(chmod(temp_.path().c_str(), 0755), 0);
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("umask ") + octal(c.mask) + ", " + c.templateText);
        const std::string launcher =
            makeLauncher(kRecordingMain, {"--template", c.templateText}, "launcher" + std::to_string(index));
        const std::string tmpDir = temp_.file("tmp" + std::to_string(index++));
        makeDirectories(tmpDir);
        setOwnerAndMode(tmpDir, kOtherUser, kOtherGroup, 0700);
        ProcessOptions options = optionsFor(tmpDir);
        options.umask = c.mask;
        options.userId = kOtherUser;
        options.groupId = kOtherGroup;

        const ProcessResult result = runProcess({launcher}, options);

        const std::string directory = tmpDir + std::string(c.templateText).substr(strlen("{TEMP}"));
        EXPECT_EQ(result.exitCode, 2);
        if (c.createFails) {
            EXPECT_EQ(result.err, createFailure(directory, "Permission denied"));
        } else {
            EXPECT_EQ(result.err, "Error, failed to open '" + directory + "/main' for writing.\n");
        }
        EXPECT_EQ(runs(), std::vector<std::string>{}) << "the application started";
        EXPECT_EQ(pathsBelow(tmpDir), std::vector<std::string>{}) << "the run left what it made";
    }
}

// A level that existed before the run is the user's: it stays, with its mode,
// while the levels the run made below it go.
TEST_F(ExtractionDirectoryTest, ALevelThatExistedStaysAsItWas) {
    const std::string launcher = makeLauncher(kRecordingMain, {"--template", "{TEMP}/keep/{RANDOM}/x/app"});
    const std::string tmpDir = temp_.file("tmp");
    makeDirectories(tmpDir + "/keep");
    ASSERT_EQ(chmod((tmpDir + "/keep").c_str(), 0751), 0);
    const std::vector<std::string> before = describeTree(tmpDir, false);

    const ProcessResult result = runProcess({launcher}, optionsFor(tmpDir));

    EXPECT_EQ(result.exitCode, 0) << result.err;
    ASSERT_EQ(runs().size(), 1u);
    const RecordedRun run = parseRun(runs()[0]);
    EXPECT_EQ(run.directory, std::filesystem::canonical(tmpDir).string() + "/keep/" + run.token + "/x/app");
    EXPECT_EQ(describeTree(tmpDir, false), before);
}

// A level the run made but the application filled is not empty at the end:
// it stays with what the application put there, while the extraction
// directory goes; the exit status is the application's.
TEST_F(ExtractionDirectoryTest, ALevelTheApplicationFilledStays) {
    const std::string launcher = makeLauncher(std::string(kRecordingMain) +
                                                  "echo note > \"${d%/*}/note\" || exit 91\n"
                                                  "exit 3\n",
                                              {"--template", "{TEMP}/{RANDOM}/app"});
    const std::string tmpDir = temp_.file("tmp");
    makeDirectories(tmpDir);
    ProcessOptions options = optionsFor(tmpDir);
    options.umask = 022;

    const ProcessResult result = runProcess({launcher}, options);

    EXPECT_EQ(result.exitCode, 3) << result.err;
    EXPECT_EQ(result.err, "");
    ASSERT_EQ(runs().size(), 1u);
    const std::string token = parseRun(runs()[0]).token;
    ASSERT_TRUE(isRandomToken(token)) << token;
    struct stat status;
    ASSERT_EQ(stat((tmpDir + "/" + token).c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    EXPECT_EQ(onefile::testing::readFile(tmpDir + "/" + token + "/note"), "note\n");
    EXPECT_EQ(pathsBelow(tmpDir), (std::vector<std::string>{token, token + "/note"}))
        << "expected only the level with the application's note";
}

// Two runs of one launcher whose template names a fixed directory: while the
// first holds the directory, the second is refused (File exists) without
// starting its application or touching the first one's files; the first
// then runs to its end with its files in place, and its directory goes.
TEST_F(ExtractionDirectoryTest, ASecondRunIsRefusedWhileTheFirstHoldsTheDirectory) {
    // With ONEFILE_TEST_HOLD set, the application says it is ready, waits
    // (at most about 20 s) for the file the variable names, and exits 7 when
    // its own data file is still there, 9 when it is not.
    const std::string launcher = makeLauncher(std::string(kRecordingMain) +
                                                  "if [ -n \"$ONEFILE_TEST_HOLD\" ]; then\n"
                                                  "  : > \"$ONEFILE_TEST_HOLD.ready\"\n"
                                                  "  i=0\n"
                                                  "  while [ ! -e \"$ONEFILE_TEST_HOLD\" ] && [ $i -lt 2000 ]; do\n"
                                                  "    sleep 0.01; i=$((i + 1))\n"
                                                  "  done\n"
                                                  "  [ -f \"$d/data/file\" ] || exit 9\n"
                                                  "  exit 7\n"
                                                  "fi\n",
                                              {"--template", "{TEMP}/myapp"});
    const std::string tmpDir = temp_.file("tmp");
    makeDirectories(tmpDir);
    const std::string hold = temp_.file("hold");

    ProcessOptions firstOptions = optionsFor(tmpDir);
    firstOptions.setEnvironment["ONEFILE_TEST_HOLD"] = hold;
    BackgroundProcess first({launcher}, firstOptions);
    ASSERT_TRUE(waitForPath(hold + ".ready", milliseconds(20000))) << "the first run's application never started";
    const std::vector<std::string> firstFiles = describeTree(tmpDir + "/myapp");
    ASSERT_FALSE(firstFiles.empty());

    const ProcessResult second = runProcess({launcher}, optionsFor(tmpDir));
    EXPECT_EQ(second.exitCode, 2);
    EXPECT_EQ(second.err, createFailure(tmpDir + "/myapp", "File exists"));
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(runs().size(), 1u) << "the second run started its application";
    EXPECT_EQ(describeTree(tmpDir + "/myapp"), firstFiles) << "the second run touched the first one's files";

    writeFile(hold, "");
    const std::optional<ProcessResult> firstResult = first.wait(milliseconds(30000));
    ASSERT_TRUE(firstResult) << "the first run did not end";
    EXPECT_EQ(firstResult->exitCode, 7) << "9: the first run lost its files\n" << firstResult->err;
    EXPECT_EQ(firstResult->err, "");
    EXPECT_EQ(pathsBelow(tmpDir), std::vector<std::string>{});
}

// A relative template starts at the working directory: the levels are made
// there and go again at the end.
TEST_F(ExtractionDirectoryTest, ARelativeTemplateStartsAtTheWorkingDirectory) {
    const std::string launcher = makeLauncher(kRecordingMain, {"--template", "rel/sub/app_{RANDOM}"});
    const std::string work = temp_.file("work");
    makeDirectories(work);
    ProcessOptions options = optionsFor(temp_.file("tmp"));
    options.workingDirectory = work;

    const ProcessResult result = runProcess({launcher}, options);

    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    ASSERT_EQ(runs().size(), 1u);
    const RecordedRun run = parseRun(runs()[0]);
    EXPECT_EQ(run.directory, std::filesystem::canonical(work).string() + "/rel/sub/app_" + run.token);
    EXPECT_EQ(pathsBelow(work), std::vector<std::string>{});
}

}  // namespace
}  // namespace onefile::hardening
