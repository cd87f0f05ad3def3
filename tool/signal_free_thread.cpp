#include "tool/signal_free_thread.h"

#include <pthread.h>

#include <csignal>

namespace onefile::tool {

std::thread startSignalFreeThread(std::function<void()> work) {
    // A new thread inherits the mask of the one that creates it.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    (void)::pthread_sigmask(SIG_SETMASK, &all, &previous);
    std::thread thread;
    try {
        thread = std::thread(std::move(work));
    } catch (...) {
        (void)::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        throw;
    }
    (void)::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return thread;
}

}  // namespace onefile::tool
