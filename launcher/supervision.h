// Child supervision and cleanup: stopping the child and removing the
// extraction directory, at the normal end, on a failed fork and from the
// termination-signal handler.
#pragma once

#include <csignal>

namespace onefile {

// Makes sure the child is gone (forwarding SIGINT first when asked, then a
// grace period and SIGKILL) and removes the extraction directory when the
// removal flag is set. Async-signal-safe.
void cleanUp(bool forwardInterrupt);

// Removes the directory at path and everything below it, depth first, never
// through a symbolic link. Returns 0 when the walk ran to its end, -1 when it
// stopped at an entry it could not open, examine or remove. Async-signal-safe.
int removeDirectoryTree(const char* path);

// Handler for SIGINT, SIGQUIT and SIGTERM: runs the cleanup, forwarding
// SIGINT to the child unless the kernel generated the signal.
void handleTerminationSignal(int signalNumber, siginfo_t* information, void* context);

// Installs handleTerminationSignal for SIGINT, SIGQUIT and SIGTERM.
void installTerminationHandler();

}  // namespace onefile
