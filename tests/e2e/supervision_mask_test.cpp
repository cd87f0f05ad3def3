// The child starts with the signal mask the launcher was started with: the
// termination signals that the launcher holds back around the fork must not
// stay blocked in the child, and signals blocked by the launcher's caller
// must stay blocked, the termination signals included.
#include <gtest/gtest.h>

#include <signal.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e/supervision_support.h"

namespace onefile::e2e {
namespace {

struct MaskCase {
    const char* name;
    std::vector<int> blocked;
    const char* reported;  // the probe's "blocked=" value
};

void PrintTo(const MaskCase& mask, std::ostream* out) { *out << mask.name; }

class SupervisionMaskTest : public SupervisionTest, public ::testing::WithParamInterface<MaskCase> {};

TEST_P(SupervisionMaskTest, ChildStartsWithTheLaunchersMask) {
    addProbe();
    const std::string launcher = pack({"--main", "probe"});
    StartOptions options = startOptions();
    options.blockedSignals = GetParam().blocked;
    options.set("PROBE_EXIT", "3");
    StartedLauncher run({launcher}, options);
    const std::optional<ExitState> state = run.waitForExit();
    ASSERT_TRUE(state) << "the launcher did not end";
    EXPECT_EQ(state->exitCode, 3) << describe(*state) << "\n" << run.standardError();
    const ProbeReport report = readReport();
    ASSERT_TRUE(report.complete);
    EXPECT_EQ(report.blocked, GetParam().reported);
}

INSTANTIATE_TEST_SUITE_P(
    Masks, SupervisionMaskTest,
    ::testing::Values(MaskCase{"NothingBlocked", {}, ""},
                      MaskCase{"UserSignalBlocked", {SIGUSR1}, "10,"},
                      MaskCase{"TerminationSignalBlocked", {SIGUSR1, SIGTERM}, "10,15,"},
                      MaskCase{"AllTerminationSignalsBlocked", {SIGINT, SIGQUIT, SIGTERM, SIGHUP}, "1,2,3,15,"}),
    [](const ::testing::TestParamInfo<MaskCase>& info) { return info.param.name; });

}  // namespace
}  // namespace onefile::e2e
