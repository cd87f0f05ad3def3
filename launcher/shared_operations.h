// Small operations that the launcher's parts share.
#pragma once

#include <cstddef>
#include <cstdint>

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

// Copies source, NUL included, into destination when it fits capacity;
// otherwise stops the launcher naming `what`. Nothing is copied when
// destination and source are the same buffer.
void copyStringBounded(char* destination, const char* source, std::size_t capacity,
                       const char* what);

// Writes "what: <system text for errorNumber>" as one line on standard error.
void reportSystemError(const char* what, int errorNumber);

// Sets the environment variable `name` to the decimal text of value.
void setEnvironmentNumber(const char* name, std::int64_t value);

// The stop for a string that does not fit its fixed buffer: one line on
// standard error naming what did not fit, exit status 2, no cleanup. Callers
// invoke it before writing anything of the string.
[[noreturn]] void stopOnBrokenLimit(const char* what);

// Removes the levels above the extraction directory that this run made
// (gCreatedLevels), deepest first, where they are empty. Async-signal-safe.
void removeCreatedLevels();

// Exit status of every fatal error of the launcher itself.
inline constexpr int kFatalExitStatus = 2;

}  // namespace onefile
