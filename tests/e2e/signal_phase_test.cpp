// What a termination signal does in each phase of a launcher's run. A
// launcher made from the stub with hooks raises SIGTERM inside one chosen
// library call, so the signal lands exactly in the phase under test; the application is
// the probe, followed by a 4 MB data file and a file in a subdirectory.
// Also here: a failed fork, which removes the directory before it reports.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/supervision_support.h"
#include "tests/support/file_helpers.h"

namespace onefile::e2e {
namespace {

using onefile::testing::writeFile;

constexpr std::size_t kDataBytes = 4u << 20;
// The probe's own exit code; passed on whenever the child ran undisturbed.
constexpr int kProbeExitCode = 5;

enum class Expected {
    childRuns,        // as if no signal had come: the child's exit code
    openFailure,      // "Error, failed to open '<entry>' for writing.", 2
    execFailure,      // the child's exec fails: its report and status 2
    cleanupEndsRun,   // the handler stops the child: status 0
};

struct PhaseCase {
    const char* name;
    std::map<std::string, std::string> controls;
    Expected expected;
    const char* entry = "";  // the entry named by an open failure
};

void PrintTo(const PhaseCase& phase, std::ostream* out) { *out << phase.name; }

class SignalPhaseTest : public SupervisionTest, public ::testing::WithParamInterface<PhaseCase> {
protected:
    void SetUp() override {
        SupervisionTest::SetUp();
        addProbe();
        writeFile(appDir() + "/data.bin", std::string(kDataBytes, 'd'));
        writeFile(appDir() + "/z/after.txt", "after\n");
        launcher_ = packWithHooks({"--main", "probe"});
    }

