// Where the extraction directory may go when another user shares the
// machine. Every existing level of the expanded path is walked one at a time
// from an open directory: a directory met must belong to the launcher's user
// or root and be writable by nobody else unless it is sticky, a link is
// followed only when root or that user owns it, and anything else ends the
// run before a byte is written. Entries are made relative to open
// directories, so a level swapped by the other user during the extraction
// cannot redirect a write.
//
// The other user (uid 65534) takes every step of its own; the launcher runs
// as root, whom no permission bit stops, or as a user of its own, so only
// the launcher's own checks can refuse. The other user's links and fifos lie
// in a directory that user owns, never straight in a sticky directory, so
// that the kernel's protection of links and fifos in sticky directories
// plays no part.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/hardening/hardening_support.h"
#include "tests/support/file_helpers.h"
#include "tests/support/temp_dir.h"

namespace onefile::hardening {
namespace {

namespace fs = std::filesystem;
using onefile::testing::makeSymlink;

// A user of its own for the launcher, neither root nor the other user, and a
// third one who owns nothing but a link.
constexpr uid_t kLauncherUser = 4242;
constexpr uid_t kStrangerUser = 4343;

// Who makes the level a case puts in the launcher's way.
enum class Maker { nobody, user, otherUser };
enum class Kind { directory, file, link, fifo };
// How a run ends: it works, its level is not safe, or its extraction
// directory exists already.
enum class Outcome { works, notSafe, exists };

// A run refused before its application started: status 2, the report `err`
// and nothing on standard output, no start in the record `runs`.
void expectRefused(const ProcessResult& result, const std::string& err, const std::string& runs) {
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.err, err);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(linesOf(runs), std::vector<std::string>{}) << "the application started";
}

// A run that worked: status 0, nothing on standard error, and one start in
// the record `runs`, with the application in `parent`/app_TOKEN for the
// run's own token. Fails fatally when the record holds no start or more.
void expectStartedIn(const ProcessResult& result, const std::string& runs, const std::string& parent) {
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const std::vector<std::string> lines = linesOf(runs);
    ASSERT_EQ(lines.size(), 1u);
    const RecordedRun run = parseRun(lines[0]);
    EXPECT_EQ(run.directory, parent + "/app_" + run.token);
}

class HostileUserTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Every user of these tests reaches the test's directories.
        ASSERT_EQ(chmod(temp_.path().c_str(), 0755), 0);
        // The user's own data, which no run may change.
        writeFile(victim() + "/precious", "precious\n");
        writeFile(victim() + "/more/precious", "more\n");
    }

    std::string victim() const { return temp_.file("victim"); }

    std::string makeLauncher(const std::string& templateText, const std::string& name = "launcher") {
        const std::string launcher = temp_.file(name);
        packScriptApp(temp_.file("apps/" + name), kRecordingMain, launcher, {"--template", templateText});
        return launcher;
    }

    // Runs `script` as the other user; the test stops when that fails.
    void asOtherUser(const std::string& script, const std::string& workingDirectory,
                     const std::vector<std::string>& arguments = {}) {
        const ProcessResult result = runShellAs(kOtherUser, kOtherGroup, script, arguments, workingDirectory);
        ASSERT_EQ(result.exitCode, 0) << "the other user's step failed: " << script << "\n" << result.err;
    }

    // Puts a level of `kind` at directory/name, made by `maker` (the user is
    // root here): a directory or file with `mode`, a link to `linkTarget`.
    void plant(const std::string& directory, const std::string& name, Maker maker, Kind kind, mode_t mode,
               const std::string& linkTarget) {
        if (maker == Maker::nobody) return;
        const std::string path = directory + "/" + name;
        if (maker == Maker::otherUser) {
            const char* step = kind == Kind::directory ? "mkdir \"$1\" && chmod \"$2\" \"$1\""
                               : kind == Kind::file    ? "echo planted > \"$1\" && chmod \"$2\" \"$1\""
                               : kind == Kind::link    ? "ln -s \"$3\" \"$1\""
                                                       : "mkfifo \"$1\"";
            asOtherUser(step, directory, {name, octal(mode), linkTarget});
            return;
        }
        switch (kind) {
            case Kind::directory:
                makeDirectories(path);
                ASSERT_EQ(chmod(path.c_str(), mode), 0);
                break;
            case Kind::file:
                writeFile(path, "planted\n", mode);
                break;
            case Kind::link:
                makeSymlink(linkTarget, path);
                break;
            case Kind::fifo:
                ASSERT_EQ(mkfifo(path.c_str(), mode), 0);
                break;
        }
    }

    TempDir temp_;
};

