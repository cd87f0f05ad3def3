// What a termination signal does in each phase of a launcher's run. A
// launcher made from the stub with hooks raises SIGTERM inside one chosen
// library call, so the signal lands exactly in the phase under test; the
// application is the probe, the block's first entry, followed by a 4 MB data
// file and a file in a subdirectory. Before the fork the signal only asks the
// run to stop: it ends at the next step or write call with its message and
// status 2, removes what it made and never starts the child. After the fork
// the child decides, and its end is passed on. The launcher runs on one
// processor, so that the payload is written on its main thread in block
// order and every phase is exact; one more test stops a run whose writer
// threads write. Also here: a failed fork, which removes the directory
// before it reports.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
// The probe's own exit code; passed on whenever the child ran.
constexpr int kProbeExitCode = 5;
constexpr char kStopMessage[] = "Error, stopped by signal 15 before the application started.\n";
const char kForwardedInterrupt[] = "signal=2 code=0";

enum class Expected {
    stopped,            // the stop message, 2, the child never started
    childRuns,          // as if no signal had come: the child's exit code
    childInterrupted,   // the forwarded SIGINT: the child's code after it, or 130
    childEndsBySignal,  // the child ends by the signal raised itself: 128 + its number
    childGetsHangup,    // a SIGHUP held back during the extraction reaches the child
};

