// Termination signals at random moments: many runs of a launcher carrying a
// few megabytes, each sent one to three of SIGINT, SIGTERM and SIGQUIT
// within its first 40 ms, so the signals land before the handler exists,
// during the extraction, around the fork and during the wait. Every run must
// end by itself, with a status that the phase it was hit in allows (its own
// signal before the handler, the stop before the application started, or
// the child's own end), and leave nothing in its TMPDIR.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/supervision_support.h"
#include "tests/support/file_helpers.h"

namespace onefile::e2e {
namespace {

using Clock = std::chrono::steady_clock;
using onefile::testing::makeDirectories;
using onefile::testing::writeFile;

constexpr int kRuns = 160;
// Launchers running at the same time; the runs spend most of their time
// waiting for the child or for a poll.
constexpr std::size_t kParallelRuns = 4;
constexpr auto kSignalWindow = std::chrono::microseconds(40000);
constexpr auto kRunTimeout = std::chrono::seconds(10);
constexpr std::uint32_t kDefaultSeed = 20240611;
constexpr std::size_t kDataBytes = 4u << 20;
// The probe's own code: it ended by itself, or after a forwarded SIGINT.
constexpr int kProbeExitCode = 7;
// The probe's end when the forwarded SIGINT came before its handler was in
// place.
constexpr int kProbeKilledBySigint = 128 + SIGINT;
// How long a probe that got no signal waits for one.
constexpr char kProbeWaitMilliseconds[] = "100";

const int kTerminationSignals[] = {SIGINT, SIGTERM, SIGQUIT};

std::string stopMessage(int number) {
    return "Error, stopped by signal " + std::to_string(number) + " before the application started.\n";
}

struct PlannedSignal {
    Clock::duration after;
    int number;
};

struct StormRun {
    int index = 0;
    std::string tmpDir;
    std::vector<PlannedSignal> plan;
    std::size_t sent = 0;
    std::unique_ptr<StartedLauncher> launcher;
};

std::string describePlan(const StormRun& run) {
    std::string text = "run " + std::to_string(run.index) + " (";
    for (const PlannedSignal& signal : run.plan) {
        text += std::string(sigabbrev_np(signal.number)) + " at " +
                std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(signal.after).count()) +
                " us ";
    }
    return text + ")";
}

class SignalStormTest : public SupervisionTest {};

TEST_F(SignalStormTest, RandomSignalsNeverHangOrLeaveFiles) {
    std::uint32_t seed = kDefaultSeed;
    if (const char* chosen = std::getenv("ONEFILE_STORM_SEED")) seed = static_cast<std::uint32_t>(std::stoul(chosen));
    std::cout << "signal storm: seed " << seed << " (set ONEFILE_STORM_SEED to repeat another), " << kRuns
              << " runs" << std::endl;
    std::mt19937 random(seed);

    addProbe();
    writeFile(appDir() + "/data.bin", std::string(kDataBytes, 's'));
    writeFile(appDir() + "/lib/after.txt", "after\n");
    const std::string launcher = pack({"--main", "probe"});

    std::map<std::string, int> outcomes;
    std::vector<StormRun> active;
    int started = 0;
    auto startRun = [&]() {
        StormRun run;
        run.index = started++;
        run.tmpDir = tmpDir() + "/run-" + std::to_string(run.index);
        makeDirectories(run.tmpDir);
        const int count = std::uniform_int_distribution<int>(1, 3)(random);
        std::uniform_int_distribution<long> moment(0, kSignalWindow.count());
        std::uniform_int_distribution<int> which(0, 2);
        for (int i = 0; i < count; ++i) {
            run.plan.push_back({std::chrono::microseconds(moment(random)), kTerminationSignals[which(random)]});
        }
        std::sort(run.plan.begin(), run.plan.end(),
                  [](const PlannedSignal& a, const PlannedSignal& b) { return a.after < b.after; });
        StartOptions options = startOptions();
        options.set("TMPDIR", run.tmpDir);
        options.set("PROBE_REPORT", "/dev/null");
        options.set("PROBE_WAIT_MS", kProbeWaitMilliseconds);
        options.set("PROBE_EXIT", std::to_string(kProbeExitCode));
        options.set("PROBE_PID_FILE", run.tmpDir + ".pid");
        options.set("PROBE_SIGNALS", run.tmpDir + ".signals");
        options.unsetEnvironment.push_back("PROBE_READY_FD");
        options.setEnvironment.erase("PROBE_READY_FD");
        run.launcher = std::make_unique<StartedLauncher>(std::vector<std::string>{launcher}, options);
        run.launcher->setProbePidFile(run.tmpDir + ".pid");
        active.push_back(std::move(run));
    };

    // Judges one finished run; returns the outcome's name for the tally.
    auto judge = [&](const StormRun& run, const ExitState& state) -> std::string {
        const std::string error = run.launcher->standardError();
        const std::string what = describePlan(run) + " " + describe(state) + ", standard error: " + error;
        const auto planned = [&run](int number) {
            return std::any_of(run.plan.begin(), run.plan.end(),
                               [number](const PlannedSignal& signal) { return signal.number == number; });
        };
        // The probe writes its process id first thing.
        const bool childStarted = std::filesystem::exists(run.tmpDir + ".pid");
        const std::vector<std::string> childSignals = readLines(run.tmpDir + ".signals");
        std::string outcome;
        if (state.signal != 0) {
            // Only before the handler is installed; nothing exists on disk then.
            EXPECT_TRUE(planned(state.signal)) << what;
            EXPECT_EQ(error, "") << what;
            EXPECT_FALSE(childStarted) << what;
            outcome = "ended by its signal before the handler";
        } else if (state.exitCode == 2) {
            // Handled before the fork: the run stops between two steps, the
            // child is never started. The first signal handled is named.
            bool named = false;
            for (int number : kTerminationSignals) named = named || (planned(number) && error == stopMessage(number));
            EXPECT_TRUE(named) << what;
            EXPECT_FALSE(childStarted) << what;
            outcome = "2, stopped before the application started";
        } else if (state.exitCode == kProbeExitCode) {
            // The child's own code: on the forwarded SIGINT, or by itself
            // after its 100 ms wait when no signal reached it in time (the
            // test sends late on a busy machine). A forwarded SIGINT lost
            // before the child's exec ends here as well; the phase tests
            // (SignalPhaseTest) catch that one exactly.
            EXPECT_EQ(error, "") << what;
            // Each signal from the test forwards one SIGINT at most.
            EXPECT_LE(childSignals.size(), run.plan.size()) << what;
            for (const std::string& line : childSignals) EXPECT_EQ(line, "signal=2 code=0") << what;
            outcome = childSignals.empty() ? "the child's own code, no signal reached it"
                                           : "the child's own code after the forwarded SIGINT";
        } else if (state.exitCode == kProbeKilledBySigint) {
            // The forwarded SIGINT came before the probe's handler was in place.
            EXPECT_EQ(error, "") << what;
            outcome = "130, the child ended by the forwarded SIGINT";
        } else {
            ADD_FAILURE() << "status no phase allows: " << what;
            outcome = "unexpected";
        }
        std::vector<std::string> left;
        for (const auto& entry : std::filesystem::directory_iterator(run.tmpDir)) {
            left.push_back(entry.path().filename().string());
        }
        EXPECT_EQ(left, std::vector<std::string>{}) << "left in TMPDIR by " << what;
        std::filesystem::remove_all(run.tmpDir);
        std::filesystem::remove(run.tmpDir + ".pid");
        std::filesystem::remove(run.tmpDir + ".signals");
        return outcome;
    };

    const auto stormStart = Clock::now();
    while (started < kRuns || !active.empty()) {
        while (active.size() < kParallelRuns && started < kRuns) startRun();
        const auto now = Clock::now();
        for (auto it = active.begin(); it != active.end();) {
            StormRun& run = *it;
            // Signals go out only before the launcher is reaped, so none can
            // reach a recycled process id.
            while (run.sent < run.plan.size() && now - run.launcher->startTime() >= run.plan[run.sent].after) {
                run.launcher->sendSignal(run.plan[run.sent++].number);
            }
            bool finished = false;
            if (run.sent == run.plan.size()) {
                if (std::optional<ExitState> state = run.launcher->pollExit()) {
                    ++outcomes[judge(run, *state)];
                    finished = true;
                } else if (now - run.launcher->startTime() > kRunTimeout) {
                    run.launcher->kill();
                    ADD_FAILURE() << describePlan(run) << " did not end within "
                                  << std::chrono::duration_cast<std::chrono::seconds>(kRunTimeout).count() << " s";
                    ++outcomes["hung"];
                    std::filesystem::remove_all(run.tmpDir);
                    std::filesystem::remove(run.tmpDir + ".pid");
                    std::filesystem::remove(run.tmpDir + ".signals");
                    finished = true;
                }
            }
            it = finished ? active.erase(it) : it + 1;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - stormStart).count();

    std::cout << "signal storm: " << kRuns << " runs in " << seconds << " s" << std::endl;
    for (const auto& [outcome, count] : outcomes) std::cout << "  " << count << " x " << outcome << std::endl;
    // Most signals land in the wait; a storm in which none did tested little.
    // The sanitizer build's launcher spends its first milliseconds in the
    // sanitizer runtime, before any handler: there most signals of the storm
    // land before the handlers, which the other checks above still judge.
    if (!ONEFILE_SANITIZED_BUILD) {
        EXPECT_GT(outcomes["the child's own code after the forwarded SIGINT"], 0);
    }
}

}  // namespace
}  // namespace onefile::e2e
