// The worker threads of a run (entry writers, the removal's first pass): how
// many processors there are for them, and how they start.
#pragma once

#include <pthread.h>

namespace onefile {

// The processors this process may run on (sched_getaffinity); at least 1.
int countUsableProcessors();

// Starts up to `wanted` threads of `routine`, each given its number (1, 2,
// ...) as its argument, on small stacks and with every signal blocked, so
// that each signal reaches the main thread. Returns how many started; their
// ids are in threads[0 .. count). Fewer than wanted when the system has no
// more threads to give: the caller does the rest itself.
int startWorkerThreads(pthread_t* threads, int wanted, void* (*routine)(void*));

}  // namespace onefile
