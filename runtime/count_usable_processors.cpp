#include <sched.h>

#include "runtime/worker_threads.h"

namespace onefile {

int countUsableProcessors() {
    // The processors this process may run on, not all the machine has: a
    // launcher pinned to one core takes the single-threaded path.
    cpu_set_t processors;
    if (sched_getaffinity(0, sizeof processors, &processors) != 0) return 1;
    return CPU_COUNT(&processors);
}

}  // namespace onefile
