// The launcher's status after termination signals from another process is
// the child's own end: its exit code, or 128 + N when signal N ended it,
// also when the grace period's SIGKILL ended it (137). The grace period has
// one deadline, 5 s after the first termination signal, however many follow;
// each of them still passes one SIGINT on to the child.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/stops_support.h"

namespace onefile::e2e {
namespace {

using std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// A child that ends on SIGINT ends at once; the launcher follows within the
// next poll, far from the 5 s of the grace period.
constexpr double kPromptEnd = 3.0;
// The deadline is 5 s after the launcher got the first signal, and the test
// sent it before that; the upper bound leaves room for the last poll and a
// loaded machine, and stays far below the 7 or 9 s that a period started by
// a later signal would give.
constexpr double kDeadlineEarliest = 5.0;
constexpr double kDeadlineLatest = 6.5;
constexpr auto kEndTimeout = std::chrono::seconds(20);

constexpr char kForwardedInterrupt[] = "signal=2 code=0";

struct ChildEnd {
    const char* name;
    int sent;                                   // to the launcher
    std::map<std::string, std::string> probe;   // how the child acts on SIGINT
    int status;                                 // the launcher's exit status
    bool afterGracePeriod;                      // the child had to be killed
};

void PrintTo(const ChildEnd& end, std::ostream* out) { *out << end.name; }

class ChildEndTest : public StopsTest, public ::testing::WithParamInterface<ChildEnd> {};

TEST_P(ChildEndTest, LauncherExitsWithTheChildsOwnEnd) {
    const ChildEnd& end = GetParam();
    StartOptions options = startOptions();
    options.set("PROBE_WAIT", "1");
    options.setAll(end.probe);
    StartedLauncher run({launcher_}, options);
    run.setProbePidFile(probePidPath());
    ASSERT_TRUE(run.waitUntilReady()) << run.standardError();
    const pid_t probe = readProbePid(probePidPath());
    ASSERT_GT(probe, 0);
    const ProbeReport report = readReport();
    ASSERT_TRUE(report.complete);

    const auto sent = steady_clock::now();
    run.sendSignal(end.sent);
    const std::optional<ExitState> state = run.waitForExit(kEndTimeout);
    ASSERT_TRUE(state) << "the launcher did not end";
    const double seconds = Seconds(steady_clock::now() - sent).count();

    EXPECT_EQ(state->signal, 0) << describe(*state);
    EXPECT_EQ(state->exitCode, end.status) << describe(*state);
    if (end.afterGracePeriod) {
        EXPECT_GE(seconds, kDeadlineEarliest);
        EXPECT_LE(seconds, kDeadlineLatest);
    } else {
        EXPECT_LT(seconds, kPromptEnd);
    }
    // One SIGINT from the launcher, whichever termination signal it got.
    EXPECT_EQ(receivedSignals(), std::vector<std::string>{kForwardedInterrupt});
    EXPECT_EQ(run.standardError(), "");
    EXPECT_EQ(run.standardOutput(), "");
    EXPECT_FALSE(std::filesystem::exists(report.directory)) << report.directory;
    EXPECT_NE(::kill(probe, 0), 0) << "the probe still runs";
}

INSTANTIATE_TEST_SUITE_P(
    Ends, ChildEndTest,
    ::testing::Values(
        ChildEnd{"TermChildExitsSeven", SIGTERM, {{"PROBE_EXIT", "7"}}, 7, false},
        ChildEnd{"TermChildExitsZero", SIGTERM, {}, 0, false},
        ChildEnd{"TermChildDiesOfSigint", SIGTERM, {{"PROBE_RAISE", "2"}}, 130, false},
        ChildEnd{"TermChildDiesOfAbort", SIGTERM, {{"PROBE_RAISE", "6"}}, 134, false},
        ChildEnd{"QuitChildExitsSeven", SIGQUIT, {{"PROBE_EXIT", "7"}}, 7, false},
        ChildEnd{"IntChildDiesOfSigint", SIGINT, {{"PROBE_RAISE", "2"}}, 130, false},
        ChildEnd{"TermChildIgnoresSigint", SIGTERM, {{"PROBE_IGNORE_SIGINT", "1"}, {"PROBE_EXIT", "7"}}, 137, true},
        ChildEnd{"QuitChildIgnoresSigint", SIGQUIT, {{"PROBE_IGNORE_SIGINT", "1"}, {"PROBE_EXIT", "7"}}, 137, true}),
    [](const ::testing::TestParamInfo<ChildEnd>& info) { return info.param.name; });

struct SignalSeries {
    const char* name;
    std::vector<int> signals;  // sent 2 s apart
};

void PrintTo(const SignalSeries& series, std::ostream* out) { *out << series.name; }

class OneDeadlineTest : public StopsTest, public ::testing::WithParamInterface<SignalSeries> {};

// Signals at 0, 2 and 4 s to a launcher whose child ignores SIGINT: the
// child gets a SIGINT for each, and SIGKILL 5 s after the first, not 5 s
// after a later one.
TEST_P(OneDeadlineTest, ChildIsKilledFiveSecondsAfterTheFirstSignal) {
    const std::vector<int>& signals = GetParam().signals;
    StartOptions options = startOptions();
    options.set("PROBE_WAIT", "1");
    options.set("PROBE_IGNORE_SIGINT", "1");
    options.set("PROBE_EXIT", "7");
    StartedLauncher run({launcher_}, options);
    run.setProbePidFile(probePidPath());
    ASSERT_TRUE(run.waitUntilReady()) << run.standardError();
    const pid_t probe = readProbePid(probePidPath());
    ASSERT_GT(probe, 0);
    const ProbeReport report = readReport();
    ASSERT_TRUE(report.complete);

    const auto first = steady_clock::now();
    for (std::size_t i = 0; i < signals.size(); ++i) {
        // The spacing is what this test is about, not a wait for readiness.
        std::this_thread::sleep_until(first + std::chrono::seconds(2 * i));
        ASSERT_FALSE(run.pollExit()) << "the launcher ended before signal " << i + 1;
        run.sendSignal(signals[i]);
    }
    const std::optional<ExitState> state = run.waitForExit(kEndTimeout);
    ASSERT_TRUE(state) << "the launcher did not end";
    const double seconds = Seconds(steady_clock::now() - first).count();

    EXPECT_EQ(state->signal, 0) << describe(*state);
    EXPECT_EQ(state->exitCode, 137) << describe(*state);
    EXPECT_GE(seconds, kDeadlineEarliest);
    EXPECT_LE(seconds, kDeadlineLatest);
    EXPECT_EQ(receivedSignals(), std::vector<std::string>(signals.size(), kForwardedInterrupt));
    EXPECT_EQ(run.standardError(), "");
    EXPECT_FALSE(std::filesystem::exists(report.directory)) << report.directory;
    EXPECT_NE(::kill(probe, 0), 0) << "the stubborn probe still runs";
}

INSTANTIATE_TEST_SUITE_P(Series, OneDeadlineTest,
                         ::testing::Values(SignalSeries{"TermQuitInt", {SIGTERM, SIGQUIT, SIGINT}},
                                           SignalSeries{"IntTermQuit", {SIGINT, SIGTERM, SIGQUIT}},
                                           SignalSeries{"TermThreeTimes", {SIGTERM, SIGTERM, SIGTERM}}),
                         [](const ::testing::TestParamInfo<SignalSeries>& info) { return info.param.name; });

}  // namespace
}  // namespace onefile::e2e
