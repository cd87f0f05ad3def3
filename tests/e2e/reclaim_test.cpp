// Trees of runs that died, reclaimed by a later run: real launchers killed
// outright (SIGKILL, as the OOM killer or a cancelled job does it) leave
// their trees; a later run of a launcher with hooks sweeps them while its
// own application runs. The hooks make a tree look old (the real-time clock
// reads later) and its file system local, so that each guard is seen on
// its own, the others passing: one guard never hides another's fault.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/supervision_support.h"
#include "tests/support/file_helpers.h"

namespace onefile::e2e {
namespace {

using onefile::testing::makeDirectories;
using onefile::testing::readFile;
using onefile::testing::writeFile;

constexpr char kMark[] = "user.onefile.run";
// What the hooks make of every reclaiming run: its real-time clock two
// minutes ahead (the trees look older than the minute a run waits), its
// file system ext4 whatever it is here.
const std::map<std::string, std::string> kOldAndLocal = {{"ONEFILE_HOOK_CLOCK_AHEAD", "120"},
                                                          {"ONEFILE_HOOK_FS_TYPE", "ef53"}};
constexpr uid_t kOtherUser = 65534;

// A process id that names no process: a child that ended and was reaped.
pid_t deadPid() {
    pid_t child = fork();
    if (child == 0) _exit(0);
    int status = 0;
    (void)waitpid(child, &status, 0);
    return child;
}

bool exists(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

bool isMarked(const std::string& path) { return getxattr(path.c_str(), kMark, nullptr, 0) >= 0; }

class ReclaimTest : public SupervisionTest {
protected:
    void SetUp() override {
        SupervisionTest::SetUp();
        addProbe();
        makeDirectories(tmpDir());
        // Trees that a case keeps on purpose stay behind.
        allowLeftovers();
    }

    // Starts a run of `launcher` whose application waits, then kills the
    // launcher outright, with its application too unless `applicationLives`.
    // Returns the tree the run left in tmpDir().
    std::string abandonTree(const std::string& launcher, bool applicationLives = false,
                            const std::map<std::string, std::string>& variables = {}) {
        std::vector<std::string> before = tmpDirContents();
        StartOptions options = startOptions();
        options.set("PROBE_WAIT", "1").setAll(variables);
        auto run = std::make_unique<StartedLauncher>(std::vector<std::string>{launcher}, options);
        run->setProbePidFile(probePidPath());
        EXPECT_TRUE(run->waitUntilReady());
        if (applicationLives) {
            run->sendSignal(SIGKILL);
            EXPECT_TRUE(run->waitForExit().has_value());
        } else {
            run->kill();
        }
        for (const std::string& name : tmpDirContents()) {
            if (std::find(before.begin(), before.end(), name) == before.end()) return tmpDir() + "/" + name;
        }
        ADD_FAILURE() << "the killed run left no tree";
        return "";
    }

    // A directory made by hand in tmpDir(), of the default template's shape
    // for process `pid`, with `mode` and the mark when `marked`.
    std::string makeTree(pid_t pid, mode_t mode = 0700, bool marked = true, const std::string& token = "AbCd-_09xYz") {
        std::string path = tmpDir() + "/onefile_" + std::to_string(pid) + "_123456_" + token;
        EXPECT_EQ(mkdir(path.c_str(), 0700), 0) << path;
        writeFile(path + "/data", "kept\n");
        if (marked) {
            EXPECT_EQ(setxattr(path.c_str(), kMark, "1", 1, 0), 0) << "user extended attributes";
        }
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        return path;
    }

    // A run of `launcher` whose application ends at once: its sweep goes on
    // to its bound all the same. The hooks' controls `hooks` are set.
    onefile::testing::ProcessResult reclaim(const std::string& launcher,
                                            std::map<std::string, std::string> hooks = kOldAndLocal,
                                            std::optional<uid_t> user = std::nullopt) {
        onefile::testing::ProcessOptions options = withHooks(std::move(hooks));
        options.userId = user;
        options.groupId = user;
        // Another user writes the report in a directory of its own.
        if (user) {
            std::string reports = temp().file("reports-" + std::to_string(*user));
            makeDirectories(reports);
            EXPECT_EQ(chown(reports.c_str(), *user, *user), 0);
            options.setEnvironment["PROBE_REPORT"] = reports + "/report";
        }
        LauncherRun result = run({launcher}, options);
        EXPECT_EQ(result.process.exitCode, 0) << result.process.err;
        EXPECT_EQ(result.process.err, "");
        return result.process;
    }
};

// Skips a test where the test's TMPDIR lacks user extended attributes: no
// tree is marked there, and none reclaimed.
#define SKIP_WITHOUT_MARKS()                                                                         \
    do {                                                                                             \
        std::string probe = tmpDir() + "/xattr-probe";                                               \
        makeDirectories(probe);                                                                      \
        bool supported = setxattr(probe.c_str(), kMark, "1", 1, 0) == 0;                            \
        rmdir(probe.c_str());                                                                        \
        if (!supported) GTEST_SKIP() << "the file system of TMPDIR has no user extended attributes"; \
    } while (0)

// A fresh run holds its tree through a descriptor its application inherits
// (a shared lock that an exclusive one without waiting cannot pass) and
// marks it; it removes it at its end as before.
TEST_F(ReclaimTest, AFreshRunHoldsAndMarksItsTree) {
    SKIP_WITHOUT_MARKS();
    std::string launcher = packWithHooks();
    std::string tree = abandonTree(launcher, true);
    ASSERT_FALSE(tree.empty());
    EXPECT_TRUE(isMarked(tree));
    int descriptor = open(tree.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(descriptor, 0);
    EXPECT_NE(flock(descriptor, LOCK_EX | LOCK_NB), 0) << "the application holds the tree";
    pid_t probe = readProbePid(probePidPath());
    ASSERT_GT(probe, 0);
    kill(probe, SIGKILL);
    for (int i = 0; i < 500 && kill(probe, 0) == 0; ++i) usleep(10000);
    EXPECT_EQ(flock(descriptor, LOCK_EX | LOCK_NB), 0) << "the hold ends with its last holder";
    close(descriptor);
}

// The cases of real life, each in a TMPDIR of its own.
TEST_F(ReclaimTest, TableOfCases) {
    SKIP_WITHOUT_MARKS();
    std::string reclaiming = packWithHooks({}, "reclaiming");
    std::string optedOut = packWithHooks({"--no-reclaim"}, "opted-out");
    std::string withoutPid = packWithHooks({"--template", "{TEMP}/onefile_{TIME_US}_{RANDOM}"}, "without-pid");
    std::string withoutRandom = packWithHooks({"--template", "{TEMP}/onefile_{PID}_{TIME_US}"}, "without-random");
    std::string tight = packWithHooks({"--template", "{TEMP}/onefile_{PID}{TIME_US}_{RANDOM}"}, "tight");
    std::string named = packWithHooks({"--template", "{TEMP}/{PRODUCT}.{PID}.{RANDOM}", "--product", "app"}, "named");
    pid_t dead = deadPid();

    struct Case {
        const char* what;
        std::function<std::string()> leave;  // makes the tree; its path
        std::string launcher;                // the run that sweeps
        bool removed;
        std::map<std::string, std::string> hooks = kOldAndLocal;
    };
    std::vector<Case> cases = {
        {"a run killed with its application", [&] { return abandonTree(reclaiming); }, reclaiming, true},
        {"the PID alive (this test)", [&] { return makeTree(getpid()); }, reclaiming, false},
        {"another user's tree",
         [&] {
             std::string tree = makeTree(dead);
             EXPECT_EQ(lchown(tree.c_str(), kOtherUser, kOtherUser), 0);
             return tree;
         },
         reclaiming, false},
        {"another shape", [&] {
             std::string tree = tmpDir() + "/onefile_" + std::to_string(dead) + "_12345_AbCd-_09xYz";
             EXPECT_EQ(mkdir(tree.c_str(), 0700), 0);
             EXPECT_EQ(chmod(tree.c_str(), 0700), 0);
             EXPECT_EQ(setxattr(tree.c_str(), kMark, "1", 1, 0), 0);
             return tree;
         }, reclaiming, false},
        {"younger than a minute", [&] { return abandonTree(reclaiming); }, reclaiming, false,
         {{"ONEFILE_HOOK_FS_TYPE", "ef53"}}},
        {"--no-reclaim", [&] { return abandonTree(reclaiming); }, optedOut, false},
        {"a template without {PID}", [&] { return abandonTree(withoutPid); }, withoutPid, false},
        {"a template without {RANDOM}", [&] { return abandonTree(withoutRandom); }, withoutRandom, false},
        {"{PID} touching another placeholder", [&] { return abandonTree(tight); }, tight, false},
        {"a template of its own with {PRODUCT}", [&] { return abandonTree(named); }, named, true},
    };
    if (geteuid() != 0) cases.erase(cases.begin() + 2);  // chown needs root
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.what);
        std::string tree = c.leave();
        ASSERT_TRUE(exists(tree));
        reclaim(c.launcher, c.hooks);
        EXPECT_EQ(exists(tree), !c.removed);
        if (exists(tree)) {
            chmod(tree.c_str(), 0700);
            (void)onefile::testing::runProcess({"rm", "-rf", tree});
        }
    }
}

// Each guard alone, every other one passing: the tree is removed once the
// one guard lets it go.
TEST_F(ReclaimTest, EachGuardAlone) {
    SKIP_WITHOUT_MARKS();
    std::string launcher = packWithHooks();

    // The mark: a tree of the same shape, mode and owner, not marked.
    std::string unmarked = makeTree(deadPid(), 0700, false);
    reclaim(launcher);
    EXPECT_TRUE(exists(unmarked)) << "unmarked";
    ASSERT_EQ(setxattr(unmarked.c_str(), kMark, "1", 1, 0), 0);
    reclaim(launcher);
    EXPECT_FALSE(exists(unmarked)) << "marked";

    // The mode: exactly 0700.
    for (mode_t mode : {0750, 0500, 01700}) {
        std::string token = "Mode-" + std::to_string(mode);
        token.resize(11, 'x');
        std::string tree = makeTree(deadPid(), mode, true, token);
        reclaim(launcher);
        EXPECT_TRUE(exists(tree)) << std::oct << mode;
        chmod(tree.c_str(), 0700);
        reclaim(launcher);
        EXPECT_FALSE(exists(tree)) << std::oct << mode;
    }

    // The lock: held by a process that lives, the PID in the name dead.
    std::string held = makeTree(deadPid());
    int holder = open(held.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_SH), 0);
    reclaim(launcher);
    EXPECT_TRUE(exists(held)) << "held";
    close(holder);
    reclaim(launcher);
    EXPECT_FALSE(exists(held)) << "no longer held";

