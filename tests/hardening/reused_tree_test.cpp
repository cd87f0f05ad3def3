// A launcher made with pack --reuse runs only from a version directory of
// the user's own that nobody else can change. One that another user made
// first (uid 65534, in a sticky holding directory where both may create),
// one open to group or others, a link or a file in its place: the run
// ends before anything is made or started, and what stands there stays as
// it was. Trees of the launcher's name forms that another user owns are
// never removed either.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
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
        const ProcessResult info = runProcess({ONEFILE_TOOL_PATH, "info", launcher_});
        const std::size_t at = info.out.find("\ndigest: sha256 ");
        ASSERT_NE(at, std::string::npos) << info.out << info.err;
        version_ = info.out.substr(at + 16, 16);
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

}  // namespace
}  // namespace onefile::hardening
