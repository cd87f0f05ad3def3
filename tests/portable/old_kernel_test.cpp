// Launchers under the system call table of Linux 3.10 (old_kernel.c), the
// oldest kernel they are meant for: everything newer fails with ENOSYS, and
// the launcher takes its fallbacks. The removal of a tree deeper than the
// walk's descriptor stack moves directories with renameat2, which such a
// kernel lacks, and the walk changes the mode of a locked directory without
// fchmodat2; so does the publication of a kept tree (pack --reuse), and
// its repair, entry by entry with plain renames, needs neither.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/reuse_support.h"
#include "tests/e2e/supervision_support.h"
#include "tests/support/file_helpers.h"

namespace onefile::e2e {
namespace {

using onefile::testing::writeFile;

constexpr int kProbeExitCode = 5;
// The ordinary user (and group) of the machine.
constexpr uid_t kOtherUser = 65534;

class OldKernelTest : public LauncherTest {
protected:
    void SetUp() override {
        LauncherTest::SetUp();
        addProbe();
    }
};

TEST_F(OldKernelTest, DeepTreeIsUnpackedRunAndRemoved) {
    constexpr int kLevels = 300;
    std::string name = "deep";
    for (int i = 0; i < kLevels; ++i) name += "/d";
    writeFile(appDir() + "/" + name + "/leaf", "leaf\n");
    const std::string launcher = pack({"--main", "probe"});

    onefile::testing::ProcessOptions options;
    options.setEnvironment["PROBE_EXIT"] = std::to_string(kProbeExitCode);
    const LauncherRun run = this->run({ONEFILE_OLD_KERNEL_PATH, launcher, "argument"}, options);
    EXPECT_EQ(run.process.exitCode, kProbeExitCode) << run.process.err;
    EXPECT_EQ(run.process.err, "");
    ASSERT_TRUE(run.report.complete);
    EXPECT_EQ(run.report.arguments, (std::vector<std::string>{launcher, "argument"}));
    EXPECT_TRUE(isExtractionDirectory(run.report.directory, tmpDir())) << run.report.directory;
    // TearDown checks that TMPDIR is empty: the whole tree went.
}

// As an ordinary user, to whom permission bits apply, the walk gives a
// directory the application locked its owner's access back without
// fchmodat2 (Linux 6.6): through the name of the descriptor that pins the
// directory in /proc/self/fd.
TEST_F(OldKernelTest, LockedDirectoriesGetTheirOwnersAccessBack) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to run the launcher as user " << kOtherUser;
    writeFile(appDir() + "/main",
              "#!/bin/sh\n"
              "cd \"${0%/*}\" || exit 90\n"
              "mkdir -p a/b c/d && echo x > a/b/f && echo y > c/d/f && chmod 000 a/b c || exit 91\n"
              "exit 6\n",
              0755);
    const std::string launcher = pack({"--main", "main"});
    ASSERT_EQ(chmod(temp().path().c_str(), 0755), 0);
    ASSERT_EQ(chown(tmpDir().c_str(), kOtherUser, kOtherUser), 0);

    onefile::testing::ProcessOptions options;
    options.userId = kOtherUser;
    options.groupId = kOtherUser;
    const LauncherRun run = this->run({ONEFILE_OLD_KERNEL_PATH, launcher}, options);
    EXPECT_EQ(run.process.exitCode, 6) << run.process.err;
    EXPECT_EQ(run.process.err, "");
    // TearDown checks that TMPDIR is empty: the locked directories went.
}

// Without renameat2 a kept tree is published by a lookup and renameat, and
// repaired by moving the damaged tree aside first: the first run
// publishes, the second repairs a removed file, the third finds the tree
// whole; the damaged tree, held by no run, goes with the run that replaced
// it.
TEST_F(OldKernelTest, KeptTreeIsPublishedAndRepairedWithoutRenameat2) {
    namespace fs = std::filesystem;
    writeFile(appDir() + "/data/a.txt", "alpha\n");
    const std::string launcher = pack({"--main", "probe", "--reuse"});
    const std::string info = runTool({"info", launcher}).out;
    const std::size_t digest = info.find("\ndigest: sha256 ");
    ASSERT_NE(digest, std::string::npos) << info;
    const std::string holding = temp().file("cache/onefile/launcher");
    const std::string version = info.substr(digest + 16, 16);

    onefile::testing::ProcessOptions options;
    options.setEnvironment["XDG_CACHE_HOME"] = temp().file("cache");
    for (const char* step : {"publish", "repair", "reuse"}) {
        SCOPED_TRACE(step);
        if (std::string(step) == "repair") fs::remove(holding + "/" + version + "/data/a.txt");
        const LauncherRun run = this->run({ONEFILE_OLD_KERNEL_PATH, launcher}, options);
        EXPECT_EQ(run.process.exitCode, 0) << run.process.err;
        EXPECT_EQ(run.process.err, "");
        ASSERT_TRUE(run.report.complete);
        EXPECT_EQ(run.report.directory, holding + "/" + version);
        EXPECT_EQ(treesIn(holding), std::vector<std::string>{version});
        EXPECT_TRUE(fs::exists(holding + "/" + version + "/data/a.txt"));
    }
}

}  // namespace
}  // namespace onefile::e2e
