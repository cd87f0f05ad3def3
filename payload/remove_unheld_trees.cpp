#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "payload/reuse_steps.h"
#include "payload/tree_hold.h"
#include "runtime/directory_entries.h"
#include "runtime/directory_removal.h"

// Trees leave a holding directory only here, and only trees of ours: in a
// holding directory that a launcher made and marked as its own, a name of
// the version or working form, a directory of the user's own with no group
// or other permission bits, on the holding directory's file system, that no
// run holds (its exclusive lock, taken without waiting on a descriptor of
// this run's own, is granted). The removal is the extraction directory's
// walk: it never follows a link, never enters another mount and gives the
// owner's access back where the application took it.

namespace onefile {

namespace {

constexpr int kCandidateOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr std::size_t kDirectoryEntryBufferBytes = 4096;
// Trees removed in one pass; more are left for the next one. A holding
// directory gathers one per version and per run killed while unpacking.
constexpr int kMostTreesPerPass = 16;

bool sameDirectory(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Calls visit(name) for every name in the directory open at `holding` of the
// version or working form, until it returns false.
template <typename Visit>
void forEachTreeName(int holding, Visit visit) {
    // A descriptor of its own: its read position is the listing's alone.
    int listing = openat(holding, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) return;
    alignas(DirectoryEntry64) char entries[kDirectoryEntryBufferBytes];
    for (;;) {
        long length = syscall(SYS_getdents64, listing, entries, sizeof entries);
        if (length <= 0) break;
        for (long position = 0; position < length;) {
            auto* entry = reinterpret_cast<DirectoryEntry64*>(entries + position);
            position += entry->d_reclen;
            if ((isVersionName(entry->d_name) || isWorkingName(entry->d_name)) && !visit(entry->d_name)) {
                (void)close(listing);
                return;
            }
        }
    }
    (void)close(listing);
}

// A directory of the user's own that nobody else may open, on `device`.
bool isOurTree(const struct stat& status, dev_t device) {
    return S_ISDIR(status.st_mode) && status.st_uid == geteuid() && (status.st_mode & (S_IRWXG | S_IRWXO)) == 0 &&
           status.st_dev == device;
}

// Opens the tree `name` and takes its exclusive lock without waiting; -1
// when it is not a tree of ours or a run holds it.
int takeUnheldTree(int holding, dev_t device, const char* name) {
    int tree = openat(holding, name, kCandidateOpenFlags);
    if (tree < 0) return -1;
    struct stat status;
    if (fstat(tree, &status) != 0 || !isOurTree(status, device) || !takeTreeForRemoval(tree)) {
        (void)close(tree);
        return -1;
    }
    return tree;
}

// Removes what the tree open at `tree` holds, then its name, while the name
// still leads to it; closes `tree`.
void removeTree(int holding, int tree, const char* name) {
    int top = openat(tree, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (top >= 0) (void)removeDirectoryTree(top);
    struct stat held;
    struct stat named;
    if (fstat(tree, &held) == 0 && fstatat(holding, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        sameDirectory(held, named)) {
        (void)unlinkat(holding, name, AT_REMOVEDIR);
    }
    (void)close(tree);
}

}  // namespace

void removeUnheldTrees(int holding, bool versionToo) {
    struct stat status;
    if (fstat(holding, &status) != 0) return;
    // The names are gathered first, so that the listing does not meet what
    // the removals change; each tree is then taken and removed on its own,
    // with few descriptors at a time.
    char names[kMostTreesPerPass][kReuseNameBytes];
    int count = 0;
    forEachTreeName(holding, [&](const char* name) {
        if (!versionToo && strcmp(name, gReuse.versionName) == 0) return true;
        struct stat candidate;
        if (fstatat(holding, name, &candidate, AT_SYMLINK_NOFOLLOW) != 0 || !isOurTree(candidate, status.st_dev)) {
            return true;
        }
        memcpy(names[count], name, strlen(name) + 1);
        return ++count < kMostTreesPerPass;
    });
    for (int i = 0; i < count; ++i) {
        int tree = takeUnheldTree(holding, status.st_dev, names[i]);
        if (tree >= 0) removeTree(holding, tree, names[i]);
    }
}

}  // namespace onefile
