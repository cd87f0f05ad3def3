// Process-wide state of one launcher run. Everything is fixed-size, zero at
// process start and never freed; the scalars that the termination handler
// reads have types that are safe to read in a signal handler.
#pragma once

#include <csignal>
#include <cstddef>

namespace onefile {

// A path buffer holds one NUL-terminated path of at most 4095 bytes.
inline constexpr std::size_t kPathBufferBytes = 4096;

// The expanded directory template. Written before the termination handler is
// installed and only read afterwards.
extern char gExtractionDirectory[kPathBufferBytes];

// Path of the first payload entry written: the file the child execs.
extern char gLaunchTarget[kPathBufferBytes];

// Process id of the child, stored by the parent right after fork; 0 until
// then and 0 in the child. Never reset.
extern volatile sig_atomic_t gChildProcessId;

// Set once the payload magic is accepted, before anything is created below
// the extraction directory; never cleared. Tells the cleanup to remove it.
extern volatile sig_atomic_t gRemovalFlag;

// Set by any wait of this process that has collected the child, and by a
// poll that learns the child is no longer ours (ECHILD). Once set, no signal
// is ever sent to the child process id again: the id may belong to another
// process by then.
extern volatile sig_atomic_t gChildReaped;

// Set when the termination handler has run. From then on the launcher's exit
// status follows the handler's rules instead of mirroring a crashed child.
extern volatile sig_atomic_t gTerminationHandled;

}  // namespace onefile
