#include <cerrno>
#include <csignal>

#include "launcher/supervision.h"
#include "runtime/launcher_state.h"

namespace onefile {

void handleTerminationSignal(int number, siginfo_t* information, void*) {
    // The interrupted code may be about to look at errno (the main
    // sequence's wait checks for EINTR), so the handler must not change it.
    int savedErrno = errno;
    pid_t child = gChildProcessId;
    gSweepStopped = 1;
    if (gInChild) {
        actAsInherited(number);
    } else if (child == 0) {
        // No child yet to decide: the run stops at the main sequence's next
        // look, whoever sent the signal.
        if (gStopSignal == 0) gStopSignal = number;
    } else if (!gChildReaped && childGotItFromTheKernel(child, information)) {
        // The terminal's key reached the child as well; it decides, and the
        // launcher goes on waiting, as if the child had been run directly.
    } else if (__atomic_exchange_n(&gCleanupRunning, 1, __ATOMIC_SEQ_CST) != 0) {
        // A cleanup runs already (an outer run of this handler, or the main
        // sequence's at the end) and finishes the job. A second request lets
        // the application hurry; the deadline stays.
        if (gGraceStarted) signalChild(child, SIGINT);
    } else {
        // Once the child has ended, only what the run made is left to remove.
        cleanUp(!gChildReaped);
        gCleanupRunning = 0;
    }
    errno = savedErrno;
}

}  // namespace onefile
