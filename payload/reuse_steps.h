// The steps of keeping a tree between runs (payload/reused_tree.h) and the
// state they share. Every operation is relative to the holding directory's
// descriptor; names below it are only ever those of reuse_names.h.
//
// Holds (payload/tree_hold.h): a run holds a shared lock on the tree it
// checked, unpacked or runs from, through a descriptor the application
// inherits; whoever removes a tree takes its exclusive lock without waiting
// and leaves the tree alone when that fails. The holding directory itself is
// never locked: anyone who can read it could lock it too.
#pragma once

#include <sys/stat.h>

#include "payload/reuse_names.h"
#include "payload/reused_tree.h"
#include "runtime/launcher_state.h"

namespace onefile {

struct ReuseState {
    // The holding directory: readable, for the listing of its trees.
    int holding;
    // Whether a launcher made it and marked it as its own: only then are
    // trees removed from it.
    bool marked;
    // Whether this run made it, and whether it may mark it (this run made
    // it, or it is the user's own at the default template's place).
    bool madeHolding;
    bool markable;
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
    // Whether this run published the version.
    bool published;
};

extern ReuseState gReuse;

enum class VersionLookup { missing, held, changed, busy };

// Opens the version directory; one that is not the user's own directory, or
// is open to group or others, ends the run (nothing is removed). Then takes
// the shared hold (payload/tree_hold.h) and makes sure that the directory
// held is still the one under the name: `held` (gReuse.tree set), `changed`
// (let go again), `missing`, or `busy` when another run kept it locked for
// removal longer than a hold waits.
VersionLookup holdVersionDirectory();

enum class TreeVerdict { whole, damaged, failed };

// Checks the tree open at `top` against the block that starts at `block`
// (its magic, which is checked already) and ends before `end`: each
// directory, each file with the block's size and the owner's execute bit as
// the executable flag says, each link with the block's text; nothing is
// followed, nothing read. `damaged` when an entry is missing or differs
// (ENOENT, ENOTDIR or ELOOP on the way to it, another type, size, execute bit
// or link text) and when the block cannot be read to its end mark; `failed`,
// with *error set, when the system refused a look (out of descriptors or
// memory, no permission, an I/O error): that is no damage of the tree.
TreeVerdict checkKeptTree(int top, const unsigned char* block, const unsigned char* end, int* error);

// Replaces, in the tree open at `top`, every entry of the block that is
// missing or differs by the same entry of the tree open at `source` (a fresh
// unpacking of the block on the same file system), each with one rename:
// directories are made where missing, and what stands under an entry's name
// in its place (another type) is removed first. Files the application added
// stay, and files that a process has open stay whole for it. A failure ends
// the run with a message that names the entry.
void repairKeptTree(int top, int source, const unsigned char* block, const unsigned char* end);

// Replaces the entry `name` of the tree open at `top` by the one of the tree
// open at `source` (repairKeptTree, for one entry).
void replaceKeptEntry(int top, int source, const char* name);

// A fresh name of the working form for this run's version into `name`
// (kReuseNameBytes).
void composeWorkingName(char* name, TokenMaker makeToken);

// Makes this run's working directory beside the version directory (a fresh
// name of the working form, mode 0700, exclusively), locked shared, and
// makes it the extraction directory with the removal flag set.
void makeWorkingDirectory(TokenMaker makeToken);

// The name of a version's agreed working directory, ".VERSION-00unpacking",
// into `name` (kReuseNameBytes).
void composeUnpackingName(char* name);

// Makes the version's agreed working directory as makeWorkingDirectory
// makes one of a fresh name; false when it exists (another run unpacks the
// version) or keeps being taken away.
bool makeUnpackingDirectory();

enum class UnpackingWait { published, takeOver };

// Waits while another run unpacks this version into the agreed working
// directory: `published` once the version directory is there (or the agreed
// directory is gone, so that the caller looks again), `takeOver` when that
// run is gone (nobody holds the directory) or its file system did not change
// for ten seconds. Holds nothing while it waits; a termination signal stops
// the run.
UnpackingWait waitForUnpackingRun();

// Removes this run's working directory, which it no longer needs.
void discardWorkingDirectory();

enum class PublishResult { published, taken };

// Renames this run's working directory to the version name, which must be
// free: `taken` when another run published first.
PublishResult publishWorkingDirectory();

// In a holding directory open at `holding` that is marked as a launcher's
// own: removes the version directories and the working directories that no
// run holds, this run's version among them when `versionToo`.
void removeUnheldTrees(int holding, bool versionToo);

// Whether the holding directory open at `holding` carries the mark of a
// holding directory that a launcher made for itself.
bool findHoldingMark(int holding);

// Marks the holding directory open at `holding` as a launcher's own; false
// when the mark could not be made.
bool makeHoldingMark(int holding);

// Composes gReuse.holdingPath, "/" and `name` into `path` (kPathBufferBytes).
void composeHeldPath(char* path, const char* name);

// The renameat2 system call with `flags`; -1 with errno set on failure
// (ENOSYS where the kernel lacks it).
int renameDirectory(const char* from, const char* to, unsigned flags);

}  // namespace onefile
