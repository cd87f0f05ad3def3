// Launchers under the system call table of Linux 3.10 (old_kernel.c), the
// oldest kernel they are meant for: everything newer fails with ENOSYS, and
// the launcher takes its fallbacks. The removal of a tree deeper than the
// walk's descriptor stack moves directories with renameat2, which such a
// kernel lacks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/supervision_support.h"
#include "tests/support/file_helpers.h"

namespace onefile::e2e {
namespace {

using onefile::testing::writeFile;

constexpr int kProbeExitCode = 5;

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

}  // namespace
}  // namespace onefile::e2e
