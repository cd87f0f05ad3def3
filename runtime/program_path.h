// The launcher's own executable path, read once from /proc/self/exe.
#pragma once

#include <cstddef>

namespace onefile {

// Size of the program path cache and of the launcher directory buffer.
inline constexpr std::size_t kProgramPathBytes = 4097;

// Returns the launcher's own executable path, the text of /proc/self/exe,
// read at most once per process. Stops the launcher when the link cannot be
// read.
const char* getProgramPath();

// Fills the link buffer from /proc/self/exe unless it already holds the path,
// and returns it. The child uses it to name itself after fork.
const char* readProgramLink();

}  // namespace onefile
