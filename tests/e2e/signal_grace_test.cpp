// A child that ignores SIGINT: the cleanup polls it through a grace period
// of 25 sleeps of 200 ms, then sends SIGKILL, removes the directory and the
// launcher exits 0. More termination signals during that time must not
// start a second grace period after the first one.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/supervision_support.h"

namespace onefile::e2e {
namespace {

using std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// 25 sleeps of 200 ms, with room for the polls and a loaded machine.
constexpr double kGraceShortest = 4.5;
constexpr double kGraceLongest = 6.5;

class SignalGraceTest : public SupervisionTest {
protected:
    void SetUp() override {
        SupervisionTest::SetUp();
        addProbe();
        launcher_ = pack({"--main", "probe"});
    }

    struct Outcome {
        ExitState state;
        double seconds = 0;
        std::vector<std::string> signals;
    };

    // Sends `sequence` to a launcher whose child ignores SIGINT (or, with
    // `stopChild`, has been stopped), back to back, and checks what every
    // such run must show.
    Outcome interruptStubbornChild(const std::vector<int>& sequence, bool stopChild = false) {
        StartOptions options = startOptions();
        options.set("PROBE_WAIT", "1");
        options.set("PROBE_IGNORE_SIGINT", "1");
        options.set("PROBE_EXIT", "7");
        StartedLauncher run({launcher_}, options);
        run.setProbePidFile(probePidPath());
        Outcome outcome;
        const pid_t probe = run.waitUntilReady() ? readProbePid(probePidPath()) : 0;
        if (probe <= 0) {
            ADD_FAILURE() << "the probe did not report: " << run.standardError();
            return outcome;
        }
        const ProbeReport report = readReport();
        EXPECT_TRUE(std::filesystem::is_directory(report.directory)) << report.directory;
        if (stopChild) {
            EXPECT_EQ(::kill(probe, SIGSTOP), 0);
            // Until the kernel reports it stopped ("T" in /proc/PID/stat).
            std::string state;
            for (int i = 0; i < 1000 && state != "T"; ++i) {
                std::vector<std::string> stat = readLines("/proc/" + std::to_string(probe) + "/stat");
                const std::size_t end = stat.empty() ? std::string::npos : stat[0].rfind(')');
                state = end == std::string::npos ? "" : stat[0].substr(end + 2, 1);
                if (state != "T") usleep(1000);
            }
            EXPECT_EQ(state, "T") << "the probe did not stop";
        }

        const auto sent = steady_clock::now();
        for (int number : sequence) run.sendSignal(number);
        const std::optional<ExitState> state = run.waitForExit(std::chrono::seconds(15));
        outcome.seconds = Seconds(steady_clock::now() - sent).count();
        if (!state) {
            ADD_FAILURE() << "the launcher did not end";
            return outcome;
        }
        outcome.state = *state;
        outcome.signals = receivedSignals();
        // SIGKILL after the grace period is still an end the launcher asked
        // for: status 0, not the child's signal or its code.
        EXPECT_EQ(state->exitCode, 0) << describe(*state);
        EXPECT_EQ(run.standardError(), "");
        EXPECT_FALSE(std::filesystem::exists(report.directory)) << report.directory;
        EXPECT_NE(::kill(probe, 0), 0) << "the stubborn probe still runs";
        EXPECT_GE(outcome.seconds, kGraceShortest);
        EXPECT_LE(outcome.seconds, kGraceLongest);
        // The child ignored every SIGINT, so it was recorded and nothing else.
        for (const std::string& line : outcome.signals) EXPECT_EQ(line, "signal=2 code=0");
        return outcome;
    }

    std::string launcher_;
};

TEST_F(SignalGraceTest, ChildIgnoringSigintIsKilledAfterTheGracePeriod) {
    const Outcome outcome = interruptStubbornChild({SIGTERM});
    EXPECT_EQ(outcome.signals.size(), 1u);
}

// The same signal again while the handler runs is held back until the first
// run has returned; that second run finds the killed child and ends at once.
// A stopped child cannot act on SIGINT; it is killed all the same.
TEST_F(SignalGraceTest, StoppedChildIsKilledAfterTheGracePeriod) {
    const Outcome outcome = interruptStubbornChild({SIGTERM}, true);
    EXPECT_EQ(outcome.signals, std::vector<std::string>{});
}

TEST_F(SignalGraceTest, SameSignalTwiceDoesNotExtendTheGracePeriod) {
    const Outcome outcome = interruptStubbornChild({SIGTERM, SIGTERM});
    EXPECT_EQ(outcome.signals.size(), 1u);
}

// A different signal interrupts the running cleanup and runs a nested one,
// which may forward SIGINT once more; when it has killed the child, the
// interrupted run finds the child gone instead of waiting again.
TEST_F(SignalGraceTest, DifferentSignalsInQuickSuccessionShareOneGracePeriod) {
    const Outcome outcome = interruptStubbornChild({SIGTERM, SIGQUIT});
    EXPECT_GE(outcome.signals.size(), 1u);
    EXPECT_LE(outcome.signals.size(), 2u);
}

TEST_F(SignalGraceTest, AllThreeSignalsShareOneGracePeriod) {
    const Outcome outcome = interruptStubbornChild({SIGINT, SIGTERM, SIGQUIT});
    EXPECT_GE(outcome.signals.size(), 1u);
    EXPECT_LE(outcome.signals.size(), 3u);
}

}  // namespace
}  // namespace onefile::e2e
