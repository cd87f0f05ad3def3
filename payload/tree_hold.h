// Holding a tree: a run holds the directory its application runs from with a
// shared flock on a descriptor that the application inherits, so the hold
// lasts while the launcher or any process of the application that kept the
// descriptor lives. Whoever removes a tree first takes its exclusive lock
// without waiting, on a descriptor of its own, and leaves the tree alone when
// that fails. A lock the application may share is never converted or
// unlocked: the launcher only closes its own descriptor.
//
// Only directories of the user's own with no group or other permission bits
// are ever locked or waited on: nobody else can open them, so nobody else can
// hold a run up.
#pragma once

namespace onefile {

// Opens the directory `name` below `parent` to hold it: read-only, never
// through a link, and without close-on-exec. -1 with errno set on failure.
int openTreeToHold(int parent, const char* name);

// Takes the shared lock on the tree open at `tree`, trying without waiting,
// with pauses that grow, for about two seconds in all; a termination signal
// stops the run meanwhile. False when the lock stays taken (errno
// EWOULDBLOCK) or cannot be taken (errno set).
bool takeSharedHold(int tree);

// Takes the exclusive lock on the directory open at `tree` (a descriptor the
// caller opened itself) without waiting: true when nobody holds the tree.
bool takeTreeForRemoval(int tree);

}  // namespace onefile
