#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <sys/wait.h>
#include <unistd.h>

#include "launcher/launcher_state.h"
#include "launcher/shared_operations.h"
#include "launcher/supervision.h"

// Everything here may run inside the termination handler, also nested in
// another run of itself: only async-signal-safe calls, no heap, no stdio.
//
// Late signals. A run of the cleanup can be interrupted by a different
// termination signal whose nested run reaps the child; once reaped, the child
// process id may be given to an unrelated process. Two rules keep a signal
// from ever reaching such a process:
//  - every wait that collects the child, and every poll that learns it is no
//    longer ours (ECHILD), sets gChildReaped before anything else can run;
//  - each send checks gChildReaped, and the check poll together with its
//    SIGINT, and the check before SIGKILL together with the send, run with
//    the three termination signals held back, so no nested run can reap the
//    child between the check and the send.
// The main sequence's wait cannot reap the child while a run is in progress:
// the handler runs on the launcher's only thread and the wait resumes only
// after the handler returns.

namespace onefile {

namespace {

constexpr long kNanosecondsPerSecond = 1000000000;
// Requested sleep between two polls of the grace period.
constexpr struct timespec kGraceSleep = {0, 200000000};
// The grace period ends when this much requested sleep has been counted.
constexpr std::uint64_t kGraceSeconds = 5;

enum class PollResult { running, gone, failed };

// Holds SIGINT, SIGQUIT and SIGTERM back; previous receives the mask to
// restore with releaseTerminationSignals.
void holdTerminationSignals(sigset_t* previous) {
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, SIGINT);
    sigaddset(&held, SIGQUIT);
    sigaddset(&held, SIGTERM);
    sigprocmask(SIG_BLOCK, &held, previous);
}

void releaseTerminationSignals(const sigset_t* previous) {
    sigprocmask(SIG_SETMASK, previous, nullptr);
}

void writeText(const char* text) { (void)!write(STDERR_FILENO, text, strlen(text)); }

// The "waitpid" report, as perror would print it, made of write calls only.
void reportWaitFailure(int errorNumber) {
    writeText("waitpid: ");
    // The C library's strerror is a lookup in a constant table, safe here.
    writeText(strerror(errorNumber));
    writeText("\n");
}

PollResult pollChild(pid_t child) {
    for (;;) {
        pid_t result = waitpid(child, nullptr, WNOHANG);
        if (result == child) {
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

// Counts requested sleep, not measured time: a sleep cut short by a signal
// still counts in full, so signals shorten the grace period.
struct ElapsedCounter {
    std::uint64_t seconds;
    std::uint64_t nanoseconds;
};

void countSleep(ElapsedCounter* elapsed) {
    elapsed->nanoseconds += static_cast<std::uint64_t>(kGraceSleep.tv_nsec);
    elapsed->seconds += elapsed->nanoseconds / kNanosecondsPerSecond;
    elapsed->nanoseconds %= kNanosecondsPerSecond;
}

// Returns true when the child has ended or is gone, false when it still runs
// after the grace period or a poll failed.
bool waitThroughGracePeriod(pid_t child) {
    ElapsedCounter elapsed = {0, 0};
    for (;;) {
        PollResult result = pollChild(child);
        if (result == PollResult::gone) return true;
        if (result == PollResult::failed) return false;
        struct timespec remaining;
        (void)nanosleep(&kGraceSleep, &remaining);
        countSleep(&elapsed);
        if (elapsed.seconds == kGraceSeconds) return false;
    }
}

void killChild(pid_t child) {
    sigset_t previous;
    holdTerminationSignals(&previous);
    if (!gChildReaped) (void)kill(child, SIGKILL);
    releaseTerminationSignals(&previous);
}

void stopChild(pid_t child, bool forwardInterrupt) {
    sigset_t previous;
    holdTerminationSignals(&previous);
    PollResult checked = pollChild(child);
    // SIGINT only to a child that this poll has just seen running.
    if (checked == PollResult::running && forwardInterrupt && !gChildReaped) {
        (void)kill(child, SIGINT);
    }
    releaseTerminationSignals(&previous);
    if (checked == PollResult::gone) return;
    if (checked == PollResult::running && waitThroughGracePeriod(child)) return;
    // The child is not reaped: SIGKILL, without waiting for it to die. It
    // stays a zombie until the main sequence's wait or a later poll.
    killChild(child);
}

}  // namespace

void cleanUp(bool forwardInterrupt) {
    pid_t child = gChildProcessId;
    if (child != 0) stopChild(child, forwardInterrupt);
    if (gRemovalFlag) removeExtractionDirectory();
    removeCreatedLevels();
}

}  // namespace onefile
