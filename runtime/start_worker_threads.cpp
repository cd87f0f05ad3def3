#include <csignal>
#include <cstdint>
#include <pthread.h>

#include "runtime/worker_threads.h"

namespace onefile {

namespace {

// A worker keeps its buffers in static storage or in a frame of a few pages.
constexpr std::size_t kWorkerStackBytes = 64u << 10;

}  // namespace

int startWorkerThreads(pthread_t* threads, int wanted, void* (*routine)(void*)) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return 0;
    (void)pthread_attr_setstacksize(&attributes, kWorkerStackBytes);
    // Workers start with every signal blocked, so each one reaches the main
    // thread, whose handlers stop the workers before anything is removed.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    int started = 0;
    while (started < wanted) {
        void* number = reinterpret_cast<void*>(static_cast<std::intptr_t>(started + 1));
        if (pthread_create(&threads[started], &attributes, routine, number) != 0) break;
        ++started;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attributes);
    return started;
}

}  // namespace onefile
