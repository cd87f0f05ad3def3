// How a launcher run ends: the exit status it passes on from the child, and
// each of its own fatal ends with its message on the right stream and what it
// leaves on disk.
#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "tests/e2e/launcher_fixture.h"
#include "tests/support/file_helpers.h"

namespace onefile::e2e {
namespace {

namespace fs = std::filesystem;

constexpr char kMissingHeader[] = "Error, couldn't find attached data header.\n";

// A path of exactly `length` bytes below `base`, made of components short
// enough for the file system; it need not exist.
std::string pathOfLength(const std::string& base, std::size_t length) {
    std::string path = base;
    while (path.size() < length) {
        const std::size_t room = length - path.size() - 1;
        path += "/" + std::string(std::min<std::size_t>(room == 0 ? 1 : room, 200), 'd');
    }
    path.resize(length);
    if (path.back() == '/') path.back() = 'd';
    return path;
}

class ExitStatusTest : public LauncherTest {};

TEST_F(ExitStatusTest, PassesOnTheChildsExitCodeOrItsSignalAs128PlusN) {
    addProbe();
    const std::string launcher = pack();
    struct Case {
        const char* what;
        std::map<std::string, std::string> environment;
        int exitCode;
    };
    const Case cases[] = {
        {"exit 0", {}, 0},
        {"exit 3", {{"PROBE_EXIT", "3"}}, 3},
        {"exit 255", {{"PROBE_EXIT", "255"}}, 255},
        {"crash by SIGSEGV", {{"PROBE_RAISE", "11"}}, 128 + SIGSEGV},
        {"killed by SIGKILL", {{"PROBE_RAISE", "9"}}, 128 + SIGKILL},
        {"aborted", {{"PROBE_RAISE", "6"}}, 128 + SIGABRT},
        // The launcher itself got no signal, so its handler did not run.
        {"SIGTERM raised by the child on itself", {{"PROBE_RAISE", "15"}}, 128 + SIGTERM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        onefile::testing::ProcessOptions options;
        options.setEnvironment = c.environment;
        const LauncherRun run = this->run({launcher}, options);
        EXPECT_EQ(run.process.exitCode, c.exitCode);
        EXPECT_EQ(run.process.signal, 0);
        EXPECT_TRUE(run.report.complete) << "the probe did not run";
        // The probe reports to a file: anything on the streams came from the
        // launcher.
        EXPECT_EQ(run.process.out, "");
        EXPECT_EQ(run.process.err, "");
        EXPECT_FALSE(fs::exists(run.report.directory)) << run.report.directory;
        EXPECT_EQ(tmpDirContents(), std::vector<std::string>{});
    }
}

// A dynamic program of this machine whose loader was renamed to one that no
// machine has (a name of the same length), or "" when /bin/true is not one.
std::string programWithMissingLoader() {
    const std::string loader = "/lib64/ld-linux-x86-64.so.2";
    std::string program = onefile::testing::readFile("/bin/true");
    const std::size_t at = program.find(loader + '\0');
    if (at == std::string::npos) return "";
    program.replace(at, loader.size(), "/nonexistent/onefile/ld.so2");
    return program;
}

TEST_F(ExitStatusTest, ExecFailureIsReportedOnStandardErrorWithStatus2AndCleanedUp) {
    struct Case {
        const char* what;
        std::string block;
        const char* message;  // <DIR> stands for the extraction directory
    };
    const std::string missingLoader = programWithMissingLoader();
    std::vector<Case> cases = {
        // No entry, so no launch target: exec of the empty path.
        {"no entries", BlockBuilder().magic().endMark().trailer().bytes(),
         "Error, couldn't launch child (exec): No such file or directory\n"},
        // Not even root may run a file without any execute bit.
        {"first entry not executable",
         BlockBuilder().magic().file("data", "plain text\n").endMark().trailer().bytes(),
         "Error, couldn't launch child (exec): Permission denied\n"
         "'<DIR>/data' has no execute permission.\n"},
        {"first entry no program",
         BlockBuilder().magic().file("data", "not a program\n", kExecutable).endMark().trailer().bytes(),
         "Error, couldn't launch child (exec): Exec format error\n"
         "'<DIR>/data' is neither a program for this machine nor a script that starts with '#!'.\n"},
        {"script whose interpreter is missing",
         BlockBuilder().magic().file("run", "#! /nonexistent/onefile-interpreter -x\necho\n", kExecutable)
             .endMark().trailer().bytes(),
         "Error, couldn't launch child (exec): No such file or directory\n"
         "'<DIR>/run' has no interpreter here: its first line asks for '/nonexistent/onefile-interpreter', which "
         "this machine lacks.\n"},
    };
    if (!missingLoader.empty()) {
        cases.push_back({"program whose loader is missing",
                         BlockBuilder().magic().file("prog", missingLoader, kExecutable).endMark().trailer().bytes(),
                         "Error, couldn't launch child (exec): No such file or directory\n"
                         "'<DIR>/prog' has no interpreter here: it needs the program loader "
                         "'/nonexistent/onefile/ld.so2', which this machine lacks.\n"});
    } else {
        ADD_FAILURE() << "/bin/true is no dynamic x86-64 program: the missing loader is not tried";
    }
    const std::regex extractionDirectory("'" + tmpDir() + "/onefile_[^/']+/");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const LauncherRun run = this->run({attach(c.block)});
        EXPECT_EQ(run.process.exitCode, 2);
        EXPECT_EQ(std::regex_replace(run.process.err, extractionDirectory, "'<DIR>/"), c.message);
        EXPECT_EQ(run.process.out, "");
        EXPECT_EQ(tmpDirContents(), std::vector<std::string>{});
    }
}

TEST_F(ExitStatusTest, BusyLaunchTargetIsTriedTenTimesAboutATenthOfASecondApart) {
    addProbe();
    const std::string launcher = packWithHooks();
    const struct {
        const char* what;
        const char* busyAttempts;
        std::string expectedEvents;
        double minimumSeconds;
        int exitCode;
        const char* message;
    } cases[] = {
        {"busy once", "1", "execv busy\nexecv\n", 0.1, 0, ""},
        {"busy for good", "1000", [] {
             std::string events;
             for (int i = 0; i < 10; ++i) events += "execv busy\n";
             return events;
         }(),
         1.0, 2, "Error, couldn't launch child (exec): Text file busy\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string log = temp().file("hook-log");
        fs::remove(log);
        const auto started = std::chrono::steady_clock::now();
        const LauncherRun run = this->run(
            {launcher}, withHooks({{"ONEFILE_HOOK_BUSY_EXEC", c.busyAttempts}, {"ONEFILE_HOOK_LOG", log}}));
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
        EXPECT_EQ(run.process.exitCode, c.exitCode);
        EXPECT_EQ(run.process.err, c.message);
        EXPECT_EQ(run.report.complete, c.exitCode == 0);
        EXPECT_EQ(fs::exists(log) ? onefile::testing::readFile(log) : "", c.expectedEvents);
        // Every refused attempt is followed by a pause of 100 ms.
        EXPECT_GE(elapsed.count(), c.minimumSeconds);
        EXPECT_EQ(tmpDirContents(), std::vector<std::string>{});
    }
}

TEST_F(ExitStatusTest, MissingHeaderIsReportedOnStandardOutputAndNothingIsCreated) {
    const std::string entries = BlockBuilder().file("probe", "x", kExecutable).endMark().bytes();
    const struct {
        const char* what;
        std::string block;
    } cases[] = {
        {"first byte differs", "AQX" + entries},
        {"second byte differs", "ZAX" + entries},
        {"third byte differs", "ZQA" + entries},
        {"lower case", "zqx" + entries},
        {"block shorter than the magic", "ZQ"},
        {"empty block", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const LauncherRun run = this->run({attach(c.block)});
        EXPECT_EQ(run.process.exitCode, 2);
        EXPECT_EQ(run.process.out, kMissingHeader);
        EXPECT_EQ(run.process.err, "");
        EXPECT_FALSE(run.report.complete);
        EXPECT_EQ(tmpDirContents(), std::vector<std::string>{});
    }
}

TEST_F(ExitStatusTest, FailedExpansionNamesTheTemplateAndAborts) {
    addProbe();
    // A TMPDIR of 4095 bytes fills the 4096-byte buffer with its NUL; the
    // "/" after {TEMP} no longer fits. It lies below tmpDir(), so a partial
    // directory made by mistake would show there.
    const std::string temporaryDirectory = pathOfLength(tmpDir(), 4095);
    const struct {
        const char* what;
        std::vector<std::string> toolOptions;
        std::string templateText;
    } cases[] = {
        {"default template", {}, kDefaultTemplate},
        {"own template", {"--template", "{TEMP}/own_{PID}"}, "{TEMP}/own_{PID}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        onefile::testing::ProcessOptions options;
        options.setEnvironment["TMPDIR"] = temporaryDirectory;
        const LauncherRun run = this->run({pack(c.toolOptions)}, options);
        EXPECT_EQ(run.process.signal, SIGABRT);
        EXPECT_EQ(run.process.err, "Error, couldn't runtime expand spec '" + c.templateText + "'.\n");
        EXPECT_EQ(run.process.out, "");
        EXPECT_FALSE(run.report.complete);
        EXPECT_EQ(tmpDirContents(), std::vector<std::string>{});
    }
}

TEST_F(ExitStatusTest, PlaceholderValueLongerThanTheBufferStopsWithStatus2) {
    addProbe();
    onefile::testing::ProcessOptions options;
    options.setEnvironment["TMPDIR"] = pathOfLength(tmpDir(), 4096);
    const LauncherRun run = this->run({pack()}, options);
    EXPECT_EQ(run.process.exitCode, 2);
    EXPECT_TRUE(std::regex_match(run.process.err, std::regex("Error, [^\n]+ does not fit its buffer\\.\n")))
        << run.process.err;
    EXPECT_EQ(run.process.out, "");
    EXPECT_EQ(tmpDirContents(), std::vector<std::string>{});
}

TEST_F(ExitStatusTest, UnreadableProgramLinkStopsWithStatus2BeforeAnythingIsWritten) {
    addProbe();
    // Below a level that does not exist yet: neither level may appear.
    const std::string launcher = packWithHooks({"--template", "{TEMP}/x/y"});
    // A level made and removed again would still change TMPDIR's time.
    const fs::file_time_type before = fs::file_time_type::clock::now() - std::chrono::hours(1);
    fs::last_write_time(tmpDir(), before);
    const LauncherRun run = this->run({launcher}, withHooks({{"ONEFILE_HOOK_FAIL_PROGRAM_LINK", "1"}}));
    EXPECT_EQ(run.process.exitCode, 2);
    EXPECT_EQ(run.process.err, "/proc/self/exe: Permission denied\n");
    EXPECT_EQ(run.process.out, "");
    EXPECT_FALSE(run.report.complete);
    // The link is read first thing: the stop comes before the extraction
    // directory or any level above it is made.
    EXPECT_EQ(fs::last_write_time(tmpDir()), before) << "something was made in TMPDIR";
}

TEST_F(ExitStatusTest, ForkFailureCleansUpThenReportsWithStatus2) {
    addProbe();
    const LauncherRun run = this->run({packWithHooks()}, withHooks({{"ONEFILE_HOOK_FAIL_FORK", "1"}}));
    EXPECT_EQ(run.process.exitCode, 2);
    EXPECT_EQ(run.process.err, "Error, couldn't launch child (fork): Resource temporarily unavailable\n");
    EXPECT_EQ(run.process.out, "");
    EXPECT_FALSE(run.report.complete);
    EXPECT_EQ(tmpDirContents(), std::vector<std::string>{});
}

}  // namespace
}  // namespace onefile::e2e
