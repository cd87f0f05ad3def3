// Removing what a run made: the extraction directory with everything below
// it, and the levels above it that the run created. Used at the normal end,
// by the fatal stops and from the termination-signal handler.
#pragma once

namespace onefile {

// Removes everything below the directory open at `top`, depth first, never
// through a symbolic link and never into another mount; closes `top` unless
// `keepTop`. The walk reads `top` from its current position. Returns 0 when
// everything went, -1 when something stayed (an entry that could not be
// removed, a mount point) or the walk could not read a level. With
// `mustStop`, the walk asks it before each read of a directory and ends
// (-1) once it returns true: what is left stays for later.
// Async-signal-safe.
int removeDirectoryTree(int top, bool keepTop = false, bool (*mustStop)() = nullptr);

// Removes the extraction directory this run made, with everything below it,
// through the descriptors kept when it was made. Async-signal-safe.
void removeExtractionDirectory();

// The first pass of the removal at the normal end, in the main sequence only:
// threads remove the tree's files, directory by directory, on every
// processor; cleanUp's walk then removes the rest. Like the walk, never
// enters another mount. Nothing on a machine with one processor, nor once a
// walk has run (gTreeWalked).
void removeFilesInParallel();

// Removes all this run made: the extraction directory once the removal flag
// is set, and the levels above it (removeCreatedLevels). Async-signal-safe.
void removeWhatThisRunMade();

// Removes the levels above the extraction directory that this run made
// (gCreatedLevels), deepest first, where they are empty. Async-signal-safe.
void removeCreatedLevels();

}  // namespace onefile
