// A launcher made with pack --reuse runs only from a version directory of
// the user's own that nobody else can change. One that another user made
// first (uid 65534, in a sticky holding directory where both may create),
// one open to group or others, a link or a file in its place: the run
// ends before anything is made or started, and what stands there stays as
// it was. Trees of the launcher's name forms that another user owns are
// never removed either, nor the user's own in a place the launcher did not
// make; and a lock that another process holds never stalls a run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/hardening/hardening_support.h"
#include "tests/support/file_helpers.h"

namespace onefile::hardening {
namespace {

namespace fs = std::filesystem;
using onefile::testing::makeSymlink;

// Public: the planting steps of the table below get the fixture itself.
class ReusedTreeTest : public ::testing::Test {
public:
    void SetUp() override {
        // Every user of these tests reaches the test's directories.
        ASSERT_EQ(chmod(temp_.path().c_str(), 0755), 0);
        launcher_ = temp_.file("launcher");
        packScriptApp(temp_.file("app"), kRecordingMain, launcher_, {"--reuse"});
        version_ = keptVersionOf(launcher_);
        // Sticky and writable by all, like /tmp: the other user may make
        // names in it, but not take ours away.
        makeDirectories(holding());
        ASSERT_EQ(chmod(holding().c_str(), 01777), 0);
    }

    std::string holding() const { return temp_.file("cache/onefile/launcher"); }
    std::string versionDir() const { return holding() + "/" + version_; }

    ProcessResult runLauncher(const std::string& runs) {
        ProcessOptions options = recordingOptions(temp_.file("tmp"), runs);
        options.setEnvironment["XDG_CACHE_HOME"] = temp_.file("cache");
        makeDirectories(temp_.file("tmp"));
        return runProcess({launcher_}, options);
    }

    void asOtherUser(const std::string& script, const std::vector<std::string>& arguments = {}) {
        const ProcessResult result = runShellAs(kOtherUser, kOtherGroup, script, arguments, holding());
        ASSERT_EQ(result.exitCode, 0) << "the other user's step failed: " << script << "\n" << result.err;
    }

