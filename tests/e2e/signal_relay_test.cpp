// Signals meant for the application and signals the launcher does not act
// on:
//  - the terminal's interrupt key reaches the child from the kernel; a child
//    that ignores it runs on, past any grace period, and its own end later
//    is the launcher's status;
//  - SIGHUP, SIGUSR1, SIGUSR2 and SIGALRM sent to the launcher reach the
//    child unchanged; a child that survives them runs on, one that dies of
//    them makes the launcher exit with 128 + N and leaves nothing behind;
//  - a termination signal the launcher was started with ignored stays
//    ignored, and the child starts with exactly the dispositions the
//    launcher was given (SIGPIPE and SIGXFSZ, which the launcher ignores for
//    itself, included);
//  - a launcher started with SIGCHLD ignored still learns its child's end.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e/stops_support.h"
#include "tests/support/file_helpers.h"

namespace onefile::e2e {
namespace {

namespace fs = std::filesystem;
using onefile::testing::writeFile;

// Longer than the 5 s grace period with room to spare: a launcher that
// treated the key as a stop would have killed the child by then.
constexpr auto kLongerThanGracePeriod = std::chrono::seconds(7);
constexpr auto kEndTimeout = std::chrono::seconds(10);
// The probe goes on recording this long after the signal that ends its
// wait, so that a signal passed on wrongly would still be seen.
constexpr char kLingerMilliseconds[] = "300";

class RelayTest : public StopsTest {
protected:
    // Waits for the probe, returns its process id and its report.
    pid_t awaitProbe(StartedLauncher& run, ProbeReport* report) {
        run.setProbePidFile(probePidPath());
        if (!run.waitUntilReady()) {
            ADD_FAILURE() << "the probe did not report: " << run.standardError();
            return 0;
        }
        *report = readReport();
        EXPECT_TRUE(report->complete);
        EXPECT_TRUE(fs::is_directory(report->directory)) << report->directory;
        return readProbePid(probePidPath());
    }
};

// ---------------------------------------------------------------------------
// The terminal's interrupt key with a child that ignores SIGINT.

struct LaterEnd {
    const char* name;
    std::map<std::string, std::string> probe;  // how the child ends on SIGTERM
    int status;                                // the launcher's exit status
};

void PrintTo(const LaterEnd& end, std::ostream* out) { *out << end.name; }

class TerminalKeyTest : public RelayTest, public ::testing::WithParamInterface<LaterEnd> {};

TEST_P(TerminalKeyTest, ChildIgnoringTheKeyRunsOnAndItsOwnEndIsTheStatus) {
    StartOptions options = startOptions();
    options.withTerminal = true;
    options.set("PROBE_WAIT", "1");
    options.set("PROBE_IGNORE_SIGINT", "1");
    options.setAll(GetParam().probe);
    StartedLauncher run({launcher_}, options);
    ProbeReport report;
    const pid_t probe = awaitProbe(run, &report);
    ASSERT_GT(probe, 0);

    run.type("\x03");
    // SI_KERNEL (128): the key's SIGINT, from the kernel to the whole group.
    ASSERT_TRUE(waitForLine(signalsPath(), "signal=2 code=128")) << "the key did not reach the child";
    EXPECT_FALSE(run.waitForExit(kLongerThanGracePeriod)) << "the launcher ended after the key";
    const std::string state = processState(probe);
    EXPECT_TRUE(state == "S" || state == "R") << "the child is in state '" << state << "'";
    EXPECT_TRUE(fs::is_directory(report.directory)) << report.directory;

    // The child ends on its own account, by a signal straight to it.
    ASSERT_EQ(::kill(probe, SIGTERM), 0);
    const std::optional<ExitState> end = run.waitForExit(kEndTimeout);
    ASSERT_TRUE(end) << "the launcher did not end after its child";
    EXPECT_EQ(end->signal, 0) << describe(*end);
    EXPECT_EQ(end->exitCode, GetParam().status) << describe(*end);
    // Nothing from the launcher: no SIGINT of its own, no SIGKILL.
    EXPECT_EQ(receivedSignals(), (std::vector<std::string>{"signal=2 code=128", "signal=15 code=0"}));
    EXPECT_EQ(run.standardError(), "");
    EXPECT_FALSE(fs::exists(report.directory)) << report.directory;
    EXPECT_NE(::kill(probe, 0), 0) << "the probe still runs";
}

INSTANTIATE_TEST_SUITE_P(Ends, TerminalKeyTest,
                         ::testing::Values(LaterEnd{"ExitsSeven", {{"PROBE_EXIT", "7"}}, 7},
                                           LaterEnd{"DiesOfSigterm", {{"PROBE_RAISE", "15"}}, 143}),
                         [](const ::testing::TestParamInfo<LaterEnd>& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// Signals meant for the application.

struct RelayedEnd {
    const char* name;
    int number;                                // sent to the launcher
    std::map<std::string, std::string> probe;  // how the child acts on it
    std::vector<std::string> recorded;         // what the probe recorded
};

void PrintTo(const RelayedEnd& end, std::ostream* out) { *out << end.name; }

class RelayedEndTest : public RelayTest, public ::testing::WithParamInterface<RelayedEnd> {};

// The probe records SIGHUP and then ends by it; it has no handler for the
// others, so their default action ends it. Either way only the signal
// itself, sent on unchanged, can have ended it so.
TEST_P(RelayedEndTest, ChildDyingOfTheSignalMakesTheLauncherExitWith128PlusN) {
    const RelayedEnd& end = GetParam();
    StartOptions options = startOptions();
    options.set("PROBE_WAIT", "1");
    options.setAll(end.probe);
    StartedLauncher run({launcher_}, options);
    ProbeReport report;
    const pid_t probe = awaitProbe(run, &report);
    ASSERT_GT(probe, 0);

    run.sendSignal(end.number);
    const std::optional<ExitState> state = run.waitForExit(kEndTimeout);
    ASSERT_TRUE(state) << "the launcher did not end";
    EXPECT_EQ(state->signal, 0) << describe(*state);
    EXPECT_EQ(state->exitCode, 128 + end.number) << describe(*state);
    EXPECT_EQ(receivedSignals(), end.recorded);
    EXPECT_EQ(run.standardError(), "");
    EXPECT_FALSE(fs::exists(report.directory)) << report.directory;
    // The launcher collected its child: not orphaned, not left running.
    EXPECT_NE(::kill(probe, 0), 0) << "the probe still runs";
}

INSTANTIATE_TEST_SUITE_P(
    Signals, RelayedEndTest,
    ::testing::Values(RelayedEnd{"Hangup", SIGHUP, {{"PROBE_RAISE", "1"}}, {"signal=1 code=0"}},
                      RelayedEnd{"User1", SIGUSR1, {}, {}},
                      RelayedEnd{"User2", SIGUSR2, {}, {}},
                      RelayedEnd{"Alarm", SIGALRM, {}, {}}),
    [](const ::testing::TestParamInfo<RelayedEnd>& info) { return info.param.name; });

// The application here is a shell script that traps SIGHUP and SIGUSR1 and
// runs on until the test creates its stop file: the probe cannot survive
// SIGUSR1.
TEST_F(RelayTest, ChildSurvivingTheSignalsRunsOnAndTheLauncherWaits) {
    const std::string shell = findProgram("sh");
    if (shell.empty()) GTEST_SKIP() << "no sh on PATH";
    const std::string record = temp().file("relayed");
    const std::string stopFile = temp().file("stop");
    writeFile(appDir() + "/main",
              "#!" + shell + "\n"
              "trap 'echo hangup >> \"$STOPS_RECORD\"' HUP\n"
              "trap 'echo user1 >> \"$STOPS_RECORD\"' USR1\n"
              "echo $$ > \"$PROBE_PID_FILE\"\n"
              "echo ready >&3\n"
              "exec 3>&-\n"
              "while [ ! -e \"$STOPS_STOP\" ]; do sleep 0.01; done\n"
              "exit 5\n",
              0755);
    const std::string launcher = pack({"--main", "main"}, "script-launcher");
    StartOptions options = startOptions();
    options.set("STOPS_RECORD", record);
    options.set("STOPS_STOP", stopFile);
    StartedLauncher run({launcher}, options);
    ASSERT_TRUE(run.waitUntilReady()) << run.standardError();
    const pid_t script = readProbePid(probePidPath());
    ASSERT_GT(script, 0);
    // The script is no probe, so the launcher's destructor would not end it.
    struct EndScript {
        pid_t pid;
        ~EndScript() {
            if (processState(pid) != "") (void)::kill(pid, SIGKILL);
        }
    } endScript{script};
    ASSERT_EQ(tmpDirContents().size(), 1u);

    run.sendSignal(SIGHUP);
    ASSERT_TRUE(waitForLine(record, "hangup")) << "SIGHUP did not reach the child";
    run.sendSignal(SIGUSR1);
    ASSERT_TRUE(waitForLine(record, "user1")) << "SIGUSR1 did not reach the child";
    // Both arrived and were handled; the launcher has no reason to end.
    EXPECT_FALSE(run.pollExit()) << "the launcher ended after passing the signals on";
    EXPECT_NE(processState(script), "");
    EXPECT_EQ(tmpDirContents().size(), 1u);

    writeFile(stopFile, "");
    const std::optional<ExitState> state = run.waitForExit(kEndTimeout);
    ASSERT_TRUE(state) << "the launcher did not end after its child";
    EXPECT_EQ(state->signal, 0) << describe(*state);
    EXPECT_EQ(state->exitCode, 5) << describe(*state);
    EXPECT_EQ(readLines(record), (std::vector<std::string>{"hangup", "user1"}));
    EXPECT_EQ(run.standardError(), "");
}

// ---------------------------------------------------------------------------
// Dispositions the launcher was started with.

class IgnoredAtStartTest : public RelayTest {
protected:
    void SetUp() override {
        RelayTest::SetUp();
        std::string reason;
        if (!envIgnoresSignals(&reason)) GTEST_SKIP() << reason;
    }
};

struct IgnoredStop {
    const char* name;
    int number;  // ignored at the start, then sent
};

void PrintTo(const IgnoredStop& stop, std::ostream* out) { *out << stop.name; }

class IgnoredStopTest : public IgnoredAtStartTest, public ::testing::WithParamInterface<IgnoredStop> {};

// After the ignored signal, SIGHUP (passed on to the child) ends the probe's
// wait: it then records whatever else comes for a while. Only SIGHUP may
// show, and the launcher's status is the probe's own code.
TEST_P(IgnoredStopTest, SignalIgnoredAtStartChangesNothing) {
    const int number = GetParam().number;
    StartOptions options = startOptions();
    options.set("PROBE_WAIT", "1");
    options.set("PROBE_EXIT", "7");
    options.set("PROBE_LINGER_MS", kLingerMilliseconds);
    StartedLauncher run(ignoring({number}, {launcher_}), options);
    ProbeReport report;
    const pid_t probe = awaitProbe(run, &report);
    ASSERT_GT(probe, 0);

    run.sendSignal(number);
    // An ignored signal is discarded when it is sent: by now it has had
    // whatever effect it will have.
    EXPECT_FALSE(run.pollExit()) << "the launcher ended on an ignored signal";
    EXPECT_NE(processState(probe), "");
    run.sendSignal(SIGHUP);
    const std::optional<ExitState> state = run.waitForExit(kEndTimeout);
    ASSERT_TRUE(state) << "the launcher did not end";
    EXPECT_EQ(state->signal, 0) << describe(*state);
    EXPECT_EQ(state->exitCode, 7) << describe(*state);
    EXPECT_EQ(receivedSignals(), std::vector<std::string>{"signal=1 code=0"});
    EXPECT_EQ(run.standardError(), "");
    EXPECT_FALSE(fs::exists(report.directory)) << report.directory;
}

INSTANTIATE_TEST_SUITE_P(Signals, IgnoredStopTest,
                         ::testing::Values(IgnoredStop{"Interrupt", SIGINT}, IgnoredStop{"Quit", SIGQUIT},
                                           IgnoredStop{"Terminate", SIGTERM}),
                         [](const ::testing::TestParamInfo<IgnoredStop>& info) { return info.param.name; });

struct Dispositions {
    const char* name;
    std::vector<int> ignored;  // when the launcher starts
};

void PrintTo(const Dispositions& dispositions, std::ostream* out) { *out << dispositions.name; }

class ChildDispositionsTest : public IgnoredAtStartTest, public ::testing::WithParamInterface<Dispositions> {};

// The signals the C library keeps for itself, from 32 up to SIGRTMIN: the
// test cannot set them, so they keep what this process was started with.
long long reservedSignals() {
    long long reserved = 0;
    for (int number = 32; number < SIGRTMIN; ++number) reserved |= 1LL << (number - 1);
    return reserved;
}

long long ignoredHere() {
    std::ifstream file("/proc/self/status");
    const std::string status((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return signalMaskLine(status, "SigIgn");
}

// The application is cat run through its script's first line, printing
// /proc/self/status: cat leaves every disposition as it found it, so its
// "SigIgn:" line shows what the launcher handed on.
TEST_P(ChildDispositionsTest, ChildStartsWithExactlyTheIgnoredSignalsTheLauncherWasGiven) {
    const std::string cat = findProgram("cat");
    if (cat.empty()) GTEST_SKIP() << "no cat on PATH";
    writeFile(appDir() + "/main", "#!" + cat + " /proc/self/status\n", 0755);
    const std::string launcher = pack({"--main", "main"}, "cat-launcher");
    StartedLauncher run(ignoring(GetParam().ignored, {launcher}), startOptions());
    const std::optional<ExitState> state = run.waitForExit(kEndTimeout);
    ASSERT_TRUE(state) << "the launcher did not end";
    EXPECT_EQ(state->exitCode, 0) << describe(*state) << "\n" << run.standardError();
    const std::string status = run.standardOutput();
    const long long ignored = signalMaskLine(status, "SigIgn");
    EXPECT_EQ(ignored & ~reservedSignals(), maskOf(GetParam().ignored)) << status;
    // The static launcher hands the C library's own signals on unchanged
    // too; glibc, in the sanitizer build's launcher, takes some for itself.
    if (!ONEFILE_SANITIZED_BUILD) {
        EXPECT_EQ(ignored & reservedSignals(), ignoredHere() & reservedSignals()) << status;
    }
    EXPECT_EQ(signalMaskLine(status, "SigBlk"), 0) << status;
}

INSTANTIATE_TEST_SUITE_P(
    Given, ChildDispositionsTest,
    ::testing::Values(Dispositions{"Nothing", {}},
                      Dispositions{"Interrupt", {SIGINT}},
                      Dispositions{"TerminationSignals", {SIGINT, SIGQUIT, SIGTERM}},
                      Dispositions{"SignalsForTheApplication", {SIGHUP, SIGUSR1, SIGALRM}},
                      Dispositions{"PipeAndFileSize", {SIGPIPE, SIGXFSZ}},
                      Dispositions{"ChildEnd", {SIGCHLD}}),
    [](const ::testing::TestParamInfo<Dispositions>& info) { return info.param.name; });

struct IgnoredChildEnd {
    const char* name;
    std::map<std::string, std::string> probe;
    int status;
};

void PrintTo(const IgnoredChildEnd& end, std::ostream* out) { *out << end.name; }

class IgnoredChildEndTest : public IgnoredAtStartTest, public ::testing::WithParamInterface<IgnoredChildEnd> {};

// With SIGCHLD ignored the kernel would reap the child by itself and leave
// the launcher nothing to learn from its wait.
TEST_P(IgnoredChildEndTest, LauncherStartedWithSigchldIgnoredPassesOnTheChildsEnd) {
    onefile::testing::ProcessOptions options;
    for (const auto& [name, value] : GetParam().probe) options.setEnvironment[name] = value;
    const LauncherRun run = this->run(ignoring({SIGCHLD}, {launcher_}), options);
    EXPECT_EQ(run.process.signal, 0);
    EXPECT_EQ(run.process.exitCode, GetParam().status) << run.process.err;
    EXPECT_TRUE(run.report.complete);
    EXPECT_EQ(run.process.err, "");
    EXPECT_FALSE(fs::exists(run.report.directory)) << run.report.directory;
}

INSTANTIATE_TEST_SUITE_P(Ends, IgnoredChildEndTest,
                         ::testing::Values(IgnoredChildEnd{"ExitsZero", {}, 0},
                                           IgnoredChildEnd{"ExitsSeven", {{"PROBE_EXIT", "7"}}, 7},
                                           IgnoredChildEnd{"DiesOfSegfault", {{"PROBE_RAISE", "11"}}, 139},
                                           IgnoredChildEnd{"DiesOfAbort", {{"PROBE_RAISE", "6"}}, 134}),
                         [](const ::testing::TestParamInfo<IgnoredChildEnd>& info) { return info.param.name; });

}  // namespace
}  // namespace onefile::e2e
