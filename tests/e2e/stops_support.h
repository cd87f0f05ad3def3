// What the tests of how a run ends share, beyond the supervision helpers:
// programs found through PATH, launchers started with chosen signals
// ignored, waits for a line in a record file, the state of a process, runs
// inside a private mount namespace of their own, and a fixture that packs
// the probe for every test.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/e2e/supervision_support.h"

namespace onefile::e2e {

// The path of the program `name` as PATH finds it; empty when none.
std::string findProgram(const std::string& name);

// Whether env(1) can start a program with signals ignored
// (--ignore-signal); when not, `reason` says why.
bool envIgnoresSignals(std::string* reason);

// argv that runs `argv` through env(1) with `ignored` set to be ignored: an
// ignored disposition survives exec, so the program starts with it.
std::vector<std::string> ignoring(const std::vector<int>& ignored, const std::vector<std::string>& argv);

// The mask of signals that "SigIgn:" (or another such line) of a
// /proc/PID/status text shows, bit N-1 for signal N; -1 when absent.
long long signalMaskLine(const std::string& status, const std::string& key);

// A mask with the bit of each of `numbers`.
long long maskOf(const std::vector<int>& numbers);

// Waits until the file at `path` holds the line `line`; false after
// `timeout`.
bool waitForLine(const std::string& path, const std::string& line, Milliseconds timeout = Milliseconds(10000));

// The state letter of process `pid` (R, S, T, Z...) from /proc/PID/stat;
// empty when there is no such process.
std::string processState(pid_t pid);

// Ends the probe whose process id the file at `pidFile` holds, if it still
// runs: a launcher that ended without collecting its child must not leave
// it behind once the test has failed on that. The process must carry the
// probe's environment pointing at that file, so a reused process id is left
// alone.
void endLeftoverProbe(const std::string& pidFile);

// The arguments that run `script` with sh as root of a private mount
// namespace (in a user namespace of its own when this process is not root);
// "$@" holds `arguments`. Mounts made there vanish with the namespace.
std::vector<std::string> inPrivateMountNamespace(const std::string& script,
                                                 const std::vector<std::string>& arguments);

// The exit code a script given to inPrivateMountNamespace uses when it
// could not mount what it needs.
inline constexpr int kMountFailedStatus = 97;

// Why a run of inPrivateMountNamespace did not get to its test, or empty
// when it did: the namespace or the mount was refused on this machine.
std::string namespaceSkipReason(const onefile::testing::ProcessResult& result);

// A SupervisionTest with a launcher whose main executable is the probe,
// packed for every test (launcher_). A probe that the launcher left behind
// when a test failed is ended.
class StopsTest : public SupervisionTest {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string launcher_;
};

}  // namespace onefile::e2e