    std::string launcher_;
};

TEST_P(SignalPhaseTest, SignalLandsInItsPhase) {
    const PhaseCase& phase = GetParam();
    StartOptions options = startOptions();
    options.set("PROBE_EXIT", std::to_string(kProbeExitCode));
    std::map<std::string, std::string> controls = phase.controls;
    controls["ONEFILE_HOOK_RAISE_LOG"] = temp().file("raised");
    options.setAll(controls);

    StartedLauncher run({launcher_}, options);
    run.setProbePidFile(probePidPath());
    const std::optional<ExitState> state = run.waitForExit();
    ASSERT_TRUE(state) << "the launcher did not end";
    const std::string error = run.standardError();
    const ProbeReport report = readReport();

    // The hook did raise the signal, in the call it was told.
    EXPECT_EQ(readLines(temp().file("raised")),
              std::vector<std::string>{"raised " + controls["ONEFILE_HOOK_RAISE_CALL"] + " " +
                                       (controls.count("ONEFILE_HOOK_RAISE_COUNT")
                                            ? controls["ONEFILE_HOOK_RAISE_COUNT"]
                                            : "1")});
    switch (phase.expected) {
        case Expected::childRuns:
            EXPECT_EQ(state->exitCode, kProbeExitCode) << describe(*state) << "\n" << error;
            EXPECT_EQ(error, "");
            EXPECT_TRUE(report.complete);
            // The whole application was there for the child.
            EXPECT_TRUE(std::any_of(report.tree.begin(), report.tree.end(), [](const std::string& line) {
                return line.rfind("file ", 0) == 0 && line.size() > 14 &&
                       line.compare(line.size() - 14, 14, " 6 z/after.txt") == 0;
            }));
            EXPECT_EQ(receivedSignals(), std::vector<std::string>{});
            break;
        case Expected::openFailure:
            EXPECT_EQ(state->exitCode, 2) << describe(*state);
            EXPECT_EQ(entryThatFailedToOpen(error, tmpDir()), std::optional<std::string>(phase.entry)) << error;
            EXPECT_FALSE(report.complete) << "the child ran";
            break;
        case Expected::execFailure:
            EXPECT_EQ(state->exitCode, 2) << describe(*state);
            EXPECT_EQ(error, "Error, couldn't launch child (exec): No such file or directory\n");
            EXPECT_FALSE(report.complete) << "the child ran";
            break;
        case Expected::cleanupEndsRun:
            EXPECT_EQ(state->exitCode, 0) << describe(*state) << "\n" << error;
            break;
    }
    // TearDown checks that nothing is left in TMPDIR.
}

INSTANTIATE_TEST_SUITE_P(
    Phases, SignalPhaseTest,
    ::testing::Values(
        // Handler installed, payload header not yet checked: nothing to do.
        PhaseCase{"HandlerJustInstalled",
                  {{"ONEFILE_HOOK_RAISE_CALL", "sigaction"}, {"ONEFILE_HOOK_RAISE_WHEN", "after"}},
                  Expected::childRuns},
        // Header accepted, the extraction directory not yet created.
        PhaseCase{"HeaderAcceptedNothingCreated",
                  {{"ONEFILE_HOOK_RAISE_CALL", "mkdir"}, {"ONEFILE_HOOK_RAISE_WHEN", "before"}},
                  Expected::childRuns},
        // The directory exists, the first entry is about to be opened.
        PhaseCase{"FirstEntryAboutToOpen",
                  {{"ONEFILE_HOOK_RAISE_CALL", "fopen"}, {"ONEFILE_HOOK_RAISE_FILE", "/probe"}},
                  Expected::openFailure,
                  "probe"},
        // In the middle of the 4 MB file: it is written to its end into the
        // removed file, then the next entry cannot be created.
        PhaseCase{"LargeEntryHalfWritten",
                  {{"ONEFILE_HOOK_RAISE_CALL", "fwrite"},
                   {"ONEFILE_HOOK_RAISE_FILE", "/data.bin"},
                   {"ONEFILE_HOOK_RAISE_COUNT", "64"},
                   {"ONEFILE_HOOK_RAISE_WHEN", "after"}},
                  Expected::openFailure,
                  "z/after.txt"},
        PhaseCase{"LastEntryAboutToOpen",
                  {{"ONEFILE_HOOK_RAISE_CALL", "fopen"}, {"ONEFILE_HOOK_RAISE_FILE", "/z/after.txt"}},
                  Expected::openFailure,
                  "z/after.txt"},
        // The last entry is written; no entry follows, so the child's exec
        // finds no launch target.
        PhaseCase{"LastEntryWritten",
                  {{"ONEFILE_HOOK_RAISE_CALL", "fwrite"},
                   {"ONEFILE_HOOK_RAISE_FILE", "/z/after.txt"},
                   {"ONEFILE_HOOK_RAISE_WHEN", "after"}},
                  Expected::execFailure},
        // Raised in the child between fork and exec: its inherited handler
        // removes the directory, the exec fails and the launcher passes the
        // child's status 2 on.
        PhaseCase{"ChildBeforeExec", {{"ONEFILE_HOOK_RAISE_CALL", "execv"}}, Expected::execFailure},
        // Raised just before the fork: held back until the parent knows its
        // child, then the full cleanup ends the run.
        PhaseCase{"JustBeforeFork", {{"ONEFILE_HOOK_RAISE_CALL", "fork"}}, Expected::cleanupEndsRun},
        // The wait has returned: nothing is sent, the directory is removed
        // and the child's own status is passed on.
        PhaseCase{"AfterTheWaitReturned",
                  {{"ONEFILE_HOOK_RAISE_CALL", "waitpid"}, {"ONEFILE_HOOK_RAISE_WHEN", "after"}},
                  Expected::childRuns}),
    [](const ::testing::TestParamInfo<PhaseCase>& info) { return info.param.name; });

// A failed fork: the cleanup removes the extraction directory first, then
// the launcher reports and exits 2. Standard error is a full pipe, so the
// launcher blocks in its report; at that moment the directory must be gone.
class ForkFailureTest : public SupervisionTest {};

TEST_F(ForkFailureTest, DirectoryIsRemovedBeforeTheReport) {
    if (blockedSystemCall(getpid()).empty()) GTEST_SKIP() << "/proc/PID/syscall cannot be read here";
    addProbe();
    writeFile(appDir() + "/data.bin", std::string(1u << 20, 'd'));
    const std::string launcher = packWithHooks({"--main", "probe"});

    int errorPipe[2];
    ASSERT_EQ(pipe2(errorPipe, O_CLOEXEC), 0);
    // Fill the pipe, then make writes to it block again.
    ASSERT_EQ(fcntl(errorPipe[1], F_SETFL, O_NONBLOCK), 0);
    std::size_t filled = 0;
    const std::string filler(4096, 'x');
    for (;;) {
        ssize_t count = write(errorPipe[1], filler.data(), filler.size());
        if (count <= 0) break;
        filled += static_cast<std::size_t>(count);
    }
    ASSERT_EQ(fcntl(errorPipe[1], F_SETFL, 0), 0);

    StartOptions options = startOptions();
    options.standardError = errorPipe[1];
    options.setAll({{"ONEFILE_HOOK_FAIL_FORK", "1"}});
    StartedLauncher run({launcher}, options);
    close(errorPipe[1]);

    // Until the launcher sits in its write to standard error: write or, as
    // musl's stdio writes its buffer and the text together, writev, on
    // descriptor 2.
    const auto writesToStandardError = [](const std::string& call) {
        return call == std::to_string(SYS_write) + " 0x2" || call == std::to_string(SYS_writev) + " 0x2";
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string blocked;
    while (!writesToStandardError(blocked = blockedSystemCall(run.pid()))) {
        if (run.pollExit() || std::chrono::steady_clock::now() > deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!writesToStandardError(blocked)) {
        run.kill();
        close(errorPipe[0]);
    }
    ASSERT_TRUE(writesToStandardError(blocked)) << "the launcher never blocked in its report: " << blocked;
    EXPECT_EQ(tmpDirContents(), std::vector<std::string>{}) << "the report came before the removal";

    std::string written;
    char chunk[65536];
    for (ssize_t count; (count = read(errorPipe[0], chunk, sizeof chunk)) != 0;) {
        if (count < 0) {
            if (errno == EINTR) continue;
            break;
        }
        written.append(chunk, static_cast<std::size_t>(count));
    }
    close(errorPipe[0]);
    const std::optional<ExitState> state = run.waitForExit();
    ASSERT_TRUE(state);
    EXPECT_EQ(state->exitCode, 2) << describe(*state);
    ASSERT_GE(written.size(), filled);
    EXPECT_EQ(written.substr(filled), "Error, couldn't launch child (fork): Resource temporarily unavailable\n");
    EXPECT_FALSE(readReport().complete) << "a child ran";
}

}  // namespace
}  // namespace onefile::e2e
