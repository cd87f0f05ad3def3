// Launchers made with pack --reuse: the first run publishes the tree in its
// version directory below the holding directory, later runs use it as it
// is; runs that start together publish one tree; a run stopped while it
// unpacks leaves nothing, one killed leaves a working directory that the
// next first run removes; a new version replaces the old one unless a run
// of it still lives; names the launcher did not make stay.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e/reuse_support.h"
#include "tests/support/file_helpers.h"
#include "tests/support/sample_contents.h"

namespace onefile::e2e {
namespace {

namespace fs = std::filesystem;
using onefile::testing::makeDirectories;
using onefile::testing::makeSymlink;
using onefile::testing::ProcessOptions;
using onefile::testing::readFile;
using onefile::testing::writeFile;
using std::chrono::steady_clock;

constexpr int kTogether = 20;

ino_t inodeOf(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

std::string modeOf(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return "";
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", status.st_mode & 07777);
    return mode;
}

class ReusePublishTest : public ReuseTest {
protected:
    void SetUp() override {
        ReuseTest::SetUp();
        addProbe();
        writeFile(appDir() + "/data/a.txt", "alpha\n", 0644);
        writeFile(appDir() + "/data/sub/b.txt", "beta\n", 0644);
        writeFile(appDir() + "/bin/tool", "#!/bin/sh\n", 0755);
        makeSymlink("../data/a.txt", appDir() + "/share/link");
    }

    // The tree the probe reports for this application, unpacked under umask
    // 022 (the fixture's runs inherit the test's umask).
    std::vector<std::string> expectedTree() const {
        const std::string probeSize = std::to_string(fs::file_size(appDir() + "/probe"));
        return {"dir 0700 bin",
                "file 0745 10 bin/tool",
                "dir 0700 data",
                "file 0644 6 data/a.txt",
                "dir 0700 data/sub",
                "file 0644 5 data/sub/b.txt",
                "file 0745 " + probeSize + " probe",
                "dir 0700 share",
                "link 0777 share/link -> ../data/a.txt"};
    }
};

struct Packing {
    const char* name;
    std::vector<std::string> options;
};

void PrintTo(const Packing& packing, std::ostream* out) { *out << packing.name; }

class ReuseFirstRunTest : public ReusePublishTest, public ::testing::WithParamInterface<Packing> {};

// Stored or compressed: the check reads each entry's size from the block
// (from the frame headers for a compressed one, of two frames for the
// text), also for headers that lie far behind a large file, and finds the
// tree whole.
TEST_P(ReuseFirstRunTest, FirstRunPublishesTheTreeThatLaterRunsUseAsItIs) {
    // Incompressible, then compressible: the header after each lies far
    // behind the one before it.
    writeFile(appDir() + "/data/large/a.bin", onefile::testing::randomBytes(300u << 10, 7), 0644);
    std::string text;
    for (int line = 0; text.size() < (8u << 20) + 5000; ++line) text += "line " + std::to_string(line % 97) + "\n";
    writeFile(appDir() + "/data/large/b.txt", text, 0644);
    std::vector<std::string> packOptions = {"--main", "probe"};
    packOptions.insert(packOptions.end(), GetParam().options.begin(), GetParam().options.end());
    const std::string launcher = packReused(packOptions);
    const std::string version = versionNameOf(launcher);
    const std::string versionDir = holdingDir() + "/" + version;

    ProcessOptions options = reuseOptions();
    options.umask = 022;
    options.setEnvironment["PROBE_MAKE_FILE"] = "made-by-the-application";
    const LauncherRun first = run({launcher, "one"}, options);
    ASSERT_TRUE(first.report.complete) << first.process.err;
    EXPECT_EQ(first.process.exitCode, 0);
    EXPECT_EQ(first.process.err, "");
    EXPECT_EQ(first.report.directory, versionDir);
    EXPECT_EQ(first.report.directoryMode, "0700");
    EXPECT_EQ(first.report.arguments, (std::vector<std::string>{launcher, "one"}));
    EXPECT_EQ(first.report.variable("TAVMIR_ONEFILE_DIRECTORY"), temp().path());
    EXPECT_EQ(first.report.variable("TAVMIR_ORIGINAL_ARGV0"), launcher);
    EXPECT_FALSE(first.report.variable("TAVMIR_ONEFILE_RANDOM").has_value());
    EXPECT_EQ(treesIn(holdingDir()), std::vector<std::string>{version});
    // The levels the run made on the way are private, and stay.
    EXPECT_EQ(modeOf(cacheDir() + "/onefile"), "0700");
    EXPECT_EQ(modeOf(holdingDir()), "0700");
    const ino_t published = inodeOf(versionDir);

    // The next run finds the tree and runs it as it is: the same directory,
    // the application's own file still in it (not checked, not removed).
    options.setEnvironment.erase("PROBE_MAKE_FILE");
    options.setEnvironment["PROBE_EXIT"] = "7";
    const LauncherRun second = run({launcher, "two"}, options);
    ASSERT_TRUE(second.report.complete) << second.process.err;
    EXPECT_EQ(second.process.exitCode, 7);
    EXPECT_EQ(second.process.err, "");
    EXPECT_EQ(second.report.directory, versionDir);
    EXPECT_EQ(second.report.arguments, (std::vector<std::string>{launcher, "two"}));
    std::vector<std::string> tree = expectedTree();
    tree.insert(tree.begin() + 4, {"dir 0700 data/large", "file 0644 307200 data/large/a.bin",
                                   "file 0644 " + std::to_string(text.size()) + " data/large/b.txt"});
    tree.insert(tree.begin() + 9, "file 0644 0 made-by-the-application");
    EXPECT_EQ(second.report.tree, tree);
    EXPECT_EQ(inodeOf(versionDir), published);
    EXPECT_EQ(treesIn(holdingDir()), std::vector<std::string>{version});
}

INSTANTIATE_TEST_SUITE_P(Packings, ReuseFirstRunTest,
                         ::testing::Values(Packing{"Stored", {}}, Packing{"Compressed", {"--compress"}}),
                         [](const ::testing::TestParamInfo<Packing>& info) { return info.param.name; });

struct Together {
    const char* name;
    bool damaged;  // a run published first, then a file went
};

void PrintTo(const Together& together, std::ostream* out) { *out << together.name; }

class ReuseTogetherTest : public ReusePublishTest, public ::testing::WithParamInterface<Together> {};

// Runs that start together all succeed and share one tree: each unpacks
// (or repairs) on its own, one publishes, the others remove what they made
// and use the published tree; no working directory stays.
TEST_P(ReuseTogetherTest, AllSucceedAndOneTreeStays) {
    // Enough files that the runs overlap while they unpack.
    for (int i = 0; i < 200; ++i) writeFile(appDir() + "/many/file" + std::to_string(i), std::string(8192, 'm'));
    const std::string launcher = packReused({"--main", "probe"});
    const std::string version = versionNameOf(launcher);
    const std::string versionDir = holdingDir() + "/" + version;
    if (GetParam().damaged) {
        const LauncherRun first = run({launcher}, reuseOptions());
        ASSERT_EQ(first.process.exitCode, 0) << first.process.err;
        fs::remove(versionDir + "/data/a.txt");
    }

    std::vector<std::unique_ptr<StartedLauncher>> runs = startTogether(launcher, kTogether);
    std::vector<std::string> trees;
    for (int i = 0; i < kTogether; ++i) {
        SCOPED_TRACE("run " + std::to_string(i));
        const std::optional<ExitState> state = runs[i]->waitForExit(std::chrono::seconds(60));
        ASSERT_TRUE(state) << "the run did not end";
        EXPECT_EQ(state->exitCode, 0) << describe(*state) << runs[i]->standardError();
        EXPECT_EQ(runs[i]->standardError(), "");
        const ProbeReport report = parseProbeReport(readFile(reportOf(i)));
        EXPECT_TRUE(report.complete);
        EXPECT_EQ(report.directory, versionDir);
        EXPECT_TRUE(fs::exists(versionDir + "/data/a.txt"));
    }
    EXPECT_EQ(treesIn(holdingDir()), std::vector<std::string>{version});
    const LauncherRun after = run({launcher}, reuseOptions());
    EXPECT_EQ(after.report.directory, versionDir);
    EXPECT_EQ(after.report.tree.size(), expectedTree().size() + 1 + 200);
    EXPECT_EQ(readFile(versionDir + "/data/a.txt"), "alpha\n");
}

INSTANTIATE_TEST_SUITE_P(Starts, ReuseTogetherTest,
                         ::testing::Values(Together{"Cold", false}, Together{"Damaged", true}),
                         [](const ::testing::TestParamInfo<Together>& info) { return info.param.name; });

struct FirstUnpackStop {
    const char* name;
    int number;
    bool workingDirectoryStays;
};

void PrintTo(const FirstUnpackStop& stop, std::ostream* out) { *out << stop.name; }

class ReuseStopTest : public ReusePublishTest, public ::testing::WithParamInterface<FirstUnpackStop> {};

// SIGTERM while the first run unpacks: the working directory goes, nothing
// is published, the levels the run made go too. SIGKILL leaves the working
// directory, which no run holds any more: the next first run, once it has
// published, removes it.
TEST_P(ReuseStopTest, StopWhileTheFirstRunUnpacks) {
    constexpr std::uintmax_t kLargeBytes = 300u << 20;
    constexpr off_t kWrittenBeforeSignal = 8 << 20;
    {
        std::ofstream large(appDir() + "/large");
    }
    fs::resize_file(appDir() + "/large", kLargeBytes);
    const std::string launcher = packReused({"--main", "probe"});
    fs::remove(appDir() + "/large");
    const std::string version = versionNameOf(launcher);
    // The user's cache exists; what lies below it is the launcher's.
    makeDirectories(cacheDir());

    StartedLauncher started({launcher}, reuseStartOptions());
    started.setProbePidFile(probePidPath());
    const auto deadline = steady_clock::now() + std::chrono::seconds(60);
    std::string working;
    for (;;) {
        ASSERT_FALSE(started.pollExit()) << "the launcher ended before it wrote the entry: " << started.standardError();
        ASSERT_LT(steady_clock::now(), deadline) << "the entry did not grow";
        for (const std::string& name : treesIn(holdingDir())) {
            if (isWorkingDirectoryName(name)) working = name;
        }
        std::error_code error;
        if (!working.empty() && fs::file_size(holdingDir() + "/" + working + "/large", error) >= kWrittenBeforeSignal &&
            !error) {
            break;
        }
    }
    EXPECT_EQ(working.substr(1, 16), version);
    started.sendSignal(GetParam().number);
    const std::optional<ExitState> state = started.waitForExit(std::chrono::seconds(20));
    ASSERT_TRUE(state) << "the launcher did not end";
    EXPECT_FALSE(fs::exists(reportPath())) << "the application started";

    if (!GetParam().workingDirectoryStays) {
        EXPECT_EQ(state->exitCode, 2) << describe(*state);
        EXPECT_EQ(started.standardError(), "Error, stopped by signal " + std::to_string(GetParam().number) +
                                               " before the application started.\n");
        EXPECT_EQ(namesIn(cacheDir()), std::vector<std::string>{}) << "left below the cache";
        return;
    }
    EXPECT_EQ(state->signal, SIGKILL) << describe(*state);
    EXPECT_EQ(treesIn(holdingDir()), std::vector<std::string>{working});
    const LauncherRun next = run({launcher}, reuseOptions());
    EXPECT_EQ(next.process.exitCode, 0) << next.process.err;
    EXPECT_EQ(next.report.directory, holdingDir() + "/" + version);
    EXPECT_EQ(treesIn(holdingDir()), std::vector<std::string>{version});
}

INSTANTIATE_TEST_SUITE_P(Signals, ReuseStopTest,
                         ::testing::Values(FirstUnpackStop{"Terminate", SIGTERM, false},
                                           FirstUnpackStop{"Kill", SIGKILL, true}),
                         [](const ::testing::TestParamInfo<FirstUnpackStop>& info) { return info.param.name; });

struct Upgrade {
    const char* name;
    bool oldRunLives;
    // Its launcher was killed (kill -9, the OOM killer) while its
    // application runs on.
    bool launcherKilled;
};

// Kills the process `pid` when it goes out of scope: an application whose
// launcher is gone has nobody else to end it.
struct KillAtEnd {
    pid_t pid;
    ~KillAtEnd() {
        if (pid > 0) ::kill(pid, SIGKILL);
    }
};

void PrintTo(const Upgrade& upgrade, std::ostream* out) { *out << upgrade.name; }

class ReuseUpgradeTest : public ReusePublishTest, public ::testing::WithParamInterface<Upgrade> {};

// A second launcher of the same product with another payload publishes its
// own version and removes the first one, unless a run of it still holds it:
// its launcher, or its application alone, which inherited the hold.
TEST_P(ReuseUpgradeTest, NewVersionReplacesTheOld) {
    const std::string first = packReused({"--main", "probe", "--product", "app"}, "first");
    writeFile(appDir() + "/data/a.txt", "alpha, second edition\n", 0644);
    const std::string second = packReused({"--main", "probe", "--product", "app"}, "second");
    const std::string oldVersion = versionNameOf(first);
    const std::string newVersion = versionNameOf(second);
    ASSERT_NE(oldVersion, newVersion);
    const std::string holding = holdingDir("app");

    ASSERT_EQ(run({first}, reuseOptions()).process.exitCode, 0);
    ASSERT_EQ(treesIn(holding), std::vector<std::string>{oldVersion});
    // A later run of the old version, which found its tree published.
    std::unique_ptr<StartedLauncher> oldRun;
    if (GetParam().oldRunLives) {
        oldRun = std::make_unique<StartedLauncher>(std::vector<std::string>{first},
                                                   reuseStartOptions().set("PROBE_WAIT", "1"));
        ASSERT_TRUE(oldRun->waitUntilReady()) << oldRun->standardError();
    }
    KillAtEnd application{0};
    if (GetParam().launcherKilled) {
        application.pid = readProbePid(probePidPath());
        ASSERT_GT(application.pid, 0);
        oldRun->sendSignal(SIGKILL);
        const std::optional<ExitState> killed = oldRun->waitForExit();
        ASSERT_TRUE(killed && killed->signal == SIGKILL);
        ASSERT_EQ(::kill(application.pid, 0), 0) << "the application ended with its launcher";
    }

    ProcessOptions options = reuseOptions();
    options.setEnvironment["PROBE_REPORT"] = temp().file("report-second");
    const LauncherRun upgraded = run({second}, options);
    EXPECT_EQ(upgraded.process.exitCode, 0) << upgraded.process.err;
    EXPECT_EQ(upgraded.report.directory, holding + "/" + newVersion);
    if (!GetParam().oldRunLives) {
        EXPECT_EQ(treesIn(holding), std::vector<std::string>{newVersion});
        return;
    }
    std::vector<std::string> both = {oldVersion, newVersion};
    std::sort(both.begin(), both.end());
    EXPECT_EQ(treesIn(holding), both);
    // The old run goes on with its tree; its end removes nothing.
    EXPECT_TRUE(fs::exists(holding + "/" + oldVersion + "/data/a.txt"));
    if (GetParam().launcherKilled) return;
    oldRun->sendSignal(SIGTERM);
    const std::optional<ExitState> state = oldRun->waitForExit();
    ASSERT_TRUE(state);
    EXPECT_EQ(state->exitCode, 0) << describe(*state);
    EXPECT_EQ(treesIn(holding), both);
}

INSTANTIATE_TEST_SUITE_P(Runs, ReuseUpgradeTest,
                         ::testing::Values(Upgrade{"OldRunEnded", false, false}, Upgrade{"OldRunLives", true, false},
                                           Upgrade{"OldApplicationOutlivesItsLauncher", true, true}),
                         [](const ::testing::TestParamInfo<Upgrade>& info) { return info.param.name; });

// Whenever the run takes its lock, the directory under the version name
// has been replaced (by the stub with hooks, as racing runs could): after
// three tries the run unpacks a private copy, says so, runs it and removes
// it at the end; the directories it met are left alone.
TEST_F(ReusePublishTest, AVersionDirectoryThatKeepsChangingLeavesTheRunAPrivateCopy) {
    const std::string launcher = packWithHooks({"--main", "probe", "--reuse"});
    ASSERT_EQ(run({launcher}, reuseOptions()).process.exitCode, 0);
    const std::string holding = fs::canonical(holdingDir()).string();
    const std::string version = versionNameOf(launcher);
    const std::string versionDir = holding + "/" + version;

    ProcessOptions options = reuseOptions();
    options.setEnvironment["ONEFILE_HOOK_REPLACE_LOCKED"] = versionDir;
    options.setEnvironment["ONEFILE_HOOK_LOG"] = temp().file("hook-log");
    const LauncherRun changing = run({launcher, "private"}, options);
    ASSERT_TRUE(changing.report.complete) << changing.process.err;
    EXPECT_EQ(changing.process.exitCode, 0);
    EXPECT_EQ(changing.process.err, "Warning, directory '" + versionDir +
                                        "' kept changing while this run took it; running a private copy.\n");
    EXPECT_EQ(changing.report.arguments, (std::vector<std::string>{launcher, "private"}));
    EXPECT_EQ(fs::path(changing.report.directory).parent_path().string(), holding);
    EXPECT_TRUE(isWorkingDirectoryName(fs::path(changing.report.directory).filename().string()))
        << changing.report.directory;
    EXPECT_FALSE(fs::exists(changing.report.directory)) << "the private copy stayed";
    const std::vector<std::string> events = readLines(temp().file("hook-log"));
    EXPECT_EQ(std::count(events.begin(), events.end(), "lock replaced"), 3) << ::testing::PrintToString(events);
    // The published tree, moved aside by the hook, is whole; the last
    // directory made under the version name is empty.
    EXPECT_TRUE(fs::exists(versionDir + ".replaced-1/probe"));
    EXPECT_EQ(treesIn(holding), (std::vector<std::string>{version, version + ".replaced-1", version + ".replaced-2",
                                                          version + ".replaced-3"}));
    EXPECT_EQ(namesIn(versionDir), std::vector<std::string>{});
}

// Only names of the launcher's own forms, directories of the user's own,
// leave the holding directory: anything else there stays as it was.
TEST_F(ReusePublishTest, NamesOfOtherFormsInTheHoldingDirectoryStay) {
    const std::string launcher = packReused({"--main", "probe"});
    const std::string version = versionNameOf(launcher);
    const std::string holding = holdingDir();
    const std::vector<std::string> foreign = {
        "0123456789ABCDEF",               // upper-case digits
        "0123456789abcde",                // 15 digits
        "0123456789abcdef.old",           //
        ".0123456789abcdef-short",        // a token too short
        ".0123456789abcdef-AAAAAAAAAAAA",  // a token too long
        "notes",
        "fedcba9876543210",  // a version's name, but a link
    };
    for (const std::string& name : foreign) {
        if (name == "fedcba9876543210") continue;
        writeFile(holding + "/" + name + "/kept", "kept\n");
    }
    writeFile(temp().file("elsewhere/kept"), "kept\n");
    makeSymlink(temp().file("elsewhere"), holding + "/fedcba9876543210");
    // Trees of the launcher's forms that no run holds: an old version and a
    // working directory left by a run that was killed.
    writeFile(holding + "/0000000000000000/old", "old\n");
    writeFile(holding + "/.0000000000000000-AAAAAAAAAAA/part", "part\n");
    for (const char* tree : {"/0000000000000000", "/.0000000000000000-AAAAAAAAAAA"}) {
        fs::permissions(holding + tree, fs::perms::owner_all);
    }

    const LauncherRun first = run({launcher}, reuseOptions());
    EXPECT_EQ(first.process.exitCode, 0) << first.process.err;
    std::vector<std::string> expected = foreign;
    expected.push_back(version);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(treesIn(holding), expected);
    for (const std::string& name : foreign) EXPECT_EQ(readFile(holding + "/" + name + "/kept"), "kept\n") << name;
}

}  // namespace
}  // namespace onefile::e2e

namespace onefile::e2e {
namespace {

// pack --first-run-message: a run that unpacks writes the text once to
// standard error (a line end added when it has none); a run that finds its
// kept tree whole writes nothing. A fresh launcher unpacks on every run.
TEST_F(ReusePublishTest, TheFirstRunMessageComesWithEveryUnpacking) {
    const struct {
        const char* what;
        std::vector<std::string> options;
        std::vector<std::string> errors;  // of three runs in turn
    } cases[] = {
        {"kept", {"--reuse", "--first-run-message", "Unpacking the tool, one moment."},
         {"Unpacking the tool, one moment.\n", "", ""}},
        {"fresh", {"--first-run-message", "Unpacking.\n"}, {"Unpacking.\n", "Unpacking.\n", "Unpacking.\n"}},
        {"none", {"--reuse"}, {"", "", ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> options = {"--main", "probe"};
        options.insert(options.end(), c.options.begin(), c.options.end());
        const std::string launcher = pack(options, std::string("message-") + c.what);
        for (const std::string& expected : c.errors) {
            const LauncherRun run = this->run({launcher}, reuseOptions());
            ASSERT_TRUE(run.report.complete) << run.process.err;
            EXPECT_EQ(run.process.exitCode, 0);
            EXPECT_EQ(run.process.err, expected);
        }
    }
}

}  // namespace
}  // namespace onefile::e2e
