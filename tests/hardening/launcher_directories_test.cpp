// The directories a launcher creates and the name it gives its extraction
// directory: every level it makes has mode 0700 less the umask, never more,
// and each run draws its own random token.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>

#include "tests/hardening/hardening_support.h"
#include "tests/support/file_helpers.h"
#include "tests/support/temp_dir.h"

namespace onefile::hardening {
namespace {

// For a script the kernel passes the path it executes as $0, so the
// application finds the extraction directory as ${0%/*}.
constexpr char kReportingMain[] =
    "#!/bin/sh\n"
    "printf '%s\\n' \"${0%/*}\" \"$TAVMIR_ONEFILE_RANDOM\"\n"
    "stat -c '%a' \"${0%/*}\"\n"
    "echo \"$(stat -c '%a' \"${0%/*}/../..\") $(stat -c '%a' \"${0%/*}/..\")\"\n";

struct Report {
    std::string directory;
    std::string token;
    std::string directoryMode;
    std::string levelModes;  // of the two levels above the directory
};

Report parseReport(const std::string& out) {
    std::istringstream lines(out);
    Report report;
    std::getline(lines, report.directory);
    std::getline(lines, report.token);
    std::getline(lines, report.directoryMode);
    std::getline(lines, report.levelModes);
    return report;
}

class LauncherDirectoriesTest : public ::testing::Test {
protected:
    std::string makeLauncher(const std::vector<std::string>& toolOptions = {}) {
        const std::string app = temp_.file("app");
        writeFile(app + "/main", kReportingMain, 0755);
        const std::string launcher = temp_.file("launcher");
        packLauncher(app, launcher, toolOptions);
        return launcher;
    }

    TempDir temp_;
};

// Levels above the extraction directory stay after the run (only the
// extraction directory is removed), so their modes are read afterwards;
// the extraction directory's own mode is reported by the application.
TEST_F(LauncherDirectoriesTest, EveryLevelIsMadeWithMode0700LessTheUmask) {
    const std::string launcher = makeLauncher({"--template", "{TEMP}/a/b/c_{RANDOM}"});
    std::vector<mode_t> masks = {0, 022, 077, 027};
    // A umask that takes the owner's bits: only root can still create the
    // levels below a directory without write permission.
    if (geteuid() == 0) masks.push_back(0277);
    for (const mode_t mask : masks) {
        SCOPED_TRACE("umask " + octal(mask));
        const std::string tmpDir = temp_.file("tmp-" + octal(mask));
        makeDirectories(tmpDir);
        ProcessOptions options = launcherOptions(tmpDir);
        options.umask = mask;
        const ProcessResult result = runProcess({launcher}, options);
        ASSERT_EQ(result.exitCode, 0) << result.err;
        const Report report = parseReport(result.out);
        const std::string expected = octal(0700 & ~mask);
        EXPECT_EQ(report.directory, tmpDir + "/a/b/c_" + report.token);
        EXPECT_EQ(report.directoryMode, expected);
        EXPECT_EQ(report.levelModes, expected + " " + expected);
        // The levels the run made went with the extraction directory.
        EXPECT_TRUE(std::filesystem::is_empty(tmpDir)) << "the run left its levels behind";
    }
}

// The token is drawn afresh by every run, from the kernel's generator where
// one is readable; its form is that of 8 bytes in base64url.
TEST_F(LauncherDirectoriesTest, EachRunDrawsItsOwnToken) {
    const std::string launcher = makeLauncher();
    const std::string tmpDir = temp_.file("tmp");
    makeDirectories(tmpDir);
    std::set<std::string> tokens;
    constexpr int kRuns = 3;
    for (int run = 0; run < kRuns; ++run) {
        const ProcessResult result = runProcess({launcher}, launcherOptions(tmpDir));
        ASSERT_EQ(result.exitCode, 0) << result.err;
        const Report report = parseReport(result.out);
        EXPECT_TRUE(isRandomToken(report.token)) << report.token;
        const std::string name = std::filesystem::path(report.directory).filename();
        EXPECT_TRUE(isDefaultDirectoryName(name)) << name;
        EXPECT_TRUE(name.ends_with("_" + report.token)) << name;
        tokens.insert(report.token);
    }
    EXPECT_EQ(tokens.size(), static_cast<std::size_t>(kRuns));
}

}  // namespace
}  // namespace onefile::hardening
