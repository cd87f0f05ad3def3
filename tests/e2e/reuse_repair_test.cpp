// A kept tree that lost something (a temp cleaner, a full disk, a user's
// hand) is repaired by the next run: it unpacks a fresh tree and swaps it in,
// while a run that still uses the damaged tree keeps it until it ends; the
// damaged tree goes with its last run.
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

TEST_P(ReuseRepairTest, NextRunRepairsWhileARunOfTheDamagedTreeKeepsWorking) {
    addProbe();
    writeFile(appDir() + "/data/a.txt", "alpha\n", 0644);
    writeFile(appDir() + "/data/sub/b.txt", "beta\n", 0644);
    writeFile(appDir() + "/bin/tool", "#!/bin/sh\n", 0755);
    makeSymlink("../data/a.txt", appDir() + "/share/link");
    const std::string launcher = packReused({"--main", "probe"});
    const std::string versionDir = holdingDir() + "/" + versionNameOf(launcher);

    const LauncherRun first = run({launcher}, reuseOptions());
    ASSERT_TRUE(first.report.complete) << first.process.err;
    ASSERT_EQ(first.report.directory, versionDir);

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
    EXPECT_EQ(repair.report.tree, first.report.tree);
    struct stat repaired {};
    ASSERT_EQ(::stat(versionDir.c_str(), &repaired), 0);
    EXPECT_NE(repaired.st_ino, damaged.st_ino) << "the tree was not swapped";

    // The damaged tree stays beside it, under a working name, while its run
    // lives: its files are still there for it.
    std::vector<std::string> names = treesIn(holdingDir());
    ASSERT_EQ(names.size(), 2u) << ::testing::PrintToString(names);
    const std::string aside = holdingDir() + "/" + names[0];
    EXPECT_TRUE(isWorkingDirectoryName(names[0])) << names[0];
    struct stat kept {};
    ASSERT_EQ(::stat(aside.c_str(), &kept), 0);
    EXPECT_EQ(kept.st_ino, damaged.st_ino);
    EXPECT_TRUE(fs::exists(aside + "/probe"));

    EXPECT_FALSE(holder.pollExit()) << "the run of the damaged tree ended";
    holder.sendSignal(SIGTERM);
    const std::optional<ExitState> state = holder.waitForExit();
    ASSERT_TRUE(state) << "the run of the damaged tree did not end";
    EXPECT_EQ(state->exitCode, 0) << describe(*state) << holder.standardError();
    EXPECT_EQ(receivedSignals(), std::vector<std::string>{"signal=2 code=0"});
    // Its last run gone, the damaged tree went with it.
    EXPECT_EQ(treesIn(holdingDir()), std::vector<std::string>{fs::path(versionDir).filename().string()});
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
                      Damage{"DirectoryRemoved", [](const std::string& tree) { fs::remove_all(tree + "/data/sub"); }}),
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
        EXPECT_NE(inode(), before) << "the tree was not repaired";
        EXPECT_TRUE(fs::exists(versionDir + "/" + missing));
        EXPECT_EQ(treesIn(holdingDir()), std::vector<std::string>{fs::path(versionDir).filename().string()});
    }
}

}  // namespace
}  // namespace onefile::e2e