// The levels above the extraction directory, below a TMPDIR that is sticky
// and writable by all like /tmp, where the other user makes what it likes.
// A level of the user's (root's) own, sticky or not writable by others, or
// root's link, is used; a level of the other user, or one writable by group
// or others without the sticky bit, or a file, ends the run with the report
// naming that level, before anything is made. ".." is resolved physically,
// so the level it leaves is walked through and checked as well.
TEST_F(HostileUserTest, LevelsAboveTheExtractionDirectoryMustBeSafe) {
    const struct {
        const char* name;
        Maker maker;
        Kind kind;
        mode_t mode;
        const char* templateText;
        const char* tmpDir;        // TMPDIR, below the test's directory
        const char* refusedLevel;  // the level the report names, or nullptr when the run works
        const char* extractedIn;   // where the extraction directory lies when the run works
        const char* reason = "";   // why the level is refused
    } cases[] = {
        {"the user's own directory", Maker::user, Kind::directory, 0755, "{TEMP}/shared/app_{RANDOM}", "tmp",
         nullptr, "tmp/shared"},
        {"the user's sticky directory writable by all", Maker::user, Kind::directory, 01777,
         "{TEMP}/shared/app_{RANDOM}", "tmp", nullptr, "tmp/shared"},
        {"the user's link to the user's directory", Maker::user, Kind::link, 0, "{TEMP}/shared/app_{RANDOM}", "tmp",
         nullptr, "tmp/real"},
        {"the user's directory left again by ..", Maker::user, Kind::directory, 0755,
         "{TEMP}/shared/../app_{RANDOM}", "tmp", nullptr, "tmp"},
        {"the other user's directory", Maker::otherUser, Kind::directory, 0755, "{TEMP}/shared/app_{RANDOM}", "tmp",
         "tmp/shared", nullptr, "owned by uid 65534"},
        {"the other user's private directory", Maker::otherUser, Kind::directory, 0700,
         "{TEMP}/shared/app_{RANDOM}", "tmp", "tmp/shared", nullptr, "owned by uid 65534"},
        {"the other user's sticky directory", Maker::otherUser, Kind::directory, 01777,
         "{TEMP}/shared/app_{RANDOM}", "tmp", "tmp/shared", nullptr, "owned by uid 65534"},
        {"the other user's directory two levels up", Maker::otherUser, Kind::directory, 0755,
         "{TEMP}/shared/sub/app_{RANDOM}", "tmp", "tmp/shared", nullptr, "owned by uid 65534"},
        {"the other user's directory left again by ..", Maker::otherUser, Kind::directory, 0755,
         "{TEMP}/shared/../app_{RANDOM}", "tmp", "tmp/shared", nullptr, "owned by uid 65534"},
        {"the other user's directory as TMPDIR", Maker::otherUser, Kind::directory, 0755, "{TEMP}/app_{RANDOM}",
         "tmp/shared", "tmp/shared", nullptr, "owned by uid 65534"},
        {"the user's directory writable by all, not sticky", Maker::user, Kind::directory, 0777,
         "{TEMP}/shared/app_{RANDOM}", "tmp", "tmp/shared", nullptr, "writable by group or others and not sticky"},
        {"the user's directory writable by the group", Maker::user, Kind::directory, 0775,
         "{TEMP}/shared/app_{RANDOM}", "tmp", "tmp/shared", nullptr, "writable by group or others and not sticky"},
        {"the user's directory writable by others", Maker::user, Kind::directory, 0757,
         "{TEMP}/shared/app_{RANDOM}", "tmp", "tmp/shared", nullptr, "writable by group or others and not sticky"},
        {"a regular file", Maker::user, Kind::file, 0644, "{TEMP}/shared/app_{RANDOM}", "tmp", "tmp/shared",
         nullptr, "not a directory"},
    };
    const std::string top = temp_.file("tmp");
    makeDirectories(top);
    ASSERT_EQ(chmod(top.c_str(), 01777), 0);
    const std::string runs = temp_.file("runs");
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string launcher = makeLauncher(c.templateText, "launcher" + std::to_string(index++));
        std::error_code ignored;
        fs::remove_all(top + "/shared", ignored);
        fs::remove_all(top + "/real", ignored);
        fs::remove(runs, ignored);
        makeDirectories(top + "/real");
        plant(top, "shared", c.maker, c.kind, c.mode, top + "/real");
        const std::vector<std::string> before = describeTree(top);
        const std::vector<std::string> beforeWithoutTimes = describeTree(top, false);

        const ProcessResult result = runProcess({launcher}, recordingOptions(temp_.file(c.tmpDir), runs));

        if (c.refusedLevel != nullptr) {
            expectRefused(result, notSafe(temp_.file(c.refusedLevel), c.reason), runs);
            EXPECT_EQ(describeTree(top), before) << "the refused run changed TMPDIR";
        } else {
            ASSERT_NO_FATAL_FAILURE(
                expectStartedIn(result, runs, fs::canonical(temp_.path()).string() + "/" + c.extractedIn));
            EXPECT_EQ(describeTree(top, false), beforeWithoutTimes) << "the run left something in TMPDIR";
        }
    }
}

