// The launcher as a file: what it links against, that it survives strip,
// and a run of the reference workload.
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/launcher_fixture.h"

namespace onefile::e2e {
namespace {

namespace fs = std::filesystem;
using onefile::testing::ProcessResult;
using onefile::testing::runProcess;

class LauncherBinaryTest : public LauncherTest {};

TEST_F(LauncherBinaryTest, LinksAgainstTheSystemLibraryAlone) {
    if (ONEFILE_SANITIZED_BUILD) GTEST_SKIP() << "a sanitized launcher links the sanitizer runtimes as well";
    addProbe();
    const ProcessResult ldd = runProcess({"ldd", pack()});
    ASSERT_EQ(ldd.exitCode, 0) << ldd.err;
    std::istringstream lines(ldd.out);
    std::vector<std::string> libraries;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string name;
        if (fields >> name) libraries.push_back(name);
    }
    EXPECT_EQ(libraries, (std::vector<std::string>{"linux-vdso.so.1", "libc.so.6", "/lib64/ld-linux-x86-64.so.2"}))
        << ldd.out;
}

TEST_F(LauncherBinaryTest, StrippedLauncherStillRuns) {
    addProbe();
    const std::string launcher = pack();
    const auto packedSize = fs::file_size(launcher);
    const ProcessResult strip = runProcess({"strip", launcher});
    ASSERT_EQ(strip.exitCode, 0) << strip.err;
    ASSERT_LT(fs::file_size(launcher), packedSize) << "strip removed nothing";
    onefile::testing::ProcessOptions options;
    options.setEnvironment["PROBE_EXIT"] = "3";
    const LauncherRun run = this->run({launcher, "argument"}, options);
    EXPECT_EQ(run.process.exitCode, 3) << run.process.err;
    ASSERT_TRUE(run.report.complete);
    EXPECT_EQ(run.report.arguments, (std::vector<std::string>{fs::canonical(launcher).string(), "argument"}));
}

TEST_F(LauncherBinaryTest, ReferenceWorkloadRunsAndLeavesNothingBehind) {
    const std::string script = ONEFILE_MAKE_APP_DIR_PATH;
    if (access(script.c_str(), X_OK) != 0) GTEST_SKIP() << "the reference workload generator " << script << " is absent";
    const std::string application = temp().file("workload");
    const ProcessResult made = runProcess({script, application, "--scale", "0.05"});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    const std::string launcher = temp().file("workload-launcher");
    const ProcessResult packed = runTool({"pack", application, "--main", "app", "-o", launcher});
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    const LauncherRun run = this->run({launcher, "an", "argument"});
    EXPECT_EQ(run.process.exitCode, 0) << run.process.err;
    EXPECT_EQ(run.process.out, "");
    EXPECT_EQ(run.process.err, "");
}

}  // namespace
}  // namespace onefile::e2e
