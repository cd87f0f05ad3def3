// A termination signal during the wait: the child gets exactly one signal,
// SIGINT from the launcher when another process sent the signal, only the
// terminal's own when the interrupt or quit key was typed (the launcher
// forwards nothing then and leaves the child to decide). Either way the
// launcher removes the extraction directory once the child has ended and
// passes the child's own end on.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e/supervision_support.h"

namespace onefile::e2e {
namespace {

using std::chrono::steady_clock;

// The probe's own exit code after a signal; the launcher passes it on.
constexpr char kProbeExitCode[] = "7";
// The probe goes on recording signals this long after the first one, so a
// second SIGINT would be seen.
constexpr char kLingerMilliseconds[] = "300";
// Well below the 5 s grace period: the child ended at once and was reaped
// at the next poll.
constexpr auto kPromptEnd = std::chrono::seconds(3);

class SignalForwardingTest : public SupervisionTest {
protected:
    void SetUp() override {
        SupervisionTest::SetUp();
        addProbe();
        launcher_ = pack({"--main", "probe"});
    }

    StartOptions waitingProbe() const {
        StartOptions options = startOptions();
        options.set("PROBE_WAIT", "1");
        options.set("PROBE_EXIT", kProbeExitCode);
        options.set("PROBE_LINGER_MS", kLingerMilliseconds);
        return options;
    }

    // Starts the launcher, waits for the probe, lets `interrupt` act and
    // checks the common outcome: the child's exit code, prompt, nothing on
    // disk, the child gone, nothing written. Returns the signals the probe
    // recorded.
    template <typename Interrupt>
    std::vector<std::string> interruptWaitingChild(const StartOptions& options, Interrupt interrupt) {
        StartedLauncher run({launcher_}, options);
        run.setProbePidFile(probePidPath());
        const pid_t probe = run.waitUntilReady() ? readProbePid(probePidPath()) : 0;
        if (probe <= 0) {
            ADD_FAILURE() << "the probe did not report: " << run.standardError();
            return {};
        }
        const ProbeReport report = readReport();
        EXPECT_TRUE(report.complete);
        EXPECT_TRUE(std::filesystem::is_directory(report.directory)) << report.directory;

        const auto sent = steady_clock::now();
        interrupt(run);
        const std::optional<ExitState> state = run.waitForExit();
        const auto elapsed = steady_clock::now() - sent;
        if (!state) {
            ADD_FAILURE() << "the launcher did not end";
            return {};
        }
        EXPECT_EQ(state->exitCode, std::stoi(kProbeExitCode)) << describe(*state);
        EXPECT_LT(elapsed, kPromptEnd);
        EXPECT_EQ(run.standardError(), "");
        EXPECT_EQ(run.standardOutput(), "");
        EXPECT_FALSE(std::filesystem::exists(report.directory)) << report.directory;
        // The launcher has collected its child: no such process any more.
        EXPECT_NE(::kill(probe, 0), 0) << "the probe still runs";
        return receivedSignals();
    }

    std::string launcher_;
};

class SignalFromProcessTest : public SignalForwardingTest, public ::testing::WithParamInterface<int> {};

TEST_P(SignalFromProcessTest, ForwardsOneSigintThenRemovesTheDirectoryAndPassesOnTheChildsCode) {
    const int number = GetParam();
    const std::vector<std::string> signals =
        interruptWaitingChild(waitingProbe(), [number](StartedLauncher& run) { run.sendSignal(number); });
    // SIGINT whichever signal the launcher got, sent with kill (SI_USER).
    EXPECT_EQ(signals, std::vector<std::string>{"signal=2 code=0"});
}

INSTANTIATE_TEST_SUITE_P(TerminationSignals, SignalFromProcessTest,
                         ::testing::Values(SIGINT, SIGTERM, SIGQUIT),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(sigabbrev_np(info.param));
                         });

struct TerminalKey {
    const char* name;
    const char* typed;
    const char* recorded;  // the one signal the child sees, from the kernel
};

void PrintTo(const TerminalKey& key, std::ostream* out) { *out << key.name; }

class SignalFromTerminalTest : public SignalForwardingTest,
                               public ::testing::WithParamInterface<TerminalKey> {};

TEST_P(SignalFromTerminalTest, ChildGetsOnlyTheTerminalsSignalAndItsCodeIsPassedOn) {
    StartOptions options = waitingProbe();
    options.withTerminal = true;
    const std::string typed = GetParam().typed;
    const std::vector<std::string> signals =
        interruptWaitingChild(options, [&typed](StartedLauncher& run) { run.type(typed); });
    // SI_KERNEL is 0x80; a forwarded SIGINT would show as a second line.
    EXPECT_EQ(signals, std::vector<std::string>{GetParam().recorded});
}

INSTANTIATE_TEST_SUITE_P(Keys, SignalFromTerminalTest,
                         ::testing::Values(TerminalKey{"Interrupt", "\x03", "signal=2 code=128"},
                                           TerminalKey{"Quit", "\x1c", "signal=3 code=128"}),
                         [](const ::testing::TestParamInfo<TerminalKey>& info) { return info.param.name; });

}  // namespace
}  // namespace onefile::e2e
