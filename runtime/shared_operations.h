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

// The system's text for an error number, as Linux users know it ("Input/output
// error"), whatever C library the launcher was built with. Async-signal-safe.
const char* describeError(int errorNumber);

// Writes "what: <system text for errorNumber>" as one line on standard error.
void reportSystemError(const char* what, int errorNumber);

// Sets the environment variable `name` to `value`, as setenv does, without
// the heap: the text and, once the environment grows, the environment are
// kept in static storage.
void setLaunchVariable(const char* name, const char* value);

// Sets the environment variable `name` to the decimal text of value.
void setEnvironmentNumber(const char* name, std::int64_t value);

// The stop for a string that does not fit its fixed buffer: one line on
// standard error naming what did not fit, then exitFatally. Callers invoke it
// before writing anything of the string.
[[noreturn]] void stopOnBrokenLimit(const char* what);

// Ends the run with the fatal exit status after removing what this run made:
// the extraction directory with everything below it, and the levels above
// it. Every fatal error of the main sequence ends this way; the child, which
// never removes anything, has the removal flag cleared.
[[noreturn]] void exitFatally();

// When a termination signal asked the run to stop before the child was
// started, removes what this run made, says which signal it was and ends
// the run with the fatal exit status. Called between the steps of the main
// sequence and between write calls.
void stopIfSignalled();

// Removes the levels above the extraction directory that this run made
// (gCreatedLevels), deepest first, where they are empty. Async-signal-safe.
void removeCreatedLevels();

// The processors this process may run on (sched_getaffinity); at least 1.
int countUsableProcessors();

// Exit status of every fatal error of the launcher itself.
inline constexpr int kFatalExitStatus = 2;

}  // namespace onefile
