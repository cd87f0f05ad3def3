#include <cerrno>
#include <csignal>
#include <unistd.h>

#include "launcher/supervision.h"
#include "runtime/launcher_state.h"

namespace onefile {

bool childGotItFromTheKernel(pid_t child, const siginfo_t* information) {
    if (information == nullptr || information->si_code != SI_KERNEL) return false;
    return getpgid(child) == getpgrp();
}

void signalChild(pid_t child, int number) {
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, SIGINT);
    sigaddset(&held, SIGQUIT);
    sigaddset(&held, SIGTERM);
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &held, &previous);
    if (!gChildReaped) (void)kill(child, number);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

void relaySignal(int number, siginfo_t* information, void*) {
    int savedErrno = errno;
    pid_t child = gChildProcessId;
    if (gInChild) {
        actAsInherited(number);
    } else if (child == 0) {
        gHeldSignals[number] = 1;
    } else if (!childGotItFromTheKernel(child, information)) {
        signalChild(child, number);
    }
    errno = savedErrno;
}

void passHeldSignals() {
    pid_t child = gChildProcessId;
    for (int number = 1; number < kSignalSlots; ++number) {
        if (gHeldSignals[number] == 0) continue;
        gHeldSignals[number] = 0;
        signalChild(child, number);
    }
}

}  // namespace onefile
