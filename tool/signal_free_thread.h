// Helper threads of the tool start with every signal blocked: a termination
// signal then always finds the thread that writes, whose guards keep the
// temporary output and its removal in step.
#pragma once

#include <functional>
#include <thread>

namespace onefile::tool {

// Starts `work` on a new thread that blocks every signal; the caller's own
// mask is the same afterwards.
std::thread startSignalFreeThread(std::function<void()> work);

}  // namespace onefile::tool
