#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <sys/wait.h>
#include <unistd.h>

#include "launcher/supervision.h"
#include "runtime/directory_removal.h"
#include "runtime/error_text.h"
#include "runtime/launcher_state.h"

// Everything here may run inside the termination handler, also nested in
// another run of itself: only async-signal-safe calls, no heap, no stdio.
//
// Late signals. A run of the cleanup can be interrupted by a termination
// signal whose handler collects the child or sends it a signal; once
// collected, the child process id may be given to an unrelated process. Two
// rules keep a signal from ever reaching such a process:
//  - every wait that collects the child, and every poll that learns it is no
//    longer ours (ECHILD), sets gChildReaped before anything else can run;
//  - each send checks gChildReaped, and the check together with the send
//    runs with the three termination signals held back (signalChild), so no
//    nested run can collect the child between the check and the send.
// The main sequence's wait cannot collect the child while a run is in
// progress: the handler runs on the launcher's only thread and the wait
// resumes only after the handler returns.

namespace onefile {

namespace {

constexpr long kNanosecondsPerSecond = 1000000000;
// Longest sleep between two polls of the grace period.
constexpr long kPollIntervalNanoseconds = 200000000;
// From the first termination signal to SIGKILL at the latest.
constexpr time_t kGraceSeconds = 5;

enum class PollResult { running, gone, failed };

void writeText(const char* text) { (void)!write(STDERR_FILENO, text, strlen(text)); }

// The "waitpid" report, as perror would print it, made of write calls only.
void reportWaitFailure(int errorNumber) {
    writeText("waitpid: ");
    writeText(describeError(errorNumber));
    writeText("\n");
}

PollResult pollChild(pid_t child) {
    for (;;) {
        int status = 0;
        pid_t result = waitpid(child, &status, WNOHANG);
        if (result == child) {
            gChildStatus = status;
            gChildStatusKnown = 1;
            gChildReaped = 1;
            return PollResult::gone;
        }
        if (result == 0) return PollResult::running;
        if (errno == EINTR) continue;
        if (errno == ECHILD) {
            gChildReaped = 1;
            return PollResult::gone;
        }
        reportWaitFailure(errno);
        return PollResult::failed;
    }
}

// Sets the run's one deadline, unless an earlier signal set it.
void startGracePeriod() {
    if (gGraceStarted) return;
    struct timespec now;
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    gGraceDeadline = {now.tv_sec + kGraceSeconds, now.tv_nsec};
    gGraceStarted = 1;
}

// The time left until the deadline, at most one poll interval; false when
// the deadline has passed.
bool nextSleep(struct timespec* sleep) {
    struct timespec now;
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    std::int64_t left = (static_cast<std::int64_t>(gGraceDeadline.tv_sec) - now.tv_sec) * kNanosecondsPerSecond +
                        (gGraceDeadline.tv_nsec - now.tv_nsec);
    if (left <= 0) return false;
    if (left > kPollIntervalNanoseconds) left = kPollIntervalNanoseconds;
    *sleep = {0, static_cast<long>(left)};
    return true;
}

// Returns true when the child has ended or is gone, false when it still runs
// at the deadline or a poll failed. A signal that cuts a sleep short only
// brings the next poll forward.
bool waitUntilDeadline(pid_t child) {
    for (;;) {
        PollResult result = pollChild(child);
        if (result == PollResult::gone) return true;
        if (result == PollResult::failed) return false;
        struct timespec sleep;
        if (!nextSleep(&sleep)) return false;
        (void)nanosleep(&sleep, nullptr);
    }
}

void stopChild(pid_t child, bool forwardInterrupt) {
    if (pollChild(child) == PollResult::gone) return;
    startGracePeriod();
    if (forwardInterrupt) signalChild(child, SIGINT);
    if (waitUntilDeadline(child)) return;
    // Not collected: SIGKILL, without waiting for it to die. It stays a
    // zombie until the main sequence's wait collects it with its status.
    signalChild(child, SIGKILL);
}

}  // namespace

void cleanUp(bool forwardInterrupt) {
    pid_t child = gChildProcessId;
    if (child != 0) stopChild(child, forwardInterrupt);
    removeWhatThisRunMade();
}

}  // namespace onefile
