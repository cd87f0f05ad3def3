#include <csignal>

#include "launcher/supervision.h"
#include "runtime/launcher_state.h"

namespace onefile {

namespace {

constexpr int kTerminationSignals[] = {SIGINT, SIGQUIT, SIGTERM};
constexpr int kApplicationSignals[] = {SIGHUP,    SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM,
                                       SIGPROF,   SIGIO,   SIGPWR,  SIGXCPU};
constexpr int kIgnoredSignals[] = {SIGPIPE, SIGXFSZ};

// What the launcher was given, for the signals whose disposition it changed.
struct sigaction inheritedActions[kSignalSlots];
bool changed[kSignalSlots];
// Changed without a handler: exec keeps an ignored signal ignored, so the
// child must put these back itself.
bool restoredBeforeExec[kSignalSlots];

bool isIgnored(const struct sigaction& action) { return action.sa_handler == SIG_IGN; }

void setDisposition(int number, const struct sigaction& action) {
    if (sigaction(number, &action, &inheritedActions[number]) != 0) return;
    changed[number] = true;
}

void setHandler(int number, void (*handler)(int, siginfo_t*, void*), int flags) {
    struct sigaction action = {};
    action.sa_sigaction = handler;
    // The additional mask is empty: a termination signal can interrupt the
    // cleanup of another, and only forwards then.
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | flags;
    setDisposition(number, action);
    // A signal the launcher was started with ignored (a background job of a
    // script, nohup) stays ignored, here and in the child. Asked and set in
    // one call: that case is rare, and the start-up counts its calls.
    if (changed[number] && isIgnored(inheritedActions[number])) {
        (void)sigaction(number, &inheritedActions[number], nullptr);
        changed[number] = false;
    }
}

void setSimple(int number, void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    setDisposition(number, action);
    restoredBeforeExec[number] = changed[number];
}

template <typename Visit>
void forEachApplicationSignal(Visit visit) {
    for (int number : kApplicationSignals) visit(number);
    for (int number = SIGRTMIN; number <= SIGRTMAX && number < kSignalSlots; ++number) visit(number);
}

}  // namespace

void installSignalHandling() {
    // No SA_RESTART: the main sequence's blocking wait must fail with EINTR
    // after a cleanup, so that it finds the child collected. SA_NODEFER: the
    // same signal again during the grace period forwards once more.
    for (int number : kTerminationSignals) setHandler(number, handleTerminationSignal, SA_NODEFER);
    // Restarted: passing a signal on must not disturb a write or the wait.
    forEachApplicationSignal([](int number) { setHandler(number, relaySignal, SA_RESTART); });
    for (int number : kIgnoredSignals) setSimple(number, SIG_IGN);
    setSimple(SIGCHLD, SIG_DFL);
}

void restoreInheritedSignals(const sigset_t& originalMask) {
    // A handled signal keeps the launcher's handler until the exec resets
    // it: some forty calls fewer between the fork and the exec. A signal
    // that arrives meanwhile (a SIGINT forwarded, a SIGHUP passed on) finds
    // gInChild set, and the handler makes it act on the child as the
    // application would see it, instead of only recording it.
    gInChild = 1;
    for (int number = 1; number < kSignalSlots; ++number) {
        if (restoredBeforeExec[number]) (void)sigaction(number, &inheritedActions[number], nullptr);
    }
    sigprocmask(SIG_SETMASK, &originalMask, nullptr);
}

void actAsInherited(int number) {
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    (void)sigaction(number, &action, nullptr);
    // Delivered at once where the handler runs with SA_NODEFER, else as
    // soon as the handler returns.
    (void)raise(number);
}

sigset_t handledSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int number : kTerminationSignals) sigaddset(&signals, number);
    forEachApplicationSignal([&signals](int number) { sigaddset(&signals, number); });
    return signals;
}

}  // namespace onefile
