// The processors a run may use, for its writer and removal threads.
#pragma once

namespace onefile {

// The processors this process may run on (sched_getaffinity); at least 1.
int countUsableProcessors();

}  // namespace onefile