// A relative template starts at the working directory, which is not
// checked: here the other user owns it, and the victim (root) runs there.
// The first level met is checked like any other: the other user's link,
// directory or fifo is refused and named as written; the user's own
// directory or link is used, and a level that is missing is made and goes
// again. The other user's link standing as the extraction directory itself
// makes its creation fail. The link's target, the user's directory, stays
// as it was whenever the run is refused.
TEST_F(HostileUserTest, LevelsMetFromAWorkingDirectoryOfTheOtherUser) {
    const struct {
        const char* name;
        Maker maker;
        Kind kind;
        const char* planted;       // the name made in the working directory
        const char* templateText;
        Outcome outcome;
        const char* extractedIn;   // below the test's directory, when the run works
        const char* reason = "";   // why the level is refused
    } cases[] = {
        {"a level the run makes", Maker::nobody, Kind::directory, "lvl", "lvl/app_{RANDOM}", Outcome::works,
         "evil/lvl"},
        {"the user's directory", Maker::user, Kind::directory, "lvl", "lvl/app_{RANDOM}", Outcome::works, "evil/lvl"},
        {"the user's link to the user's directory", Maker::user, Kind::link, "lvl", "lvl/app_{RANDOM}",
         Outcome::works, "victim"},
        {"the other user's link to the user's directory", Maker::otherUser, Kind::link, "lvl", "lvl/app_{RANDOM}",
         Outcome::notSafe, nullptr, "a symbolic link owned by uid 65534"},
        {"the other user's directory", Maker::otherUser, Kind::directory, "lvl", "lvl/app_{RANDOM}",
         Outcome::notSafe, nullptr, "owned by uid 65534"},
        {"the other user's fifo", Maker::otherUser, Kind::fifo, "lvl", "lvl/app_{RANDOM}", Outcome::notSafe,
         nullptr, "not a directory"},
        {"the other user's link as the extraction directory", Maker::otherUser, Kind::link, "app", "app",
         Outcome::exists, nullptr},
    };
    const std::string evil = temp_.file("evil");
    makeDirectories(evil);
    setOwnerAndMode(evil, kOtherUser, kOtherGroup, 0755);
    const std::string runs = temp_.file("runs");
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string launcher = makeLauncher(c.templateText, "launcher" + std::to_string(index++));
        std::error_code ignored;
        fs::remove_all(evil + "/" + c.planted, ignored);
        fs::remove(runs, ignored);
        plant(evil, c.planted, c.maker, c.kind, 0755, victim());
        const std::vector<std::string> evilBefore = describeTree(evil);
        const std::vector<std::string> victimBefore = describeTree(victim());
        const std::vector<std::string> evilWithoutTimes = describeTree(evil, false);
        const std::vector<std::string> victimWithoutTimes = describeTree(victim(), false);

        ProcessOptions options = recordingOptions(temp_.file("tmp"), runs);
        options.workingDirectory = evil;
        const ProcessResult result = runProcess({launcher}, options);

        if (c.outcome != Outcome::works) {
            expectRefused(result,
                          c.outcome == Outcome::exists ? createFailure(c.planted, "File exists") : notSafe(c.planted, c.reason),
                          runs);
            EXPECT_EQ(describeTree(evil), evilBefore);
            EXPECT_EQ(describeTree(victim()), victimBefore) << "the run wrote through the other user's link";
        } else {
            ASSERT_NO_FATAL_FAILURE(
                expectStartedIn(result, runs, fs::canonical(temp_.path()).string() + "/" + c.extractedIn));
            EXPECT_EQ(describeTree(evil, false), evilWithoutTimes) << "the run left something behind";
            EXPECT_EQ(describeTree(victim(), false), victimWithoutTimes) << "the run left something behind";
        }
    }
}

