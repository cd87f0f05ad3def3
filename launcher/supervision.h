// Child supervision and cleanup: the signals the launcher handles, stopping
// the child, and removing what the run made (runtime/directory_removal.h), at
// the normal end, on a failed fork and from the termination-signal handler.
#pragma once

#include <csignal>
#include <sys/types.h>

namespace onefile {

// Makes sure the child is gone (forwarding SIGINT first when asked, then the
// grace period up to its one deadline and SIGKILL), removes the extraction
// directory when the removal flag is set, and the levels above it that this
// run made. Async-signal-safe.
void cleanUp(bool forwardInterrupt);

// Sets the launcher's signal dispositions, remembering those it was given:
//  - SIGINT, SIGQUIT, SIGTERM: handleTerminationSignal, unless inherited as
//    ignored, when they stay ignored;
//  - the signals meant for the application (SIGHUP, SIGUSR1, SIGUSR2,
//    SIGALRM, SIGVTALRM, SIGPROF, SIGIO, SIGPWR, SIGXCPU, the real-time
//    signals): relaySignal, unless inherited as ignored;
//  - SIGPIPE and SIGXFSZ ignored: a failed write reports itself;
//  - SIGCHLD at its default, so the child can be waited for.
void installSignalHandling();

// In the child before exec: the dispositions that exec would not put back
// as the launcher was given them (the signals it ignores, SIGCHLD), then the
// signal mask it was given. Exec resets every handled signal to its default,
// which is what the launcher was given for each: a signal inherited as
// ignored never gets a handler. Until the exec, a handled signal that
// arrives meets the launcher's handler, which acts as the default would
// (actAsInherited).
void restoreInheritedSignals(const sigset_t& originalMask);

// In the child, from a handler: the default disposition for `number`, and
// the signal raised again, so it does to the child what it would have done
// had the child's dispositions been put back before the mask opened.
// Async-signal-safe.
void actAsInherited(int number);

// The signals the launcher handles: what the main sequence holds back across
// the fork.
sigset_t handledSignals();

// Before the fork every termination signal only asks the run to stop
// (gStopSignal); after it, one from another process (or from the kernel when
// the child left our process group, so it did not get the key itself)
// forwards SIGINT and starts the grace period, and a later one forwards
// SIGINT again without moving the deadline. One the kernel sent to the whole
// foreground group (the terminal's keys) reached the child too: the child
// decides, and the launcher goes on waiting.
void handleTerminationSignal(int number, siginfo_t* information, void* context);

// Passes a signal meant for the application on to the child unchanged, or
// holds it until the child exists; not again when the kernel sent it to a
// process group that the child shares.
void relaySignal(int number, siginfo_t* information, void* context);

// In the parent right after the fork: passes on what relaySignal held.
void passHeldSignals();

// Whether the kernel sent the signal (a terminal key, for one) to a process
// group that the child belongs to as well, so the child got it itself.
bool childGotItFromTheKernel(pid_t child, const siginfo_t* information);

// Sends `number` to the child unless it was reaped already; the check and
// the send run with the termination signals held back, so no nested handler
// can reap the child in between. Async-signal-safe.
void signalChild(pid_t child, int number);

}  // namespace onefile
