// The launcher as a file: that it needs neither a program interpreter nor a
// shared library, that it survives strip, and a run of the reference
// workload.
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/launcher_fixture.h"

namespace onefile::e2e {
namespace {

namespace fs = std::filesystem;
using onefile::testing::ProcessResult;
using onefile::testing::runProcess;

class LauncherBinaryTest : public LauncherTest {};

TEST_F(LauncherBinaryTest, IsStaticWithoutInterpreterOrSharedLibraries) {
    if (ONEFILE_SANITIZED_BUILD) GTEST_SKIP() << "the sanitizer build's launcher is dynamic";
    addProbe();
    const std::string launcher = pack();
    const ProcessResult headers = runProcess({"readelf", "--program-headers", "--wide", launcher});
    ASSERT_EQ(headers.exitCode, 0) << headers.err;
    // A position-independent executable that needs no program interpreter.
    EXPECT_NE(headers.out.find("Elf file type is DYN"), std::string::npos) << headers.out;
    EXPECT_EQ(headers.out.find("INTERP"), std::string::npos) << headers.out;
    const ProcessResult dynamic = runProcess({"readelf", "--dynamic", "--wide", launcher});
    ASSERT_EQ(dynamic.exitCode, 0) << dynamic.err;
    EXPECT_EQ(dynamic.out.find("(NEEDED)"), std::string::npos) << dynamic.out;
}

TEST_F(LauncherBinaryTest, StrippedLauncherStillRuns) {
    addProbe();
    const std::string launcher = pack();
    const auto packedSize = fs::file_size(launcher);
    // The stub comes without a symbol table, so a plain strip would leave the
    // file as it is; a distribution's packaging also drops the comment and
    // note sections, and so rewrites the file for real.
    const ProcessResult strip =
        runProcess({"strip", "--remove-section=.comment", "--remove-section=.note", launcher});
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
    ASSERT_EQ(access(script.c_str(), X_OK), 0) << "the reference workload generator " << script
                                               << " is missing or not executable";
    const std::string application = temp().file("workload");
    const ProcessResult made = runProcess({script, application, "--scale", "0.05"});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    int files = 0;
    int links = 0;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(application)) {
        if (entry.is_symlink()) ++links;
        else if (entry.is_regular_file()) ++files;
    }
    ASSERT_EQ(files, 91) << "not the reference workload's shape";
    ASSERT_EQ(links, 2) << "not the reference workload's shape";
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
