// What the child finds when it starts: its argument vector, the variables of
// the launch protocol, and an extraction directory named after this run and
// placed by TMPDIR.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "tests/e2e/launcher_fixture.h"
#include "tests/support/file_helpers.h"

namespace onefile::e2e {
namespace {

namespace fs = std::filesystem;

// The random token: 11 base64url characters whose last one carries only
// four bits.
constexpr char kTokenPattern[] = "[A-Za-z0-9_-]{10}[AEIMQUYcgkosw048]";

std::string regexEscape(const std::string& text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
}

// The directory that the default template names below `prefix`.
std::regex extractionDirectoryPattern(const std::string& prefix) {
    return std::regex(regexEscape(prefix) + "onefile_[0-9]+_[0-9]{6}_" + kTokenPattern);
}

std::string canonical(const std::string& path) { return fs::canonical(path).string(); }

class LaunchEnvironmentTest : public LauncherTest {
protected:
    void SetUp() override {
        LauncherTest::SetUp();
        addProbe();
        launcher_ = pack();
    }
    std::string launcher_;
};

TEST_F(LaunchEnvironmentTest, ProtocolVariablesDescribeThisRunWhateverWasInherited) {
    onefile::testing::ProcessOptions options;
    // An inherited TAVMIR_ONEFILE_PARENT that is no process id would stop the
    // expansion if the launcher did not replace it first.
    options.setEnvironment = {{"TAVMIR_ONEFILE_START", "stale"},
                              {"TAVMIR_ONEFILE_TIME_US", "stale"},
                              {"TAVMIR_ONEFILE_RANDOM", "stale"},
                              {"TAVMIR_ONEFILE_PARENT", "not-a-pid"}};
    std::optional<std::string> previousToken;
    for (int runNumber = 0; runNumber < 2; ++runNumber) {
        SCOPED_TRACE("run " + std::to_string(runNumber));
        const LauncherRun run = this->run({launcher_}, options);
        ASSERT_TRUE(run.report.complete) << run.process.err;
        const ProbeReport& report = run.report;
        EXPECT_EQ(report.variable("TAVMIR_ONEFILE_PARENT"), std::to_string(report.parentProcessId));
        const std::string timeStamp = report.variable("TAVMIR_ONEFILE_TIME_US").value_or("");
        const std::string token = report.variable("TAVMIR_ONEFILE_RANDOM").value_or("");
        EXPECT_TRUE(std::regex_match(timeStamp, std::regex("[0-9]{6}"))) << timeStamp;
        EXPECT_TRUE(std::regex_match(token, std::regex(kTokenPattern))) << token;
        // The default template does not use {TIME}.
        EXPECT_EQ(report.variable("TAVMIR_ONEFILE_START"), std::nullopt);
        EXPECT_EQ(report.directory, canonical(tmpDir()) + "/onefile_" + std::to_string(report.parentProcessId) +
                                        "_" + timeStamp + "_" + token);
        EXPECT_NE(previousToken, token) << "two runs drew the same token";
        previousToken = token;
    }
}

// The launcher keeps the environment it adds to in static storage, up to a
// thousand variables, and beyond that lets the C library grow it: either way
// every inherited variable reaches the child beside the run's own.
TEST_F(LaunchEnvironmentTest, InheritedVariablesReachTheChildBesideTheRunsOwn) {
    for (const int count : {10, 3000}) {
        SCOPED_TRACE(std::to_string(count) + " inherited variables");
        onefile::testing::ProcessOptions options;
        for (int i = 0; i < count; ++i) {
            options.setEnvironment["ONEFILE_TEST_VARIABLE_" + std::to_string(i)] = "value " + std::to_string(i);
        }
        const LauncherRun run = this->run({launcher_}, options);
        ASSERT_TRUE(run.report.complete) << run.process.err;
        for (int i = 0; i < count; ++i) {
            const std::string name = "ONEFILE_TEST_VARIABLE_" + std::to_string(i);
            ASSERT_EQ(run.report.variable(name), "value " + std::to_string(i)) << name;
        }
        EXPECT_EQ(run.report.variable("TAVMIR_ONEFILE_PARENT"), std::to_string(run.report.parentProcessId));
        EXPECT_EQ(run.report.variable("TAVMIR_ONEFILE_DIRECTORY"), fs::path(canonical(launcher_)).parent_path().string());
        EXPECT_EQ(run.report.variable("TAVMIR_ORIGINAL_ARGV0"), launcher_);
        EXPECT_TRUE(run.report.variable("TAVMIR_ONEFILE_RANDOM").has_value());
        EXPECT_TRUE(run.report.variable("TAVMIR_ONEFILE_TIME_US").has_value());
    }
}

TEST_F(LaunchEnvironmentTest, ChildSeesTheLaunchersRealPathWhateverNameStartedIt) {
    fs::create_directories(temp().file("links"));
    fs::create_directories(temp().file("sub"));
    fs::create_symlink("../launcher", temp().file("links/alias"));
    const std::string realPath = canonical(launcher_);
    const struct {
        std::string typed;
        std::string workingDirectory;
    } cases[] = {
        {launcher_, temp().path()},
        {"./launcher", temp().path()},
        {"../launcher", temp().file("sub")},
        {temp().file("links/alias"), temp().path()},
        {"links/alias", temp().path()},
        {"./alias", temp().file("links")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed + " in " + c.workingDirectory);
        onefile::testing::ProcessOptions options;
        options.workingDirectory = c.workingDirectory;
        const LauncherRun run = this->run({c.typed, "first"}, options);
        ASSERT_TRUE(run.report.complete) << run.process.err;
        EXPECT_EQ(run.report.arguments, (std::vector<std::string>{realPath, "first"}));
        EXPECT_EQ(run.report.variable("TAVMIR_ONEFILE_DIRECTORY"), fs::path(realPath).parent_path().string());
        EXPECT_EQ(run.report.variable("TAVMIR_ORIGINAL_ARGV0"), c.typed);
        EXPECT_EQ(run.report.cwd, canonical(c.workingDirectory));
    }
}

TEST_F(LaunchEnvironmentTest, ArgumentsReachTheChildUnchanged) {
    std::vector<std::string> many;
    for (int i = 0; i < 2000; ++i) many.push_back("argument-" + std::to_string(i));
    const std::vector<std::vector<std::string>> argumentSets = {
        {},
        {"with space", "", "  ", "tab\there", "new\nline", "back\\slash"},
        {"--help", "-", "--", "*", "$HOME", "'quoted'", "\"double\"", "\xc3\xbc\xc3\xa9"},
        {"", "", ""},
        many,
    };
    const std::string realPath = canonical(launcher_);
    for (const std::vector<std::string>& arguments : argumentSets) {
        SCOPED_TRACE(std::to_string(arguments.size()) + " arguments");
        std::vector<std::string> argv{launcher_};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        const LauncherRun run = this->run(argv);
        ASSERT_TRUE(run.report.complete) << run.process.err;
        std::vector<std::string> expected{realPath};
        expected.insert(expected.end(), arguments.begin(), arguments.end());
        EXPECT_EQ(run.report.arguments, expected);
    }
}

TEST_F(LaunchEnvironmentTest, EmptyArgumentVectorGivesTheChildJustItsPath) {
    const LauncherRun run = this->run({ONEFILE_EXEC_WITHOUT_ARGUMENTS_PATH, launcher_});
    EXPECT_EQ(run.process.exitCode, 0) << run.process.err;
    EXPECT_EQ(run.process.err, "");
    ASSERT_TRUE(run.report.complete);
    EXPECT_EQ(run.report.arguments, std::vector<std::string>{canonical(launcher_)});
    EXPECT_EQ(run.report.variable("TAVMIR_ORIGINAL_ARGV0"), "");
}

TEST_F(LaunchEnvironmentTest, TmpdirPlacesTheExtractionDirectory) {
    const std::string base = canonical(tmpDir());
    fs::create_directories(temp().file("rel"));
    const struct {
        const char* what;
        std::optional<std::string> temporaryDirectory;  // nullopt: unset
        std::string expectedPrefix;                     // of the canonical path
    } cases[] = {
        {"plain", tmpDir(), base + "/"},
        {"trailing slashes", tmpDir() + "///", base + "/"},
        // Relative to the launcher's working directory, temp().
        {"relative", "rel", canonical(temp().file("rel")) + "/"},
        {"relative with trailing slash", "rel/", canonical(temp().file("rel")) + "/"},
        {"unset", std::nullopt, canonical("/tmp") + "/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        onefile::testing::ProcessOptions options;
        if (c.temporaryDirectory) options.setEnvironment["TMPDIR"] = *c.temporaryDirectory;
        else options.unsetEnvironment.push_back("TMPDIR");
        const LauncherRun run = this->run({launcher_}, options);
        ASSERT_TRUE(run.report.complete) << run.process.err;
        EXPECT_TRUE(std::regex_match(run.report.directory, extractionDirectoryPattern(c.expectedPrefix)))
            << run.report.directory;
        EXPECT_FALSE(fs::exists(run.report.directory));
    }
    EXPECT_TRUE(fs::is_empty(temp().file("rel")));
}

TEST_F(LaunchEnvironmentTest, EmptyTmpdirMeansTheRootDirectory) {
    onefile::testing::ProcessOptions options;
    options.setEnvironment["TMPDIR"] = "";
    const LauncherRun run = this->run({launcher_}, options);
    if (access("/", W_OK) == 0) {
        ASSERT_TRUE(run.report.complete) << run.process.err;
        EXPECT_TRUE(std::regex_match(run.report.directory, extractionDirectoryPattern("/")))
            << run.report.directory;
        EXPECT_FALSE(fs::exists(run.report.directory));
    } else {
        EXPECT_EQ(run.process.exitCode, 2);
        EXPECT_TRUE(std::regex_match(
            run.process.err,
            std::regex("Error, failed to open '/onefile_[^/]+/probe' for writing\\.\n")))
            << run.process.err;
    }
}

TEST_F(LaunchEnvironmentTest, LauncherDirectlyInTheRootDirectoryNamesTheRoot) {
    if (access("/", W_OK) != 0) GTEST_SKIP() << "the root directory is not writable for this user";
    std::string path = "/onefile-e2e-XXXXXX";
    const int descriptor = mkstemp(path.data());
    ASSERT_GE(descriptor, 0);
    close(descriptor);
    // Removed whatever the assertions below decide.
    const std::unique_ptr<std::string, void (*)(std::string*)> removal(&path, [](std::string* file) {
        std::error_code error;
        fs::remove(*file, error);
    });
    fs::copy_file(launcher_, path, fs::copy_options::overwrite_existing);
    fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    const LauncherRun run = this->run({path});
    ASSERT_TRUE(run.report.complete) << run.process.err;
    EXPECT_EQ(run.report.arguments, std::vector<std::string>{path});
    EXPECT_EQ(run.report.variable("TAVMIR_ONEFILE_DIRECTORY"), "/");
}

TEST_F(LaunchEnvironmentTest, RandomTokenSurvivesWithoutTheRandomDevice) {
    const struct {
        const char* what;
        std::map<std::string, std::string> controls;
    } cases[] = {
        {"kernel call instead of the device", {{"ONEFILE_HOOK_NO_URANDOM", "1"}}},
        {"time-stamp generator last",
         {{"ONEFILE_HOOK_NO_URANDOM", "1"}, {"ONEFILE_HOOK_FAIL_GETRANDOM", "1"}}},
    };
    const std::string launcher = packWithHooks({}, "hooked-launcher");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string log = temp().file("hook-log");
        fs::remove(log);
        auto controls = c.controls;
        controls["ONEFILE_HOOK_LOG"] = log;
        const LauncherRun run = this->run({launcher}, withHooks(controls));
        ASSERT_TRUE(run.report.complete) << run.process.err;
        EXPECT_EQ(run.process.err, "");
        const std::string token = run.report.variable("TAVMIR_ONEFILE_RANDOM").value_or("");
        EXPECT_TRUE(std::regex_match(token, std::regex(kTokenPattern))) << token;
        EXPECT_TRUE(std::regex_match(run.report.directory, extractionDirectoryPattern(canonical(tmpDir()) + "/")))
            << run.report.directory;
        // The device is tried first, the kernel call right after it.
        const std::string events = fs::exists(log) ? onefile::testing::readFile(log) : "";
        EXPECT_EQ(events.rfind("urandom refused\ngetrandom\n", 0), 0u) << events;
    }
}

}  // namespace
}  // namespace onefile::e2e
