#include <cerrno>
#include <csignal>

#include "launcher/launcher_state.h"
#include "launcher/supervision.h"

namespace onefile {

void handleTerminationSignal(int, siginfo_t* information, void*) {
    // The interrupted code may be about to look at errno (the main
    // sequence's wait checks for EINTR), so the cleanup must not change it.
    int savedErrno = errno;
    gTerminationHandled = 1;
    // The terminal sends its interrupt and quit keys to the whole foreground
    // process group, the child included: those come from the kernel and are
    // not forwarded a second time.
    bool forwardInterrupt = information == nullptr || information->si_code != SI_KERNEL;
    cleanUp(forwardInterrupt);
    errno = savedErrno;
}

void installTerminationHandler() {
    // No SA_RESTART: the main sequence's blocking wait must fail with EINTR
    // after a cleanup so that it finds the child gone. The additional mask is
    // empty, so one termination signal can interrupt the cleanup of another.
    struct sigaction action = {};
    action.sa_sigaction = handleTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO;
    (void)sigaction(SIGINT, &action, nullptr);
    (void)sigaction(SIGQUIT, &action, nullptr);
    (void)sigaction(SIGTERM, &action, nullptr);
}

}  // namespace onefile
