// How a run ends on its own failures: the fatal exit status, and the stops that
// remove what the run made first.
#pragma once

#include <cstddef>

namespace onefile {

// Exit status of every fatal error of the launcher itself.
inline constexpr int kFatalExitStatus = 2;

// Copies source, NUL included, into destination when it fits capacity;
// otherwise stops the launcher naming `what`. Nothing is copied when
// destination and source are the same buffer.
void copyStringBounded(char* destination, const char* source, std::size_t capacity,
                       const char* what);

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

}  // namespace onefile
