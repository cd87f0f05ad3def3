// Child supervision and cleanup: stopping the child and removing the
// extraction directory, at the normal end, on a failed fork and from the
// termination-signal handler.
#pragma once

#include <csignal>

namespace onefile {

// Makes sure the child is gone (forwarding SIGINT first when asked, then a
// grace period and SIGKILL), removes the extraction directory when the
// removal flag is set, and the levels above it that this run made.
// Async-signal-safe.
void cleanUp(bool forwardInterrupt);

// Removes everything below the directory open at `top`, depth first, never
// through a symbolic link and never into another mount; closes `top`.
// Returns 0 when everything went, -1 when something stayed (an entry that
// could not be removed, a mount point) or the walk could not read a level.
// Async-signal-safe.
int removeDirectoryTree(int top);

// Removes the extraction directory this run made, with everything below it,
// through the descriptors kept when it was made. Async-signal-safe.
void removeExtractionDirectory();

// Handler for SIGINT, SIGQUIT and SIGTERM: runs the cleanup, forwarding
// SIGINT to the child unless the kernel generated the signal.
void handleTerminationSignal(int signalNumber, siginfo_t* information, void* context);

// Installs handleTerminationSignal for SIGINT, SIGQUIT and SIGTERM.
void installTerminationHandler();

}  // namespace onefile
