// The removal of the extraction directory at the end of a run: links are
// removed as links and never followed, every name but "." and ".." goes,
// deep and wide trees go completely (also under a tight limit on open
// descriptors), an entry that cannot be removed stays silently with the
// directories above it while the walk goes on with everything else, and a
// directory the application made read-only gets its owner's access back and
// goes; the exit status stays the child's.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e/supervision_support.h"
#include "tests/support/file_helpers.h"

namespace onefile::e2e {
namespace {

namespace fs = std::filesystem;
using onefile::testing::makeDirectories;
using onefile::testing::makeSymlink;
using onefile::testing::writeFile;

constexpr int kProbeExitCode = 4;
constexpr uid_t kUnprivilegedUser = 65534;
constexpr gid_t kUnprivilegedGroup = 65534;

// Every path below `root`, relative to it, with the size of regular files;
// links are listed, never followed.
std::set<std::string> treeBelow(const std::string& root) {
    std::set<std::string> paths;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        std::string line = fs::relative(it->path(), root).string();
        if (it->is_symlink()) line += " -> " + fs::read_symlink(it->path()).string();
        else if (it->is_regular_file()) line += " " + std::to_string(it->file_size());
        paths.insert(line);
    }
    return paths;
}

// Paths of `tree` (as treeBelow gives them) that are `name` or lie below it.
std::set<std::string> pathsAt(const std::set<std::string>& tree, const std::string& name) {
    std::set<std::string> found;
    for (const std::string& path : tree) {
        const std::string bare = path.substr(0, path.find(' '));
        if (bare == name || bare.rfind(name + "/", 0) == 0) found.insert(path);
    }
    return found;
}

class RemovalWalkTest : public SupervisionTest {
protected:
    void SetUp() override {
        SupervisionTest::SetUp();
        addProbe();
    }

    StartOptions waitingProbe() const {
        StartOptions options = startOptions();
        options.set("PROBE_WAIT", "1");
        options.set("PROBE_EXIT", std::to_string(kProbeExitCode));
        return options;
    }

