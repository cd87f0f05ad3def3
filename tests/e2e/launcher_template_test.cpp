// Launchers packed with their own directory templates: the placeholders for
// the user's directories, the build's strings, the start time and the
// launcher's own path put the extraction directory where they say, the child
// sees TAVMIR_ONEFILE_START exactly when the template uses {TIME}, and the
// extraction directory is gone afterwards.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/launcher_fixture.h"

namespace onefile::e2e {
namespace {

namespace fs = std::filesystem;

bool isToken(const std::string& text) {
    if (text.size() != 11) return false;
    for (char c : text) {
        if (!isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
    }
    return true;
}

bool isStartTime(const std::string& text) {
    const std::size_t underscore = text.find('_');
    if (underscore == std::string::npos || underscore == 0 || underscore + 1 == text.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i != underscore && !isdigit(static_cast<unsigned char>(text[i]))) return false;
    }
    // Microseconds carry no leading zeros.
    return !(text[underscore + 1] == '0' && underscore + 2 < text.size());
}

struct TemplateCase {
    const char* label;
    std::string templateText;
    // Environment of the run; "@TMP" stands for the run's TMPDIR.
    std::map<std::string, std::string> environment;
    std::vector<std::string> unset;
    // The expected extraction directory, given the run's TMPDIR, the
    // launcher's directory and what the child reported.
    std::function<std::string(const std::string& tmp, const std::string& launcherDirectory,
                              const ProbeReport&)>
        expectedDirectory;
    bool usesTime;
};

class LauncherTemplateTest : public LauncherTest,
                             public ::testing::WithParamInterface<TemplateCase> {};

std::string variable(const ProbeReport& report, const char* name) {
    return report.variable(name).value_or("<unset>");
}

std::string pid(const ProbeReport& report) { return std::to_string(report.parentProcessId); }

TEST_P(LauncherTemplateTest, ExtractsWhereTheTemplateSaysAndLeavesNothing) {
    const TemplateCase& testCase = GetParam();
    addProbe();
    const std::string launcher =
        pack({"--template", testCase.templateText, "--product", "Acme", "--version", "2.5"}, "tool.bin");
    const std::string tmp = fs::canonical(tmpDir()).string();

    onefile::testing::ProcessOptions options;
    for (const auto& [name, value] : testCase.environment) {
        std::string text = value;
        if (text.rfind("@TMP", 0) == 0) text = tmp + text.substr(4);
        options.setEnvironment[name] = text;
    }
    options.unsetEnvironment = testCase.unset;
    const LauncherRun run = this->run({launcher}, options);
    ASSERT_TRUE(run.report.complete) << run.process.err;
    EXPECT_EQ(run.process.exitCode, 0);
    EXPECT_EQ(run.process.err, "");

    const ProbeReport& report = run.report;
    const std::string launcherDirectory = fs::canonical(temp().path()).string();
    EXPECT_EQ(report.directory, testCase.expectedDirectory(tmp, launcherDirectory, report));
    if (testCase.usesTime) {
        EXPECT_TRUE(isStartTime(variable(report, "TAVMIR_ONEFILE_START")))
            << variable(report, "TAVMIR_ONEFILE_START");
    } else {
        EXPECT_EQ(report.variable("TAVMIR_ONEFILE_START"), std::nullopt);
    }
    EXPECT_FALSE(fs::exists(report.directory)) << "the extraction directory was left behind";

    // Levels above the extraction directory that the template named are
    // created as needed and stay: they are not the launcher's to remove.
    for (const std::string& name : tmpDirContents()) fs::remove_all(fs::path(tmpDir()) / name);
}

INSTANTIATE_TEST_SUITE_P(
    Templates, LauncherTemplateTest,
    ::testing::Values(
        TemplateCase{"CacheDirectoryFromXdg", "{CACHE_DIR}/{PRODUCT}/{VERSION}/x_{RANDOM}",
                     {{"XDG_CACHE_HOME", "@TMP/cache//"}}, {},
                     [](const std::string& tmp, const std::string&, const ProbeReport& r) {
                         EXPECT_TRUE(isToken(variable(r, "TAVMIR_ONEFILE_RANDOM")));
                         return tmp + "/cache/Acme/2.5/x_" + variable(r, "TAVMIR_ONEFILE_RANDOM");
                     },
                     false},
        TemplateCase{"CacheDirectoryBelowHome", "{CACHE_DIR}/{PRODUCT}/{VERSION}/x_{RANDOM}",
                     {{"HOME", "@TMP/home/"}, {"XDG_CACHE_HOME", "relative"}}, {},
                     [](const std::string& tmp, const std::string&, const ProbeReport& r) {
                         return tmp + "/home/.cache/Acme/2.5/x_" + variable(r, "TAVMIR_ONEFILE_RANDOM");
                     },
                     false},
        TemplateCase{"StartTimeAndProcessId", "{TEMP}/t_{TIME}_{PID}", {}, {},
                     [](const std::string& tmp, const std::string&, const ProbeReport& r) {
                         return tmp + "/t_" + variable(r, "TAVMIR_ONEFILE_START") + "_" + pid(r);
                     },
                     true},
        TemplateCase{"NamesIgnoreCase", "{temp}/{company}-{Product_Version}-{file_version}_{Pid}", {}, {},
                     [](const std::string& tmp, const std::string&, const ProbeReport& r) {
                         return tmp + "/Acme-2.5-2.5_" + pid(r);
                     },
                     false},
        TemplateCase{"BesideTheLauncher", "{PROGRAM_DIR}/run_{PID}", {}, {},
                     [](const std::string&, const std::string& launcherDirectory, const ProbeReport& r) {
                         return launcherDirectory + "/run_" + pid(r);
                     },
                     false},
        TemplateCase{"ProgramPathWithoutBin", "{PROGRAM_BASE}_{PID}", {}, {},
                     [](const std::string&, const std::string& launcherDirectory, const ProbeReport& r) {
                         return launcherDirectory + "/tool_" + pid(r);
                     },
                     false}),
    [](const ::testing::TestParamInfo<TemplateCase>& info) { return std::string(info.param.label); });

// A user without a password entry and without HOME has no home directory:
// the expansion fails, and the launcher names its template and aborts before
// anything is written.
TEST_F(LauncherTest, HomeOfAUserWithoutPasswordEntryFailsTheExpansion) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the launcher as a user id without an entry";
    uid_t stranger = 54321;
    while (getpwuid(stranger) != nullptr) ++stranger;

    addProbe();
    const std::string templateText = "{HOME}/x_{PID}";
    const std::string launcher = pack({"--template", templateText});
    // The stranger must reach the launcher in the test's private directory.
    ASSERT_EQ(chmod(temp().path().c_str(), 0755), 0);

    onefile::testing::ProcessOptions options;
    options.userId = stranger;
    options.groupId = stranger;
    options.unsetEnvironment = {"HOME"};
    const LauncherRun run = this->run({launcher}, options);
    EXPECT_EQ(run.process.signal, SIGABRT);
    EXPECT_EQ(run.process.err, "Error, couldn't runtime expand spec '" + templateText + "'.\n");
    EXPECT_EQ(run.process.out, "");
    EXPECT_FALSE(run.report.complete);
}

}  // namespace
}  // namespace onefile::e2e
