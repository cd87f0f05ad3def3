// The sweep for trees that no run holds: the one way trees of other runs
// leave a directory, for the kept trees of a holding directory
// (payload/reuse_steps.h, removeUnheldTrees) and for the extraction
// directories of runs that died (launcher/abandoned_trees.h) alike.
//
// A tree is removed only when its name has the sweep's form, it is a
// directory of the user's own with no group or other permission bits on the
// swept directory's file system, the sweep's own conditions hold for it,
// and no run holds it: its exclusive lock, taken without waiting on a
// descriptor of the sweep's own (payload/tree_hold.h), is granted, and kept
// while the tree is removed. The removal is the cleanup's walk: it never
// follows a link, never enters another mount and gives the owner's access
// back where the application took it; the name goes last, while it still
// leads to the tree.
//
// Each sweep has the same bound: at most kMostTreesPerSweep trees and about
// kSweepMilliseconds from its start. The listing and the walk both look at
// it, and at a termination signal (gSweepStopped), which ends the sweep at
// once; what is left stays for a later sweep.
#pragma once

#include <sys/stat.h>

namespace onefile {

inline constexpr int kMostTreesPerSweep = 16;
inline constexpr long kSweepMilliseconds = 100;

struct TreeSweep {
    // Whether the entry `name` has the form of a tree this sweep removes.
    bool (*hasTreeForm)(const char* name, const void* context);
    // The sweep's own conditions on the tree `name`, open at `tree` with
    // the status `status`, before its lock is taken; nullptr for none.
    bool (*mayRemove)(int tree, const struct stat& status, const char* name, const void* context);
    const void* context;
};

// Sweeps the directory open at `holding` (any descriptor of it).
void sweepTrees(int holding, const TreeSweep& sweep);

// The mark of an extraction directory that a fresh run made: an extended
// attribute in the user namespace, which changes nothing the application
// sees of its tree. Where the file system has none, the tree stays
// unmarked, and no sweep ever takes it.
void markRunTree(int tree);
bool hasRunTreeMark(int tree);

}  // namespace onefile