    TempDir temp_;
    std::string launcher_;
    std::string version_;
};

struct PlantedVersion {
    const char* name;
    std::function<void(ReusedTreeTest&)> plant;
    std::string reason;
};

TEST_F(ReusedTreeTest, VersionDirectoryMustBeTheUsersOwnAndPrivate) {
    const auto ownDirectory = [](mode_t mode) {
        return [mode](ReusedTreeTest& test) {
            writeFile(test.versionDir() + "/main", "#!/bin/sh\n", 0755);
            ASSERT_EQ(chmod(test.versionDir().c_str(), mode), 0);
        };
    };
    const std::vector<PlantedVersion> cases = {
        {"made by the other user",
         [](ReusedTreeTest& test) { test.asOtherUser("mkdir \"$1\" && chmod 755 \"$1\"", {test.version_}); },
         "owned by uid 65534, not by uid 0"},
        {"made private by the other user",
         [](ReusedTreeTest& test) {
             test.asOtherUser("mkdir \"$1\" && echo x > \"$1/main\" && chmod 700 \"$1\"", {test.version_});
         },
         "owned by uid 65534, not by uid 0"},
        {"the user's, writable by the group", ownDirectory(0770), "open to group or others (mode 0770)"},
        {"the user's, writable by others", ownDirectory(0757), "open to group or others (mode 0757)"},
        // Nobody else may even open it: whoever can open it can lock it.
        {"the user's, readable by all", ownDirectory(0755), "open to group or others (mode 0755)"},
        {"the user's, sticky and writable by all", ownDirectory(01777), "open to group or others (mode 1777)"},
        {"the other user's link to the user's tree",
         [](ReusedTreeTest& test) {
             writeFile(test.temp_.file("elsewhere/main"), "#!/bin/sh\n", 0755);
             test.asOtherUser("ln -s \"$2\" \"$1\"", {test.version_, test.temp_.file("elsewhere")});
         },
         "a symbolic link"},
        {"the user's file", [](ReusedTreeTest& test) { writeFile(test.versionDir(), "file\n", 0644); },
         "not a directory"},
    };
    for (const PlantedVersion& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ignored;
        fs::remove_all(versionDir(), ignored);
        fs::remove(temp_.file("runs"), ignored);
        c.plant(*this);
        const std::vector<std::string> before = describeTree(holding());

        const ProcessResult result = runLauncher(temp_.file("runs"));
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_EQ(result.err, "Error, directory '" + versionDir() + "' is not safe to use: " + c.reason + ".\n");
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(linesOf(temp_.file("runs")), std::vector<std::string>{}) << "the application started";
        EXPECT_EQ(describeTree(holding()), before) << "the refused run changed the holding directory";
    }
}

// The other user's directories with names of the launcher's forms, an old
// version's and a working directory's, stay when the run publishes its
// version and removes the trees it may remove.
TEST_F(ReusedTreeTest, TreesOfAnotherUserAreNeverRemoved) {
    asOtherUser("mkdir 0000000000000000 .0000000000000000-AAAAAAAAAAA && "
                "echo old > 0000000000000000/old && echo part > .0000000000000000-AAAAAAAAAAA/part && "
                "chmod 700 0000000000000000");
    // An old version of the user's own goes.
    writeFile(holding() + "/1111111111111111/old", "old\n");
    ASSERT_EQ(chmod((holding() + "/1111111111111111").c_str(), 0700), 0);
    const std::vector<std::string> before = describeTree(holding() + "/0000000000000000");
    const std::vector<std::string> beforeWorking = describeTree(holding() + "/.0000000000000000-AAAAAAAAAAA");

    const ProcessResult result = runLauncher(temp_.file("runs"));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(linesOf(temp_.file("runs")).size(), 1u);
    EXPECT_EQ(describeTree(holding() + "/0000000000000000"), before);
    EXPECT_EQ(describeTree(holding() + "/.0000000000000000-AAAAAAAAAAA"), beforeWorking);
    EXPECT_FALSE(fs::exists(holding() + "/1111111111111111"));
    EXPECT_TRUE(fs::is_directory(versionDir()));
}

struct LockHeld {
    const char* name;
    bool publishedFirst;  // a run published the version before the lock
    bool byOtherUser;
    bool versionDirectory;  // else the holding directory
    const char* flockOption;
    bool privateCopy;  // the run says so and runs a copy of its own
};

// A lock held on a directory a run uses never stalls it. The holding
// directory here is TMPDIR ({TEMP}), sticky and open to all like /tmp, which
// the other user may open and lock, shared or exclusive: the run pays no
// heed. A lock on the version directory can only be the user's own (nobody
// else may open it): an exclusive one, as a run that removes the tree holds
// it, is waited for a short while, then the run takes a private copy.
TEST_F(ReusedTreeTest, ALockHeldByAnotherProcessNeverStallsTheRun) {
    const std::vector<LockHeld> cases = {
        {"the other user's exclusive lock of the holding directory", false, true, false, "-x", false},
        {"the other user's shared lock of the holding directory", false, true, false, "-s", false},
        {"the other user's exclusive lock of the holding directory, published", true, true, false, "-x", false},
        {"the user's exclusive lock of the version directory", true, false, true, "-x", true},
    };
    constexpr auto kBound = std::chrono::seconds(30);
    int index = 0;
    for (const LockHeld& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string tmp = temp_.file("tmp-" + std::to_string(index));
        const std::string launcher = temp_.file("locked-" + std::to_string(index));
        const std::string runs = temp_.file("runs-" + std::to_string(index++));
        makeDirectories(tmp);
        ASSERT_EQ(chmod(tmp.c_str(), 01777), 0);
        packScriptApp(temp_.file("locked-app"), kRecordingMain, launcher, {"--reuse", "--template", "{TEMP}"});
        const ProcessOptions options = recordingOptions(tmp, runs);
        if (c.publishedFirst) {
            ASSERT_EQ(runProcess({launcher}, options).exitCode, 0);
        }
        const std::string versionDir = tmp + "/" + keptVersionOf(launcher);

        // The lock is taken, then the locker says so and holds it.
        const std::string ready = tmp + "/locked";
        ProcessOptions lockerOptions;
        if (c.byOtherUser) {
            lockerOptions.userId = kOtherUser;
            lockerOptions.groupId = kOtherGroup;
        }
        BackgroundProcess locker({"flock", c.flockOption, c.versionDirectory ? versionDir : tmp, "/bin/sh", "-c",
                                  "touch \"$0\" && exec sleep 600", ready},
                                 lockerOptions);
        ASSERT_TRUE(waitForPath(ready, std::chrono::seconds(10))) << "the lock was not taken";

        BackgroundProcess run({launcher}, options);
        const std::optional<ProcessResult> result = run.wait(kBound);
        ASSERT_TRUE(result) << "the run waits for the lock";
        EXPECT_EQ(result->exitCode, 0) << result->err;
        const std::vector<std::string> recorded = linesOf(runs);
        ASSERT_EQ(recorded.size(), c.publishedFirst ? 2u : 1u);
        const RecordedRun last = parseRun(recorded.back());
        if (c.privateCopy) {
            EXPECT_EQ(result->err, "Warning, directory '" + versionDir +
                                       "' stayed locked by a run that removes it; running a private copy.\n");
            EXPECT_NE(last.directory, versionDir);
            EXPECT_FALSE(fs::exists(last.directory)) << "the private copy stayed";
        } else {
            EXPECT_EQ(result->err, "");
            EXPECT_EQ(last.directory, versionDir);
        }
    }
}

// A holding directory that the launcher did not make, a general place such
// as the launcher's own directory or TMPDIR, is used and never cleaned: the
// user's own private directories there stay when a run publishes its
// version, even those named like an old version or a working directory.
TEST_F(ReusedTreeTest, AGeneralPlaceKeepsTheUsersOwnDirectories) {
    const struct {
        const char* name;
        const char* placeholder;
    } cases[] = {{"the launcher's directory", "{PROGRAM_DIR}"}, {"TMPDIR", "{TEMP}"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string place = temp_.file(std::string("place-") + (c.placeholder + 1));
        const std::string launcher = place + "/app";
        packScriptApp(temp_.file("general-app"), kRecordingMain, launcher, {"--reuse", "--template", c.placeholder});
        const std::vector<std::string> own = {"00c0ffee12345678", ".00c0ffee12345678-AAAAAAAAAAA"};
        std::vector<std::vector<std::string>> before;
        for (const std::string& name : own) {
            writeFile(place + "/" + name + "/photo.jpg", "photo\n", 0600);
            ASSERT_EQ(chmod((place + "/" + name).c_str(), 0700), 0);
            before.push_back(describeTree(place + "/" + name));
        }
        const std::string version = keptVersionOf(launcher);

        const std::string runs = place + "-runs";
        const ProcessResult result = runProcess({launcher}, recordingOptions(place, runs));
        EXPECT_EQ(result.exitCode, 0) << result.err;
        ASSERT_EQ(linesOf(runs).size(), 1u);
        EXPECT_EQ(parseRun(linesOf(runs)[0]).directory, place + "/" + version);
        for (std::size_t i = 0; i < own.size(); ++i) EXPECT_EQ(describeTree(place + "/" + own[i]), before[i]) << own[i];
        // The version directory is all the run added there.
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(place)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        std::vector<std::string> expected = {".00c0ffee12345678-AAAAAAAAAAA", "00c0ffee12345678", version, "app"};
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(names, expected);
    }
}

}  // namespace
}  // namespace onefile::hardening
