// The extraction directory: made by this run, exclusively, below levels that
// are safe to use.
#pragma once

namespace onefile {

// Makes the directory that gExtractionDirectory names. The levels that
// exist are walked one at a time from a descriptor, and each must be safe:
// a directory owned by the effective user or root and writable by nobody
// else unless sticky, or a symbolic link owned by one of those two. Missing
// levels above the last are made (mode 0700 less the umask) and recorded in
// gCreatedLevels; the last level is made exclusively, and its file system
// must allow programs to run and have room for the block at gPayloadCursor
// (payload/placement_check.h). Then gExtractionLevel, gExtractionDescriptor
// and the removal flag are set.
//
// On any failure the levels this run made, the last one too, are gone
// again. Then, for the last place the launcher may use (`lastPlace`), the
// run ends with exit status 2 and a message that says why; for an earlier
// one, one line "'PATH': why" goes to standard error and the result is
// false, so that the next place is tried.
bool makeExtractionDirectory(bool lastPlace);

// Walks the levels of gExtractionDirectory as makeExtractionDirectory does,
// but reaches the last level like the others (used when it is there and
// safe, made and recorded when missing), and returns a readable descriptor
// of it (close-on-exec): the directory that holds the kept trees of a
// launcher made with pack --reuse. Fails as makeExtractionDirectory does,
// with -1 where that returns false. `made` tells whether this run made the
// last level itself.
int openHoldingDirectory(bool lastPlace, bool* made);

// Walks the levels of gExtractionDirectory as openHoldingDirectory does, but
// makes nothing and says nothing: a readable descriptor of the last level
// when every level is there and safe, else -1.
int findHoldingDirectory();

}  // namespace onefile