    // Lets the waiting probe end by itself (it takes SIGHUP as its cue) and
    // returns how the launcher ended.
    ExitState releaseProbe(StartedLauncher& run, pid_t probe) {
        EXPECT_GT(probe, 0);
        if (probe > 0) ::kill(probe, SIGHUP);
        std::optional<ExitState> state = run.waitForExit();
        EXPECT_TRUE(state) << "the launcher did not end";
        return state.value_or(ExitState{});
    }
};

enum class Ending { childExits, terminationSignal };

void PrintTo(Ending ending, std::ostream* out) {
    *out << (ending == Ending::childExits ? "the child exits" : "a termination signal");
}

class RemovalLinksTest : public RemovalWalkTest, public ::testing::WithParamInterface<Ending> {};

// Packed links that lead out of the tree, to the tree itself and nowhere, and
// names made of dots: the links go as links, the names go like any other.
TEST_P(RemovalLinksTest, LinksGoAsLinksAndOddNamesGo) {
    const std::string outside = temp().file("outside");
    writeFile(outside + "/keep.txt", "keep\n");
    writeFile(outside + "/sub/inner.txt", "inner\n");
    makeSymlink("../keep.txt", outside + "/sub/back");
    const std::set<std::string> outsideBefore = treeBelow(outside);

    makeSymlink(outside, appDir() + "/links/to_outside_dir");
    makeSymlink(outside + "/keep.txt", appDir() + "/links/to_outside_file");
    makeSymlink("missing/nowhere", appDir() + "/links/dangling");
    makeSymlink("..", appDir() + "/links/to_top");
    makeSymlink(".", appDir() + "/links/to_itself");
    makeSymlink("../..", appDir() + "/links/to_tmpdir");
    makeSymlink(outside, appDir() + "/to_outside_at_top");
    for (const char* name : {"names/...", "names/.a", "names/..a", "names/a..", "names/.. ", "more/.../inside"}) {
        writeFile(appDir() + "/" + name, "dots\n");
    }
    const std::string launcher = pack({"--main", "probe"});
    // A file beside the extraction directory, reachable through "../..".
    writeFile(tmpDir() + "/sentinel", "sentinel\n");

    StartOptions options = waitingProbe();
    if (GetParam() == Ending::childExits) options.setEnvironment.erase("PROBE_WAIT");
    StartedLauncher run({launcher}, options);
    run.setProbePidFile(probePidPath());
    ExitState state;
    if (GetParam() == Ending::terminationSignal) {
        ASSERT_TRUE(run.waitUntilReady()) << run.standardError();
        run.sendSignal(SIGTERM);
    }
    state = run.waitForExit().value_or(ExitState{});
    // The probe ends with its code by itself or on the forwarded SIGINT; the
    // launcher passes it on either way.
    EXPECT_EQ(state.exitCode, kProbeExitCode) << describe(state);
    EXPECT_EQ(run.standardError(), "");

    // The tree held every entry before the walk ran.
    const ProbeReport report = readReport();
    ASSERT_TRUE(report.complete);
    const std::vector<std::string> packed = {
        "links/to_outside_dir -> " + outside, "links/dangling -> missing/nowhere", "links/to_top -> ..",
        "links/to_itself -> .", "links/to_tmpdir -> ../..", "names/...", "names/.a", "names/.. ", "more/.../inside"};
    for (const std::string& expected : packed) {
        EXPECT_TRUE(std::any_of(report.tree.begin(), report.tree.end(),
                                [&](const std::string& line) { return line.find(" " + expected) != std::string::npos; }))
            << expected;
    }
    EXPECT_FALSE(fs::exists(report.directory)) << report.directory;
    EXPECT_EQ(treeBelow(outside), outsideBefore);
    EXPECT_EQ(tmpDirContents(), std::vector<std::string>{"sentinel"});
    fs::remove(tmpDir() + "/sentinel");
}

INSTANTIATE_TEST_SUITE_P(Endings, RemovalLinksTest, ::testing::Values(Ending::childExits, Ending::terminationSignal),
                         [](const ::testing::TestParamInfo<Ending>& info) {
                             return std::string(info.param == Ending::childExits ? "ChildExits" : "TerminationSignal");
                         });

// A packed tree a few hundred levels deep.
TEST_F(RemovalWalkTest, DeepPackedTreeIsRemoved) {
    constexpr int kLevels = 300;
    std::string name = "deep";
    for (int i = 0; i < kLevels; ++i) name += "/d";
    writeFile(appDir() + "/" + name + "/leaf", "leaf\n");
    const std::string launcher = pack({"--main", "probe"});

    StartOptions options = startOptions();
    options.set("PROBE_EXIT", std::to_string(kProbeExitCode));
    StartedLauncher run({launcher}, options);
    const ExitState state = run.waitForExit().value_or(ExitState{});
    EXPECT_EQ(state.exitCode, kProbeExitCode) << describe(state) << "\n" << run.standardError();
    const ProbeReport report = readReport();
    ASSERT_TRUE(report.complete);
    EXPECT_TRUE(std::any_of(report.tree.begin(), report.tree.end(), [&](const std::string& line) {
        return line.find(" " + name + "/leaf") != std::string::npos;
    }));
    // TearDown checks that TMPDIR is empty.
}

class DescriptorLimitTest : public LauncherTest {};

// Packed chains of directories under a limit on open descriptors that the
// walk's stack of open levels does not fit in: the walk moves what it cannot
// open up to the top and goes on, so the whole tree goes, whatever the
// limit. Where the limit is too tight even for the extraction, which holds
// the levels of the current directory open, the run fails, and what it
// made goes as well.
TEST_F(DescriptorLimitTest, ATreeDeeperThanTheLimitAllowsIsRemoved) {
    const struct {
        int levels;
        int descriptorLimit;
        bool extracted;  // false: the extraction runs out of descriptors
    } cases[] = {
        {100, 100, true},
        {40, 60, true},
        {510, 100, true},
        {510, 60, true},
        {100, 20, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.levels) + " levels, ulimit -n " + std::to_string(c.descriptorLimit));
        std::string leaf;
        for (int i = 0; i < c.levels; ++i) leaf += "d/";
        leaf += "f";
        fs::remove_all(appDir());
        writeFile(appDir() + "/" + leaf, "leaf\n");
        // The application sees the whole tree before it ends.
        writeFile(appDir() + "/main", "#!/bin/sh\n[ -f \"${0%/*}/" + leaf + "\" ] || exit 9\nexit " +
                                          std::to_string(kProbeExitCode) + "\n",
                  0755);
        const std::string launcher = pack({"--main", "main"}, "launcher-" + std::to_string(c.levels) + "-" +
                                                                 std::to_string(c.descriptorLimit));

        const LauncherRun run = this->run(
            {"/bin/sh", "-c", "ulimit -n \"$1\" && exec \"$0\"", launcher, std::to_string(c.descriptorLimit)});

        if (c.extracted) {
            EXPECT_EQ(run.process.exitCode, kProbeExitCode) << run.process.err;
            EXPECT_EQ(run.process.err, "");
        } else {
            EXPECT_EQ(run.process.exitCode, 2);
            EXPECT_TRUE(run.process.err.starts_with("Error, failed to open '" + tmpDir())) << run.process.err;
        }
        const std::vector<std::string> left = tmpDirContents();
        EXPECT_EQ(left, std::vector<std::string>{}) << "the run left its tree";
        for (const std::string& entry : left) fs::remove_all(tmpDir() + "/" + entry);
    }
}