// The other user makes the extraction directory of a launcher with a fixed
// template first, in the sticky TMPDIR, with links inside to the user's
// files at the names of the launcher's entries. The launcher's exclusive
// creation fails: it reports it, starts nothing, and writes nothing through
// the links.
TEST_F(HostileUserTest, TheOtherUsersExtractionDirectoryIsRefused) {
    const std::string launcher = makeLauncher("{TEMP}/victimapp");
    const std::string tmpDir = temp_.file("tmp");
    makeDirectories(tmpDir);
    ASSERT_EQ(chmod(tmpDir.c_str(), 01777), 0);
    asOtherUser("mkdir victimapp && chmod 0777 victimapp && ln -s \"$1\" victimapp/main && "
                "mkdir victimapp/data && ln -s \"$2\" victimapp/data/file",
                tmpDir, {victim() + "/precious", victim() + "/more/precious"});
    const std::vector<std::string> tmpBefore = describeTree(tmpDir);
    const std::vector<std::string> victimBefore = describeTree(victim());
    const std::string runs = temp_.file("runs");

    const ProcessResult result = runProcess({launcher}, recordingOptions(tmpDir, runs));

    expectRefused(result, createFailure(tmpDir + "/victimapp", "File exists"), runs);
    EXPECT_EQ(describeTree(tmpDir), tmpBefore);
    EXPECT_EQ(describeTree(victim()), victimBefore) << "the run wrote through the other user's links";
}

// TMPDIR is a link. Followed when root or the launcher's user owns it,
// whether that user is root or not; a link of a third user is refused even
// where its target is the launcher user's own directory.
TEST_F(HostileUserTest, ALinkIsFollowedWhenRootOrTheLaunchersUserOwnsIt) {
    const struct {
        const char* name;
        uid_t launcherUser;
        uid_t linkOwner;
        bool refused;
    } cases[] = {
        {"root's launcher, root's link", 0, 0, false},
        {"a user's launcher, the user's own link", kLauncherUser, kLauncherUser, false},
        {"a user's launcher, root's link", kLauncherUser, 0, false},
        {"a user's launcher, a third user's link", kLauncherUser, kStrangerUser, true},
        {"root's launcher, a third user's link", 0, kStrangerUser, true},
    };
    const std::string launcher = makeLauncher("{TEMP}/app_{RANDOM}");
    const std::string links = temp_.file("links");
    makeDirectories(links);
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string target = temp_.file("target" + std::to_string(index));
        const std::string records = temp_.file("records" + std::to_string(index));
        const std::string link = links + "/tmp" + std::to_string(index);
        ++index;
        makeDirectories(target);
        setOwnerAndMode(target, c.launcherUser, c.launcherUser, 0700);
        makeDirectories(records);
        setOwnerAndMode(records, c.launcherUser, c.launcherUser, 0700);
        makeSymlink(target, link);
        setOwnerAndMode(link, c.linkOwner, c.linkOwner, 0);
        const std::vector<std::string> before = describeTree(target);
        const std::vector<std::string> beforeWithoutTimes = describeTree(target, false);

        const std::string runs = records + "/runs";
        ProcessOptions options = recordingOptions(link, runs);
        options.userId = c.launcherUser;
        options.groupId = c.launcherUser;
        const ProcessResult result = runProcess({launcher}, options);

        if (c.refused) {
            EXPECT_EQ(result.exitCode, 2);
            EXPECT_EQ(result.err, notSafe(link, "a symbolic link owned by uid " + std::to_string(kStrangerUser)));
            EXPECT_EQ(linesOf(runs), std::vector<std::string>{}) << "the application started";
            EXPECT_EQ(describeTree(target), before);
        } else {
            ASSERT_NO_FATAL_FAILURE(expectStartedIn(result, runs, fs::canonical(target).string()));
            EXPECT_EQ(describeTree(target, false), beforeWithoutTimes) << "the run left something in its TMPDIR";
        }
    }
}

// The other user's side of the race: started as that user, it waits until
// the launcher has made `extraction` below `level` (both relative to the
// working directory), then swaps `level` again and again: moved aside, a
// link to `target` in its place for a moment, then the link gone and the
// level back. It ends after kMaxSwaps rounds or kMaxSwapTime, or when
// killed. Exit status 0 when it swapped at least once, 1 when the level
// never appeared. It makes the file `marker` in the working directory when it
// starts swapping.
constexpr long kMaxSwaps = 2000000;
constexpr int kMaxSwapSeconds = 60;
constexpr int kWaitForLevelMilliseconds = 20000;

