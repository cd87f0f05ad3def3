// A child that ignores SIGINT: the cleanup polls it until one deadline, 5 s
// after the first termination signal on the monotonic clock, then sends
// SIGKILL, removes the directory and the launcher passes the child's end on:
// 128 + 9 = 137. Each later termination signal from a process forwards one
// more SIGINT, but none moves the deadline.
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

// The deadline is 5 s after the launcher's handler read the clock, which is
// after the test's first send (steady_clock is the same monotonic clock);
// the upper bound leaves room for the last poll and a loaded machine.
constexpr double kGraceShortest = 5.0;
constexpr double kGraceLongest = 6.5;
// How long a one-at-a-time send waits for the probe to record the SIGINT of
// the signal before.
constexpr auto kForwardTimeout = std::chrono::milliseconds(2000);

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

    enum class Pace { backToBack, oneAtATime };

    // Sends `sequence` to a launcher whose child ignores SIGINT (or, with
    // `stopChild`, has been stopped), back to back or each signal once the
    // probe has recorded the SIGINT forwarded for the one before, and checks
    // what every such run must show.
    Outcome interruptStubbornChild(const std::vector<int>& sequence, bool stopChild = false,
                                   Pace pace = Pace::backToBack) {
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
        for (std::size_t i = 0; i < sequence.size(); ++i) {
            if (pace == Pace::oneAtATime && i > 0) {
                const auto given = steady_clock::now() + kForwardTimeout;
                while (receivedSignals().size() < i && steady_clock::now() < given) usleep(1000);
                EXPECT_EQ(receivedSignals().size(), i) << "no SIGINT for signal " << i << " of the sequence";
            }
            run.sendSignal(sequence[i]);
        }
        const std::optional<ExitState> state = run.waitForExit(std::chrono::seconds(15));
        outcome.seconds = Seconds(steady_clock::now() - sent).count();
        if (!state) {
            ADD_FAILURE() << "the launcher did not end";
            return outcome;
        }
        outcome.state = *state;
        outcome.signals = receivedSignals();
        // The child's own end is passed on: SIGKILL at the deadline.
        EXPECT_EQ(state->exitCode, 128 + SIGKILL) << describe(*state);
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

TEST_F(SignalGraceTest, ChildIgnoringSigintIsKilledAtTheDeadline) {
    const Outcome outcome = interruptStubbornChild({SIGTERM});
    EXPECT_EQ(outcome.signals.size(), 1u);
}

// A stopped child cannot act on SIGINT; it is killed all the same, and its
// end is SIGKILL's.
TEST_F(SignalGraceTest, StoppedChildIsKilledAtTheDeadline) {
    const Outcome outcome = interruptStubbornChild({SIGTERM}, true);
    EXPECT_EQ(outcome.signals, std::vector<std::string>{});
}

// The same signal once more while the child is given its time: one more
// SIGINT reaches the child, the deadline stays where the first put it.
TEST_F(SignalGraceTest, SameSignalAgainForwardsOneMoreSigintAndKeepsTheDeadline) {
    const Outcome outcome = interruptStubbornChild({SIGTERM, SIGTERM}, false, Pace::oneAtATime);
    EXPECT_EQ(outcome.signals.size(), 2u);
}

// A different signal right behind the first: one handler runs the cleanup
// and sets the deadline, the other forwards at most one more SIGINT (none
// when it comes to run only once the child is gone); there is no second wait.
TEST_F(SignalGraceTest, DifferentSignalsInQuickSuccessionShareOneDeadline) {
    const Outcome outcome = interruptStubbornChild({SIGTERM, SIGQUIT});
    EXPECT_GE(outcome.signals.size(), 1u);
    EXPECT_LE(outcome.signals.size(), 2u);
}

TEST_F(SignalGraceTest, AllThreeSignalsEachForwardOneSigintAndShareOneDeadline) {
    const Outcome outcome = interruptStubbornChild({SIGINT, SIGTERM, SIGQUIT}, false, Pace::oneAtATime);
    EXPECT_EQ(outcome.signals.size(), 3u);
}

}  // namespace
}  // namespace onefile::e2e