struct PhaseCase {
    const char* name;
    std::map<std::string, std::string> controls;
    Expected expected;
    // What the run made (ONEFILE_HOOK_MADE_LOG), relative to the extraction
    // directory ("." for the directory itself); checked for stopped runs.
    std::vector<std::string> made = {};
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

// The made log's lines with the extraction directory's path in front of
// each name, as the hooks write them.
std::vector<std::string> inDirectory(const std::vector<std::string>& made, const std::string& madeLog) {
    const std::vector<std::string> lines = readLines(madeLog);
    // The first line makes the directory itself: "mkdirat PATH".
    const std::string directory =
        lines.empty() ? "(no extraction directory made)" : lines[0].substr(lines[0].find(' ') + 1);
    std::vector<std::string> expected;
    for (const std::string& line : made) {
        const std::size_t space = line.find(' ');
        const std::string name = line.substr(space + 1);
        expected.push_back(line.substr(0, space) + " " + (name == "." ? directory : directory + "/" + name));
    }
    return expected;
}

TEST_P(SignalPhaseTest, SignalLandsInItsPhase) {
    const PhaseCase& phase = GetParam();
    StartOptions options = startOptions();
    options.set("PROBE_EXIT", std::to_string(kProbeExitCode));
    options.processors = 1;
    std::map<std::string, std::string> controls = phase.controls;
    controls["ONEFILE_HOOK_RAISE_LOG"] = temp().file("raised");
    controls["ONEFILE_HOOK_MADE_LOG"] = temp().file("made");
    options.setAll(controls);

    StartedLauncher run({launcher_}, options);
    run.setProbePidFile(probePidPath());
    const std::optional<ExitState> state = run.waitForExit();
    ASSERT_TRUE(state) << "the launcher did not end";
    const std::string error = run.standardError();
    const ProbeReport report = readReport();
    const std::vector<std::string> signals = receivedSignals();

    // The hook did raise the signal, in the call it was told, and no further
    // call that the control counts followed.
    EXPECT_EQ(readLines(temp().file("raised")),
              std::vector<std::string>{"raised " + controls["ONEFILE_HOOK_RAISE_CALL"] + " " +
                                       (controls.count("ONEFILE_HOOK_RAISE_COUNT")
                                            ? controls["ONEFILE_HOOK_RAISE_COUNT"]
                                            : "1")});
    switch (phase.expected) {
        case Expected::stopped: {
            EXPECT_EQ(state->exitCode, 2) << describe(*state);
            EXPECT_EQ(error, kStopMessage);
            EXPECT_EQ(run.standardOutput(), "");
            // The probe writes its process id first thing.
            EXPECT_FALSE(std::filesystem::exists(probePidPath())) << "the child was started";
            // The run went no further than the phase: nothing was made after it.
            const std::vector<std::string> made = readLines(temp().file("made"));
            EXPECT_EQ(made, inDirectory(phase.made, temp().file("made")));
            break;
        }
        case Expected::childRuns:
            EXPECT_EQ(state->exitCode, kProbeExitCode) << describe(*state) << "\n" << error;
            EXPECT_EQ(error, "");
            EXPECT_TRUE(report.complete);
            // The whole application was there for the child.
            EXPECT_TRUE(std::any_of(report.tree.begin(), report.tree.end(), [](const std::string& line) {
                return line.rfind("file ", 0) == 0 && line.size() > 14 &&
                       line.compare(line.size() - 14, 14, " 6 z/after.txt") == 0;
            }));
            EXPECT_EQ(signals, std::vector<std::string>{});
            break;
        case Expected::childInterrupted:
            EXPECT_EQ(error, "");
            // The probe ends with its code once it got the SIGINT, or by the
            // SIGINT itself when that came before its handler was in place.
            if (state->exitCode == 128 + SIGINT) {
                EXPECT_EQ(signals, std::vector<std::string>{});
            } else {
                EXPECT_EQ(state->exitCode, kProbeExitCode) << describe(*state);
                EXPECT_EQ(signals, std::vector<std::string>{kForwardedInterrupt}) << "the forwarded SIGINT was lost";
            }
            break;
        case Expected::childGetsHangup:
            EXPECT_EQ(error, "");
            // The probe ends on the SIGHUP with its code, or by the SIGHUP
            // itself when that came before its handler was in place.
            if (state->exitCode == 128 + SIGHUP) {
                EXPECT_EQ(signals, std::vector<std::string>{});
            } else {
                EXPECT_EQ(state->exitCode, kProbeExitCode) << describe(*state);
                EXPECT_EQ(signals, std::vector<std::string>{"signal=1 code=0"}) << "the held SIGHUP was lost";
            }
            break;
        case Expected::childEndsBySignal: {
            const auto raised = GetParam().controls.find("ONEFILE_HOOK_RAISE_SIGNAL");
            const int number = raised == GetParam().controls.end() ? SIGTERM : std::stoi(raised->second);
            EXPECT_EQ(state->exitCode, 128 + number) << describe(*state) << "\n" << error;
            EXPECT_EQ(error, "");
            EXPECT_FALSE(report.complete) << "the application ran as if no signal had come";
            break;
        }
    }
    // TearDown checks that nothing is left in TMPDIR.
}

INSTANTIATE_TEST_SUITE_P(
    Phases, SignalPhaseTest,
    ::testing::Values(
        // Handler installed, payload header not yet checked: the run stops
        // once the extraction directory is made, before any entry.
        PhaseCase{"HandlerJustInstalled",
                  {{"ONEFILE_HOOK_RAISE_CALL", "sigaction"}, {"ONEFILE_HOOK_RAISE_WHEN", "after"}},
                  Expected::stopped,
                  {"mkdirat ."}},
        // Header accepted, the extraction directory about to be made.
        PhaseCase{"ExtractionDirectoryAboutToBeMade",
                  {{"ONEFILE_HOOK_RAISE_CALL", "mkdirat"}, {"ONEFILE_HOOK_RAISE_WHEN", "before"}},
                  Expected::stopped,
                  {"mkdirat ."}},
        // The directory exists, the first entry is about to be opened: its
        // first write is the last.
        PhaseCase{"FirstEntryAboutToOpen",
                  {{"ONEFILE_HOOK_RAISE_CALL", "openat"}, {"ONEFILE_HOOK_RAISE_FILE", "/probe"}},
                  Expected::stopped,
                  {"mkdirat .", "openat probe"}},
        // In the middle of the 4 MB file (16 write calls, from the mapping
        // once the kernel's copies are refused): the run stops right after
        // the 8th.
        PhaseCase{"LargeEntryHalfWritten",
                  {{"ONEFILE_HOOK_FAIL_COPY_FILE_RANGE", std::to_string(ENOSYS)},
                   {"ONEFILE_HOOK_FAIL_SENDFILE", std::to_string(ENOSYS)},
                   {"ONEFILE_HOOK_RAISE_CALL", "write"},
                   {"ONEFILE_HOOK_RAISE_FILE", "/data.bin"},
                   {"ONEFILE_HOOK_RAISE_COUNT", "8"},
                   {"ONEFILE_HOOK_RAISE_WHEN", "after"}},
                  Expected::stopped,
                  {"mkdirat .", "openat probe", "openat data.bin"}},
        PhaseCase{"LastEntryAboutToOpen",
                  {{"ONEFILE_HOOK_RAISE_CALL", "openat"}, {"ONEFILE_HOOK_RAISE_FILE", "/z/after.txt"}},
                  Expected::stopped,
                  {"mkdirat .", "openat probe", "openat data.bin", "mkdirat z", "openat z/after.txt"}},
        // The last entry is written: the look before the fork stops the run.
        PhaseCase{"LastEntryWritten",
                  {{"ONEFILE_HOOK_RAISE_CALL", "write"},
                   {"ONEFILE_HOOK_RAISE_FILE", "/z/after.txt"},
                   {"ONEFILE_HOOK_RAISE_WHEN", "after"}},
                  Expected::stopped,
                  {"mkdirat .", "openat probe", "openat data.bin", "mkdirat z", "openat z/after.txt"}},
        // A signal meant for the application during the extraction: held
        // until the child exists, then passed on unchanged. The probe waits
        // up to 2 s for it.
        PhaseCase{"HangupDuringExtraction",
                  {{"ONEFILE_HOOK_RAISE_CALL", "openat"},
                   {"ONEFILE_HOOK_RAISE_FILE", "/data.bin"},
                   {"ONEFILE_HOOK_RAISE_SIGNAL", std::to_string(SIGHUP)},
                   {"PROBE_WAIT_MS", "2000"}},
                  Expected::childGetsHangup},
        // Raised in the child between fork and exec, where the signal mask
        // is the one the launcher was given: the child acts on it as the
        // application would at its first instruction, with the disposition
        // the launcher was given (the default: it ends), and the launcher
        // passes that end on. Nothing of the launcher's own handling may
        // swallow it: a SIGINT the launcher forwards can arrive there too.
        PhaseCase{"ChildBeforeExec", {{"ONEFILE_HOOK_RAISE_CALL", "execv"}}, Expected::childEndsBySignal},
        // The same with a signal meant for the application: the launcher's
        // relay handler, still in place until the exec, must not hold it.
        PhaseCase{"HangupInChildBeforeExec",
                  {{"ONEFILE_HOOK_RAISE_CALL", "execv"}, {"ONEFILE_HOOK_RAISE_SIGNAL", std::to_string(SIGHUP)}},
                  Expected::childEndsBySignal},
        // Raised just before the fork, after the last look for a stop: held
        // back until the parent knows its child, then handled as one that
        // came after the fork: the child gets SIGINT and its end is passed on.
        // The probe waits for it: on one processor the child could otherwise
        // run to its end before the launcher forwards anything.
        PhaseCase{"JustBeforeFork", {{"ONEFILE_HOOK_RAISE_CALL", "fork"}, {"PROBE_WAIT_MS", "2000"}},
                  Expected::childInterrupted},
        // The wait has returned: nothing is sent, the directory is removed
        // and the child's own status is passed on.
        PhaseCase{"AfterTheWaitReturned",
                  {{"ONEFILE_HOOK_RAISE_CALL", "waitpid"}, {"ONEFILE_HOOK_RAISE_WHEN", "after"}},
                  Expected::childRuns}),
    [](const ::testing::TestParamInfo<PhaseCase>& info) { return info.param.name; });

// The payload is written by writer threads, which block every signal: the
// signal raised during the 8th write call of the large file (written from
// the mapping once the kernel's copies are refused) still reaches the main
// thread, the writers stop at their next file or write call, and the run
// ends as any stop before the fork does.
class WriterThreadStopTest : public SupervisionTest {};

TEST_F(WriterThreadStopTest, SignalWhileWritersWriteStopsTheRun) {
    cpu_set_t available;
    ASSERT_EQ(sched_getaffinity(0, sizeof available, &available), 0);
    if (CPU_COUNT(&available) < 2) GTEST_SKIP() << "one processor: the launcher writes on its main thread alone";
    addProbe();
    writeFile(appDir() + "/data.bin", std::string(kDataBytes, 'd'));
    writeFile(appDir() + "/z/after.txt", "after\n");
    const std::string launcher = packWithHooks({"--main", "probe"});
    StartOptions options = startOptions();
    options.set("PROBE_EXIT", std::to_string(kProbeExitCode));
    options.setAll({{"ONEFILE_HOOK_FAIL_COPY_FILE_RANGE", std::to_string(ENOSYS)},
                    {"ONEFILE_HOOK_FAIL_SENDFILE", std::to_string(ENOSYS)},
                    {"ONEFILE_HOOK_RAISE_CALL", "write"},
                    {"ONEFILE_HOOK_RAISE_FILE", "/data.bin"},
                    {"ONEFILE_HOOK_RAISE_COUNT", "8"},
                    {"ONEFILE_HOOK_RAISE_WHEN", "after"},
                    {"ONEFILE_HOOK_RAISE_LOG", temp().file("raised")}});

    StartedLauncher run({launcher}, options);
    run.setProbePidFile(probePidPath());
    const std::optional<ExitState> state = run.waitForExit();
    ASSERT_TRUE(state) << "the launcher did not end";
    EXPECT_EQ(state->exitCode, 2) << describe(*state);
    EXPECT_EQ(run.standardError(), kStopMessage);
    EXPECT_EQ(run.standardOutput(), "");
    const std::vector<std::string> raised = readLines(temp().file("raised"));
    ASSERT_FALSE(raised.empty());
    EXPECT_EQ(raised[0], "raised write 8");
    EXPECT_FALSE(std::filesystem::exists(probePidPath())) << "the child was started";
    // TearDown checks that nothing is left in TMPDIR.
}

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
