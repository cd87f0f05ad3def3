// The steps of keeping a tree between runs (payload/reused_tree.h) and the
// state they share. Every operation is relative to the holding directory's
// descriptor; names below it are only ever those of reuse_names.h.
//
// Locks (flock, per open directory):
//  - a run holds a shared lock on the tree it checked, unpacked or runs from,
//    for as long as it lives;
//  - whoever removes a tree first takes its exclusive lock without waiting,
//    and leaves the tree alone when that fails;
//  - a working directory is made and locked under a shared lock of the
//    holding directory, and the removal of stale trees picks its candidates
//    under the exclusive one, so a working directory just made is never
//    taken for a stale one before its maker holds it.
#pragma once

#include <sys/stat.h>

#include "payload/reuse_names.h"
#include "payload/reused_tree.h"
#include "runtime/launcher_state.h"

namespace onefile {

struct ReuseState {
    // The holding directory: readable (for the listing and the locks), and
    // its device once trees are removed from it.
    int holding;
    dev_t holdingDevice;
    // Its path as messages name it, without trailing slashes.
    char holdingPath[kPathBufferBytes];
    char versionName[kReuseNameBytes];
    // The tree this run holds its shared lock on; -1 while none.
    int tree;
    // This run's working directory, while it has one: its name (the
    // descriptor and the removal flag are gExtractionDescriptor and
    // gRemovalFlag).
    bool working;
    char workingName[kReuseNameBytes];
};

extern ReuseState gReuse;

enum class VersionLookup { missing, held, changed };

// Opens the version directory; one that is not the user's own directory, or
// is writable by group or others, ends the run (nothing is removed). Then
// takes the shared lock and makes sure that the directory locked is still
// the one under the name: `held` (gReuse.tree set), `changed` (let go
// again), or `missing`.
VersionLookup holdVersionDirectory();

// Whether the tree open at `top` holds every entry of the block that starts
// at `block` (its magic) and ends before `end`: each directory, each file
// with the block's size and the owner's execute bit as the executable flag
// says, each link with the block's text; nothing is followed, nothing read.
// A block that cannot be read to its end mark never matches.
bool treeMatchesBlock(int top, const unsigned char* block, const unsigned char* end);

// A fresh name of the working form for this run's version into `name`
// (kReuseNameBytes).
void composeWorkingName(char* name, TokenMaker makeToken);

// Makes this run's working directory beside the version directory (a fresh
// name of the working form, mode 0700, exclusively), locked shared, and
// makes it the extraction directory with the removal flag set.
void makeWorkingDirectory(TokenMaker makeToken);

// Removes this run's working directory, which it no longer needs.
void discardWorkingDirectory();

enum class PublishResult { published, taken };

// Renames this run's working directory to the version name, which must be
// free: `taken` when another run published first.
PublishResult publishWorkingDirectory();

// Swaps this run's working directory with the tree under the version name,
// while that is still the tree of `damaged` (device and inode): `taken` when
// another run replaced it first. The damaged tree ends under a working name.
PublishResult replaceVersionDirectory(const struct stat& damaged, TokenMaker makeToken);

// After a tree was published: removes the other version directories and the
// working directories in the holding directory that no run holds.
void removeUnheldTrees();

// Lets go of the tree open at `tree` (closes it). A tree that no longer
// stands under the version name, but under another name of the launcher's
// forms, is removed when no other run holds it.
void letGoOfTree(int tree);

// Takes the lock `operation` (flock) on the directory open at `descriptor`,
// waiting when it must; a termination signal while it waits stops the run.
// Any other failure ends the run, naming `path`.
void lockDirectory(int descriptor, int operation, const char* path);

// Composes gReuse.holdingPath, "/" and `name` into `path` (kPathBufferBytes).
void composeHeldPath(char* path, const char* name);

// The renameat2 system call with `flags`; -1 with errno set on failure
// (ENOSYS where the kernel lacks it).
int renameDirectory(const char* from, const char* to, unsigned flags);

}  // namespace onefile
