// What the supervision, signal and removal tests share: a launcher started
// in the background, so that a test can wait for the probe's readiness, send
// signals, type into its terminal and time its end, and small helpers around
// it (the probe's signal record, the extraction directories left behind).
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/launcher_fixture.h"

namespace onefile::e2e {

// The descriptor on which the probe reports readiness (PROBE_READY_FD).
inline constexpr int kReadyDescriptor = 3;

using Milliseconds = std::chrono::milliseconds;

struct StartOptions {
    std::map<std::string, std::string> setEnvironment;  // added or replaced
    std::vector<std::string> unsetEnvironment;          // removed
    std::string workingDirectory;                       // empty: the caller's
    // Signals blocked when the launcher starts; all others are unblocked and
    // every disposition is the default one.
    std::vector<int> blockedSignals;
    // Start the launcher as the leader of a new session whose controlling
    // terminal is a fresh pseudo-terminal (its standard input); its process
    // group is the terminal's foreground group.
    bool withTerminal = false;
    // Start the launcher in a private mount namespace of its own.
    bool privateMountNamespace = false;
    std::optional<uid_t> userId;
    std::optional<gid_t> groupId;
    // Standard error goes to this descriptor instead of a captured file.
    int standardError = -1;
    // When above 0, the launcher runs on at most this many of the processors
    // the test may use (sched_setaffinity): with 1, a large payload is
    // written by the main thread alone, in block order.
    int processors = 0;

    // Sets one variable of the launcher's environment.
    StartOptions& set(const std::string& name, std::string value) {
        setEnvironment[name] = std::move(value);
        return *this;
    }
    // Sets several, such as the controls of a launcher with hooks.
    StartOptions& setAll(const std::map<std::string, std::string>& variables) {
        for (const auto& [name, value] : variables) setEnvironment[name] = value;
        return *this;
    }
};

struct ExitState {
    int exitCode = -1;  // when the launcher exited, else -1
    int signal = 0;     // the signal that ended it, else 0
};

std::string describe(const ExitState& state);

// A launcher running in the background. The destructor kills a launcher that
// is still running, and the probe it started if that left its process id.
class StartedLauncher {
public:
    StartedLauncher(const std::vector<std::string>& argv, const StartOptions& options);
    StartedLauncher(const StartedLauncher&) = delete;
    StartedLauncher& operator=(const StartedLauncher&) = delete;
    ~StartedLauncher();

    pid_t pid() const { return pid_; }
    std::chrono::steady_clock::time_point startTime() const { return started_; }

    // Waits until the probe writes "ready" on its readiness descriptor; false
    // when the launcher ended or closed the descriptor first, or on timeout.
    bool waitUntilReady(Milliseconds timeout = Milliseconds(10000));

    void sendSignal(int number) const;
    // Writes `text` to the terminal's master side, as if typed.
    void type(const std::string& text) const;

    // Reaps the launcher; nothing when it still runs after `timeout`.
    std::optional<ExitState> waitForExit(Milliseconds timeout = Milliseconds(10000));
    // Reaps the launcher if it has ended, without waiting.
    std::optional<ExitState> pollExit();
    // Ends a launcher that has not ended: SIGKILL to it and to its probe.
    void kill();

    std::string standardOutput() const;
    std::string standardError() const;

    // The probe's process id, read from this file when the launcher is killed.
    void setProbePidFile(const std::string& path) { probePidFile_ = path; }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    ExitState exit_;
    int readyRead_ = -1;
    int output_ = -1;
    int error_ = -1;
    int terminal_ = -1;
    std::string probePidFile_;
    std::chrono::steady_clock::time_point started_;
};

// The lines of a text file; none when it does not exist.
std::vector<std::string> readLines(const std::string& path);

// The process id that the probe wrote (PROBE_PID_FILE), 0 when none.
pid_t readProbePid(const std::string& path);

// Whether this process may give a child a private mount namespace.
bool privateMountNamespaceAvailable();

// Bind-mounts `source` onto `target` inside the mount namespace of process
// `pid`; false when that fails.
bool bindMountInNamespaceOf(pid_t pid, const std::string& source, const std::string& target);

// The names in `directory` in the order in which reading the directory
// delivers them, "." and ".." left out.
std::vector<std::string> directoryOrder(const std::string& directory);

// The system call that process `pid` is blocked in: the first two fields of
// /proc/PID/syscall ("1 0x2" for a write to standard error), "running" while
// it runs, or "" when the file cannot be read.
std::string blockedSystemCall(pid_t pid);

// The value of the probe's environment variable, or "".
std::string probeVariable(const ProbeReport& report, const std::string& name);

// Whether `path` names an extraction directory that a launcher with the
// default template makes in `tmpDir`: onefile_PID_MICROSECONDS_TOKEN.
bool isExtractionDirectory(const std::string& path, const std::string& tmpDir);

// When `error` is exactly the report "Error, failed to open '<path>' for
// writing." of an entry below an extraction directory in `tmpDir`: the
// entry's name, relative to that directory.
std::optional<std::string> entryThatFailedToOpen(const std::string& error, const std::string& tmpDir);

// A LauncherTest whose runs start in the background, with the probe's
// readiness, signal record and process id wired to files of the test.
class SupervisionTest : public LauncherTest {
protected:
    // Options of a background run: TMPDIR = tmpDir(), the probe's report,
    // signal record and process id in files of temp(), readiness on
    // kReadyDescriptor, working directory temp(), no protocol variables.
    StartOptions startOptions() const;

    std::string reportPath() const { return temp().file("report"); }
    std::string signalsPath() const { return temp().file("signals"); }
    std::string probePidPath() const { return temp().file("probe.pid"); }

    ProbeReport readReport() const;
    std::vector<std::string> receivedSignals() const { return readLines(signalsPath()); }
};

}  // namespace onefile::e2e
