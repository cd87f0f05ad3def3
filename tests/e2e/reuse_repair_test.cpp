// A kept tree that lost something (a temp cleaner, a full disk, a user's
// hand) is repaired by the next run in place: only the entries missing or
// different are replaced, from a working directory the run unpacks and
// removes again. The version directory stays the same directory, what the
// application wrote into it stays, and a run that uses the tree meanwhile
// goes on.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e/reuse_support.h"
#include "tests/support/file_helpers.h"

namespace onefile::e2e {
namespace {

namespace fs = std::filesystem;
using onefile::testing::makeSymlink;
using onefile::testing::ProcessOptions;
using onefile::testing::writeFile;

struct Damage {
    const char* name;
    std::function<void(const std::string& tree)> apply;
};

void PrintTo(const Damage& damage, std::ostream* out) { *out << damage.name; }

class ReuseRepairTest : public ReuseTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(ReuseRepairTest, NextRunRepairsInPlaceWhileARunOfTheTreeGoesOn) {
    addProbe();
    writeFile(appDir() + "/data/a.txt", "alpha\n", 0644);
    writeFile(appDir() + "/data/sub/b.txt", "beta\n", 0644);
    writeFile(appDir() + "/bin/tool", "#!/bin/sh\n", 0755);
    makeSymlink("../data/a.txt", appDir() + "/share/link");
    const std::string launcher = packReused({"--main", "probe"});
    const std::string version = versionNameOf(launcher);
    const std::string versionDir = holdingDir() + "/" + version;

    // The application keeps a file of its own in its tree.
    ProcessOptions firstOptions = reuseOptions();
    firstOptions.setEnvironment["PROBE_MAKE_FILE"] = "state";
    firstOptions.umask = 022;
    const LauncherRun first = run({launcher}, firstOptions);
    ASSERT_TRUE(first.report.complete) << first.process.err;
    ASSERT_EQ(first.report.directory, versionDir);
    ASSERT_EQ(first.report.tree.back(), "file 0644 0 state");

    // A run of the tree that goes on while the tree is damaged and repaired.
    StartedLauncher holder({launcher}, reuseStartOptions().set("PROBE_WAIT", "1"));
    holder.setProbePidFile(probePidPath());
    ASSERT_TRUE(holder.waitUntilReady()) << holder.standardError();
    struct stat damaged {};
    ASSERT_EQ(::stat(versionDir.c_str(), &damaged), 0);
    GetParam().apply(versionDir);

    ProcessOptions options = reuseOptions();
    options.setEnvironment["PROBE_REPORT"] = temp().file("report-repair");
    const LauncherRun repair = run({launcher}, options);
    ASSERT_TRUE(repair.report.complete) << repair.process.err;
    EXPECT_EQ(repair.process.exitCode, 0);
    EXPECT_EQ(repair.process.err, "");
    EXPECT_EQ(repair.report.directory, versionDir);
    // The packed entries as they were, and the application's own file.
    EXPECT_EQ(repair.report.tree, first.report.tree);
    struct stat repaired {};
    ASSERT_EQ(::stat(versionDir.c_str(), &repaired), 0);
    EXPECT_EQ(repaired.st_ino, damaged.st_ino) << "the tree was replaced, not repaired";
    // One tree, and no working directory: the repair's went.
    EXPECT_EQ(treesIn(holdingDir()), std::vector<std::string>{version});

    EXPECT_FALSE(holder.pollExit()) << "the run of the tree ended";
    holder.sendSignal(SIGTERM);
    const std::optional<ExitState> state = holder.waitForExit();
    ASSERT_TRUE(state) << "the run of the tree did not end";
    EXPECT_EQ(state->exitCode, 0) << describe(*state) << holder.standardError();
    EXPECT_EQ(receivedSignals(), std::vector<std::string>{"signal=2 code=0"});
    EXPECT_EQ(treesIn(holdingDir()), std::vector<std::string>{version});
    EXPECT_TRUE(fs::exists(versionDir + "/state"));
}

INSTANTIATE_TEST_SUITE_P(
    Damages, ReuseRepairTest,
    ::testing::Values(Damage{"FileRemoved", [](const std::string& tree) { fs::remove(tree + "/data/a.txt"); }},
                      Damage{"FileTruncated",
                             [](const std::string& tree) { fs::resize_file(tree + "/data/sub/b.txt", 2); }},
                      Damage{"ExecuteBitDropped",
                             [](const std::string& tree) { ASSERT_EQ(chmod((tree + "/bin/tool").c_str(), 0644), 0); }},
                      Damage{"LinkChanged",
                             [](const std::string& tree) {
                                 fs::remove(tree + "/share/link");
                                 makeSymlink("../data/sub/b.txt", tree + "/share/link");
                             }},
                      Damage{"DirectoryRemoved", [](const std::string& tree) { fs::remove_all(tree + "/data/sub"); }},
                      // A packed name is the launcher's: what the application
                      // put there instead goes, whatever its type.
                      Damage{"DirectoryWhereAFileWas",
                             [](const std::string& tree) {
                                 fs::remove(tree + "/data/a.txt");
                                 writeFile(tree + "/data/a.txt/inside", "x\n", 0644);
                             }},
                      Damage{"FileWhereADirectoryWas",
                             [](const std::string& tree) {
                                 fs::remove_all(tree + "/data/sub");
                                 writeFile(tree + "/data/sub", "x\n", 0644);
                             }}),
    [](const ::testing::TestParamInfo<Damage>& info) { return info.param.name; });

// A tree of a thousand entries is checked by several threads where the
// machine has the processors: a whole tree is run as it is, and an entry
// missing at either end of the block is found, whichever thread takes it.
TEST_F(ReuseTest, ATreeOfManyEntriesIsCheckedWhole) {
    addProbe();
    for (int directory = 0; directory < 40; ++directory) {
        for (int file = 0; file < 25; ++file) {
            writeFile(appDir() + "/pkg" + std::to_string(100 + directory) + "/f" + std::to_string(100 + file),
                      std::to_string(directory * file), 0644);
        }
    }
    const std::string launcher = packReused({"--main", "probe"});
    const std::string versionDir = holdingDir() + "/" + versionNameOf(launcher);
    const auto inode = [&versionDir] {
        struct stat status {};
        return ::stat(versionDir.c_str(), &status) == 0 ? status.st_ino : 0;
    };
    ASSERT_EQ(run({launcher}, reuseOptions()).process.exitCode, 0);
    const ino_t published = inode();
    const LauncherRun whole = run({launcher}, reuseOptions());
    EXPECT_EQ(whole.process.exitCode, 0) << whole.process.err;
    EXPECT_EQ(inode(), published) << "a whole tree was replaced";

    for (const char* missing : {"pkg100/f100", "pkg139/f124"}) {
        SCOPED_TRACE(missing);
        const ino_t before = inode();
        fs::remove(versionDir + "/" + missing);
        const LauncherRun repair = run({launcher}, reuseOptions());
        EXPECT_EQ(repair.process.exitCode, 0) << repair.process.err;
        EXPECT_EQ(inode(), before) << "the tree was replaced, not repaired";
        EXPECT_TRUE(fs::exists(versionDir + "/" + missing));
        EXPECT_EQ(treesIn(holdingDir()), std::vector<std::string>{fs::path(versionDir).filename().string()});
    }
}

}  // namespace
}  // namespace onefile::e2e