// Makes `levels` nested directories named "d" below `directory`, with a file
// in every `fileEvery`th of them.
void makeChain(const std::string& directory, int levels, int fileEvery) {
    int level = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(level, 0) << directory;
    for (int i = 1; i <= levels; ++i) {
        ASSERT_EQ(mkdirat(level, "d", 0700), 0);
        int next = openat(level, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(level);
        ASSERT_GE(next, 0);
        level = next;
        if (i % fileEvery == 0) {
            int file = openat(level, "file", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            EXPECT_GE(file, 0);
            close(file);
        }
    }
    close(level);
}

int levelsBelow(const std::string& directory) {
    int levels = 0;
    for (std::string path = directory + "/d"; fs::is_directory(path); path += "/d") ++levels;
    return levels;
}

// Trees that the child makes, deeper than a payload name can reach (names
// have at most 1023 bytes) but with every path well within the system's path
// limit: two chains of directories with files along the way, beside names
// that a walk might choose for its own use.
TEST_F(RemovalWalkTest, TreesDeeperThanPayloadNamesReachAreRemoved) {
    constexpr int kDeepLevels = 600;
    constexpr int kShallowLevels = 200;
    const std::string launcher = pack({"--main", "probe"});
    StartedLauncher run({launcher}, waitingProbe());
    run.setProbePidFile(probePidPath());
    ASSERT_TRUE(run.waitUntilReady()) << run.standardError();
    const std::string directory = readReport().directory;
    ASSERT_LT(directory.size() + 2 * kDeepLevels + 16, static_cast<std::size_t>(PATH_MAX));

    makeDirectories(directory + "/a");
    makeChain(directory + "/a", kDeepLevels, 100);
    makeDirectories(directory + "/b");
    makeChain(directory + "/b", kShallowLevels, 50);
    for (int i = 0; i < 4; ++i) writeFile(directory + "/.onefile-deep-" + std::to_string(i) + "/x", "x\n");
    writeFile(directory + "/.onefile-deep-4", "x\n");

    const ExitState state = releaseProbe(run, readProbePid(probePidPath()));
    EXPECT_EQ(state.exitCode, kProbeExitCode) << describe(state);
    EXPECT_EQ(run.standardError(), "");
    if (fs::exists(directory)) {
        ADD_FAILURE() << "the walk left " << levelsBelow(directory + "/a") << " of " << kDeepLevels << " and "
                      << levelsBelow(directory + "/b") << " of " << kShallowLevels << " levels";
        fs::remove_all(directory);
    }
}

// Thousands of long names and subdirectories between them: the walk reads
// each directory in many batches and goes on after every subdirectory.
TEST_F(RemovalWalkTest, WideTreeMadeByTheChildIsRemoved) {
    const std::string launcher = pack({"--main", "probe"});
    StartedLauncher run({launcher}, waitingProbe());
    run.setProbePidFile(probePidPath());
    ASSERT_TRUE(run.waitUntilReady()) << run.standardError();
    const std::string directory = readReport().directory;

    // About 130 kB of directory entries: dozens of reads of the top level.
    const std::string padding(100, 'w');
    for (int i = 0; i < 1200; ++i) {
        const std::string name = directory + "/" + padding + std::to_string(i);
        if (i % 60 == 0) {
            makeDirectories(name);
            for (int j = 0; j < 10; ++j) writeFile(name + "/" + padding + std::to_string(j), "");
        } else {
            writeFile(name, "");
        }
    }

    const ExitState state = releaseProbe(run, readProbePid(probePidPath()));
    EXPECT_EQ(state.exitCode, kProbeExitCode) << describe(state);
    EXPECT_EQ(run.standardError(), "");
    EXPECT_FALSE(fs::exists(directory)) << "the walk left part of the wide tree";
    if (fs::exists(directory)) fs::remove_all(directory);
}

// Populates `directory` with files, a subdirectory and `inner`, the
// directory that will hold the entry that cannot be removed.
void makeStopTree(const std::string& directory, const std::string& inner) {
    for (int i = 0; i < 12; ++i) writeFile(directory + "/top" + std::to_string(i), "top\n");
    writeFile(directory + "/other/one", "1\n");
    writeFile(directory + "/other/two", "2\n");
    for (int i = 0; i < 12; ++i) writeFile(directory + "/" + inner + "/file" + std::to_string(i), "inner\n");
}

// Adds files to `directory` until reading it delivers `name` neither first
// nor last, so that the walk meets entries on both sides of `name`.
void placeInTheMiddle(const std::string& directory, const std::string& name) {
    for (int added = 0;; ++added) {
        const std::vector<std::string> order = directoryOrder(directory);
        const auto at = std::find(order.begin(), order.end(), name);
        ASSERT_NE(at, order.end()) << name;
        if (at != order.begin() && at + 1 != order.end()) return;
        ASSERT_LT(added, 200) << "reading " << directory << " keeps " << name << " at an end";
        writeFile(directory + "/pad" + std::to_string(added), "pad\n");
    }
}

// A file that is a mount point cannot be unlinked (EBUSY): it stays, with
// the directories that hold it, and the walk goes on with everything read
// before and after it. The launcher runs in a private mount namespace, and
// the test mounts a file over an entry of the tree inside that namespace.
TEST_F(RemovalWalkTest, EntryThatCannotBeRemovedStaysAndTheWalkGoesOn) {
    if (!privateMountNamespaceAvailable()) GTEST_SKIP() << "no private mount namespace can be made here";
    const std::string launcher = pack({"--main", "probe"});
    StartOptions options = waitingProbe();
    options.privateMountNamespace = true;
    StartedLauncher run({launcher}, options);
    run.setProbePidFile(probePidPath());
    ASSERT_TRUE(run.waitUntilReady()) << run.standardError();
    const std::string directory = readReport().directory;

    makeStopTree(directory, "inner");
    writeFile(directory + "/inner/busy", "");
    writeFile(temp().file("mounted"), "mounted over\n");
    ASSERT_TRUE(bindMountInNamespaceOf(run.pid(), temp().file("mounted"), directory + "/inner/busy"));
    placeInTheMiddle(directory, "inner");
    placeInTheMiddle(directory + "/inner", "busy");

    const ExitState state = releaseProbe(run, readProbePid(probePidPath()));
    EXPECT_EQ(state.exitCode, kProbeExitCode) << describe(state);
    EXPECT_EQ(run.standardError(), "");
    EXPECT_EQ(run.standardOutput(), "");
    ASSERT_TRUE(fs::is_directory(directory));
    // Only "busy" and the levels that hold it are left. The namespace ended
    // with the launcher, so "busy" is a plain empty file again.
    EXPECT_EQ(treeBelow(directory), (std::set<std::string>{"inner", "inner/busy 0"}));
    fs::remove_all(directory);
}

// Inside a directory without write permission nothing can be unlinked until
// the walk gives the directory its owner's access back: then its entries go,
// and everything else, and the extraction directory itself. Root ignores
// permission bits, so as root the launcher runs as an unprivileged user.
TEST_F(RemovalWalkTest, ReadOnlyDirectoryGetsItsOwnersAccessBackAndEverythingGoes) {
    const bool asRoot = geteuid() == 0;
    const std::string launcher = pack({"--main", "probe"});
    const std::string files = temp().file("files");
    makeDirectories(files);
    StartOptions options = waitingProbe();
    options.set("PROBE_REPORT", files + "/report");
    options.set("PROBE_SIGNALS", files + "/signals");
    options.set("PROBE_PID_FILE", files + "/probe.pid");
    if (asRoot) {
        options.userId = kUnprivilegedUser;
        options.groupId = kUnprivilegedGroup;
        ASSERT_EQ(chmod(temp().path().c_str(), 0755), 0);
        ASSERT_EQ(chown(tmpDir().c_str(), kUnprivilegedUser, kUnprivilegedGroup), 0);
        ASSERT_EQ(chown(files.c_str(), kUnprivilegedUser, kUnprivilegedGroup), 0);
        // The unprivileged user must reach the launcher and TMPDIR.
        pid_t check = fork();
        ASSERT_GE(check, 0);
        if (check == 0) {
            bool reachable = setgid(kUnprivilegedGroup) == 0 && setuid(kUnprivilegedUser) == 0 &&
                             access(launcher.c_str(), X_OK) == 0 && access(tmpDir().c_str(), W_OK | X_OK) == 0;
            _exit(reachable ? 0 : 1);
        }
        int status = 0;
        waitpid(check, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            GTEST_SKIP() << "user " << kUnprivilegedUser << " cannot reach " << launcher << " or " << tmpDir();
        }
    }
    StartedLauncher run({launcher}, options);
    run.setProbePidFile(files + "/probe.pid");
    ASSERT_TRUE(run.waitUntilReady()) << run.standardError();
    const std::string directory = parseProbeReport(onefile::testing::readFile(files + "/report")).directory;
    ASSERT_FALSE(directory.empty());

    makeStopTree(directory, "locked");
    placeInTheMiddle(directory, "locked");
    if (asRoot) {
        // As if the application had made it: everything belongs to the
        // launcher's user, who may give itself access back.
        for (const auto& entry : fs::recursive_directory_iterator(directory)) {
            ASSERT_EQ(lchown(entry.path().c_str(), kUnprivilegedUser, kUnprivilegedGroup), 0) << entry.path();
        }
    }
    ASSERT_EQ(chmod((directory + "/locked").c_str(), 0555), 0);
    // All of "locked" is there when the run ends.
    ASSERT_EQ(pathsAt(treeBelow(directory), "locked").size(), 13u);

    const ExitState state = releaseProbe(run, readProbePid(files + "/probe.pid"));
    EXPECT_EQ(state.exitCode, kProbeExitCode) << describe(state);
    EXPECT_EQ(run.standardError(), "");
    EXPECT_EQ(run.standardOutput(), "");
    EXPECT_FALSE(fs::exists(directory)) << "left: " << ::testing::PrintToString(treeBelow(directory));
    if (fs::exists(directory)) {
        chmod((directory + "/locked").c_str(), 0755);
        fs::remove_all(directory);
    }
}

}  // namespace
}  // namespace onefile::e2e