    // The PID: parsed strictly, alive or not a process id at all.
    for (const std::string& pid : {std::to_string(getpid()), std::string("0"), std::string("01"),
                                   std::string("99999999"), std::string("-1")}) {
        std::string tree = tmpDir() + "/onefile_" + pid + "_123456_AbCd-_09xYz";
        ASSERT_EQ(mkdir(tree.c_str(), 0700), 0);
        ASSERT_EQ(chmod(tree.c_str(), 0700), 0);
        ASSERT_EQ(setxattr(tree.c_str(), kMark, "1", 1, 0), 0);
        reclaim(launcher);
        EXPECT_TRUE(exists(tree)) << pid;
        rmdir(tree.c_str());
    }

    // The age, and the local file system.
    std::string young = makeTree(deadPid());
    reclaim(launcher, {{"ONEFILE_HOOK_FS_TYPE", "ef53"}});
    EXPECT_TRUE(exists(young)) << "young";
    reclaim(launcher, {{"ONEFILE_HOOK_CLOCK_AHEAD", "120"}, {"ONEFILE_HOOK_FS_TYPE", "6969"}});
    EXPECT_TRUE(exists(young)) << "on NFS";
    reclaim(launcher);
    EXPECT_FALSE(exists(young)) << "old, local";
}

// A process id of another user's live process: kill() says EPERM, which
// means alive. The sweeping run and the tree are the other user's.
TEST_F(ReclaimTest, AnotherUsersLiveProcessIsAlive) {
    SKIP_WITHOUT_MARKS();
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run as uid 65534";
    std::string launcher = packWithHooks();
    chmod(temp().path().c_str(), 0755);
    chown(tmpDir().c_str(), kOtherUser, kOtherUser);
    chmod(launcher.c_str(), 0755);
    chmod(appDir().c_str(), 0755);
    std::string tree = makeTree(1);
    ASSERT_EQ(lchown(tree.c_str(), kOtherUser, kOtherUser), 0);
    std::string dead = makeTree(deadPid(), 0700, true, "DeadDead-_0");
    ASSERT_EQ(lchown(dead.c_str(), kOtherUser, kOtherUser), 0);
    ASSERT_EQ(lchown((dead + "/data").c_str(), kOtherUser, kOtherUser), 0);
    reclaim(launcher, kOldAndLocal, kOtherUser);
    EXPECT_TRUE(exists(tree)) << "pid 1, another user's";
    EXPECT_FALSE(exists(dead)) << "a dead pid, the same user's";
}

// The application of a run whose launcher was killed goes on: its tree stays
// while it lives, it finds its files afterwards, and once it is gone the
// next run reclaims the tree.
TEST_F(ReclaimTest, ALiveApplicationKeepsItsTree) {
    SKIP_WITHOUT_MARKS();
    std::string launcher = packWithHooks();
    std::string copy = temp().file("copy-after");
    std::string tree = abandonTree(launcher, true, {{"PROBE_COPY_AFTER", copy}});
    pid_t probe = readProbePid(probePidPath());
    ASSERT_GT(probe, 0);
    reclaim(launcher);
    ASSERT_TRUE(exists(tree));
    kill(probe, SIGTERM);
    for (int i = 0; i < 500 && kill(probe, 0) == 0; ++i) usleep(10000);
    EXPECT_EQ(readFile(copy + "/probe"), readFile(appDir() + "/probe")) << "the application read its files";
    reclaim(launcher);
    EXPECT_FALSE(exists(tree));
}

// A bind mount inside an abandoned tree: the walk never enters it, so its
// source stays whole, and the tree with it.
TEST_F(ReclaimTest, ABindMountInsideStaysUntouched) {
    SKIP_WITHOUT_MARKS();
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace with a bind mount";
    std::string launcher = packWithHooks();
    std::string tree = abandonTree(launcher);
    std::string source = temp().file("source");
    writeFile(source + "/precious", "precious\n");
    makeDirectories(tree + "/mounted");
    std::string script = "mount --bind '" + source + "' '" + tree + "/mounted' && exec '" + launcher + "'";
    onefile::testing::ProcessOptions options = withHooks(kOldAndLocal);
    LauncherRun result = run({"unshare", "-m", "--propagation", "private", "sh", "-c", script}, options);
    if (result.process.exitCode != 0 && result.process.err.find("unshare") != std::string::npos) {
        GTEST_SKIP() << "no mount namespace here: " << result.process.err;
    }
    EXPECT_EQ(result.process.exitCode, 0) << result.process.err;
    EXPECT_EQ(readFile(source + "/precious"), "precious\n");
}

// Twenty runs at once sweep the same abandoned trees: each tree is removed
// by exactly one of them, none fails, and none takes longer than its sweep
// bound allows.
TEST_F(ReclaimTest, TwentyRunsReclaimTheSameTrees) {
    SKIP_WITHOUT_MARKS();
    std::string launcher = packWithHooks();
    std::vector<std::string> trees;
    for (int i = 0; i < 12; ++i) {
        std::string tree = makeTree(deadPid(), 0700, true, "Together-" + std::string(1, 'a' + i) + "0");
        for (int j = 0; j < 50; ++j) writeFile(tree + "/f" + std::to_string(j), std::string(4096, 'x'));
        trees.push_back(tree);
    }
    std::string removedLog = temp().file("removed");
    std::vector<std::unique_ptr<StartedLauncher>> runs;
    for (int i = 0; i < 20; ++i) {
        StartOptions options = startOptions();
        options.setAll(kOldAndLocal).set("ONEFILE_HOOK_REMOVED_LOG", removedLog);
        options.set("PROBE_REPORT", temp().file("report-" + std::to_string(i)));
        runs.push_back(std::make_unique<StartedLauncher>(std::vector<std::string>{launcher}, options));
    }
    for (auto& run : runs) {
        std::optional<ExitState> state = run->waitForExit(Milliseconds(20000));
        ASSERT_TRUE(state.has_value());
        EXPECT_EQ(state->exitCode, 0) << describe(*state);
        EXPECT_EQ(run->standardError(), "");
    }
    std::vector<std::string> removed = readLines(removedLog);
    for (const std::string& tree : trees) {
        EXPECT_FALSE(exists(tree)) << tree;
        EXPECT_EQ(std::count(removed.begin(), removed.end(), "rmdir " + tree), 1) << tree;
    }
}

}  // namespace
}  // namespace onefile::e2e