pid_t startSwapper(const std::string& workingDirectory, const std::string& level, const std::string& extraction,
                   const std::string& target, const std::string& marker) {
    const std::string moved = level + ".moved";
    const std::string inside = level + "/" + extraction;
    const pid_t pid = fork();
    if (pid != 0) return pid;
    // The child: system calls only.
    if (setgroups(0, nullptr) != 0 || setgid(kOtherGroup) != 0 || setuid(kOtherUser) != 0 ||
        chdir(workingDirectory.c_str()) != 0) {
        _exit(3);
    }
    const timespec pause = {0, 20000};
    struct stat status;
    int waited = 0;
    while (lstat(inside.c_str(), &status) != 0) {
        if (++waited > kWaitForLevelMilliseconds) _exit(1);
        const timespec millisecond = {0, 1000000};
        nanosleep(&millisecond, nullptr);
    }
    const int markerDescriptor = open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (markerDescriptor >= 0) close(markerDescriptor);
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long round = 0; round < kMaxSwaps; ++round) {
        if (rename(level.c_str(), moved.c_str()) == 0) {
            (void)symlink(target.c_str(), level.c_str());
            nanosleep(&pause, nullptr);
            (void)unlink(level.c_str());
            (void)rename(moved.c_str(), level.c_str());
        }
        nanosleep(&pause, nullptr);
        if ((round & 1023) == 0) {
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            if (now.tv_sec - start.tv_sec > kMaxSwapSeconds) break;
        }
    }
    _exit(0);
}

// The victim (root) runs a launcher with a large payload in a working
// directory the other user owns, with the relative fixed template "rel/app"
// below its own level "rel". While it unpacks, the other user swaps "rel"
// for a link to the user's directory, which holds an "app" of its own. The
// launcher either completes (the application's status, 0) or ends with
// status 2; either way nothing in the user's directory changes, so no write
// went through the link. Several rounds, each with a fresh swapper.
TEST_F(HostileUserTest, SwappingALevelDuringExtractionNeverRedirectsAWrite) {
    const std::string app = temp_.file("apps/big");
    writeFile(app + "/main", onefile::testing::readFile(ONEFILE_PROBE_PATH), 0755);
    const std::string chunk(4096, 'x');
    constexpr int kDirectories = 40;
    constexpr int kFilesPerDirectory = 50;
    for (int directory = 0; directory < kDirectories; ++directory) {
        for (int file = 0; file < kFilesPerDirectory; ++file) {
            writeFile(app + "/d" + std::to_string(directory) + "/f" + std::to_string(file), chunk);
        }
    }
    writeFile(app + "/big", std::string(32u << 20, 'b'));
    const std::string launcher = temp_.file("launcher");
    packLauncher(app, launcher, {"--template", "rel/app"});

    // The user's directory holds an "app" like the extraction directory.
    writeFile(victim() + "/app/precious", "app\n");
    const std::string evil = temp_.file("evil");
    makeDirectories(evil);
    setOwnerAndMode(evil, kOtherUser, kOtherGroup, 0755);
    const std::vector<std::string> victimBefore = describeTree(victim());

    constexpr int kRounds = 3;
    int roundsWithSwaps = 0;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::error_code ignored;
        fs::remove_all(evil + "/rel", ignored);
        fs::remove_all(evil + "/rel.moved", ignored);
        fs::remove(evil + "/swapping", ignored);
        makeDirectories(evil + "/rel");
        ASSERT_EQ(chmod((evil + "/rel").c_str(), 0755), 0);

        const pid_t swapper = startSwapper(evil, "rel", "app", victim(), "swapping");
        ASSERT_GT(swapper, 0);
        ProcessOptions options = launcherOptions(temp_.file("tmp"));
        options.workingDirectory = evil;
        options.setEnvironment["PROBE_REPORT"] = "/dev/null";
        const ProcessResult result = runProcess({launcher}, options);
        (void)kill(swapper, SIGKILL);
        int status = 0;
        while (waitpid(swapper, &status, 0) < 0 && errno == EINTR) {
        }
        EXPECT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << "the swapper could not become the other user";
        if (fs::exists(evil + "/swapping")) ++roundsWithSwaps;

        EXPECT_TRUE(result.exitCode == 0 || result.exitCode == 2)
            << "exit " << result.exitCode << " signal " << result.signal << ": " << result.err;
        EXPECT_EQ(describeTree(victim()), victimBefore) << "a write went through the other user's link";
        // Put the level back for the next round.
        struct stat levelStatus;
        if (lstat((evil + "/rel").c_str(), &levelStatus) == 0 && S_ISLNK(levelStatus.st_mode)) {
            (void)unlink((evil + "/rel").c_str());
        }
    }
    EXPECT_GT(roundsWithSwaps, 0) << "the swaps never overlapped a run";
}

}  // namespace
}  // namespace onefile::hardening
