#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "payload/reuse_steps.h"
#include "runtime/directory_entries.h"
#include "runtime/directory_removal.h"

// Trees leave the holding directory only here, and only trees of ours: a
// name of the version or working form, a directory of the user's own on the
// holding directory's file system, that no run holds (its exclusive lock,
// taken without waiting, is granted). The removal is the extraction
// directory's walk: it never follows a link, never enters another mount and
// gives the owner's access back where the application took it.

namespace onefile {

namespace {

constexpr int kTreeOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr std::size_t kDirectoryEntryBufferBytes = 4096;
// Trees removed after one publication; more are left for the next one. A
// holding directory gathers one per version, per repair and per run killed
// while unpacking.
constexpr int kMostTreesPerPass = 16;

struct HeldTree {
    int descriptor;
    char name[kReuseNameBytes];
};

bool sameDirectory(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

bool isTreeName(const char* name) {
    return (isVersionName(name) || isWorkingName(name)) && strcmp(name, gReuse.versionName) != 0;
}

// Calls visit(name) for every name in the holding directory of the version
// or working form other than this run's version, until it returns false.
template <typename Visit>
void forEachTreeName(Visit visit) {
    // A descriptor of its own: its read position is the listing's alone.
    int listing = openat(gReuse.holding, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) return;
    alignas(DirectoryEntry64) char entries[kDirectoryEntryBufferBytes];
    for (;;) {
        long length = syscall(SYS_getdents64, listing, entries, sizeof entries);
        if (length <= 0) break;
        for (long position = 0; position < length;) {
            auto* entry = reinterpret_cast<DirectoryEntry64*>(entries + position);
            position += entry->d_reclen;
            if (isTreeName(entry->d_name) && !visit(entry->d_name)) {
                (void)close(listing);
                return;
            }
        }
    }
    (void)close(listing);
}

// Opens the tree `name` and takes its exclusive lock without waiting; -1
// when it is not a tree of ours or a run holds it.
int takeUnheldTree(const char* name) {
    int tree = openat(gReuse.holding, name, kTreeOpenFlags);
    if (tree < 0) return -1;
    struct stat status;
    if (fstat(tree, &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != geteuid() ||
        status.st_dev != gReuse.holdingDevice || flock(tree, LOCK_EX | LOCK_NB) != 0) {
        (void)close(tree);
        return -1;
    }
    return tree;
}

// Removes what the tree open at `tree` holds, then its name, while the name
// still leads to it; closes `tree`.
void removeTree(int tree, const char* name) {
    int top = openat(tree, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (top >= 0) (void)removeDirectoryTree(top);
    struct stat held;
    struct stat named;
    if (fstat(tree, &held) == 0 &&
        fstatat(gReuse.holding, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && sameDirectory(held, named)) {
        (void)unlinkat(gReuse.holding, name, AT_REMOVEDIR);
    }
    (void)close(tree);
}

}  // namespace

void removeUnheldTrees() {
    HeldTree trees[kMostTreesPerPass];
    int count = 0;
    struct stat holding;
    if (fstat(gReuse.holding, &holding) != 0) return;
    gReuse.holdingDevice = holding.st_dev;
    // Candidates are taken under the holding directory's exclusive lock:
    // a working directory being made is then either not there yet or
    // already held by its maker.
    lockDirectory(gReuse.holding, LOCK_EX, gReuse.holdingPath);
    forEachTreeName([&trees, &count](const char* name) {
        int tree = takeUnheldTree(name);
        if (tree < 0) return true;
        trees[count].descriptor = tree;
        memcpy(trees[count].name, name, strlen(name) + 1);
        return ++count < kMostTreesPerPass;
    });
    (void)flock(gReuse.holding, LOCK_UN);
    for (int i = 0; i < count; ++i) removeTree(trees[i].descriptor, trees[i].name);
}

void letGoOfTree(int tree) {
    struct stat held;
    struct stat named;
    if (fstat(tree, &held) != 0) {
        (void)close(tree);
        return;
    }
    bool stillTheVersion = fstatat(gReuse.holding, gReuse.versionName, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                           sameDirectory(held, named);
    // A tree swapped out (damaged, or repaired twice by racing runs) that no
    // other run holds any more: its last holder removes it. The conversion
    // of our shared lock fails while another run holds one.
    if (stillTheVersion || flock(tree, LOCK_EX | LOCK_NB) != 0) {
        (void)close(tree);
        return;
    }
    // Only under a name of the launcher's own forms: a tree that was
    // removed already, or given another name, is left as it is.
    char name[kReuseNameBytes] = "";
    forEachTreeName([&held, &name](const char* candidate) {
        struct stat status;
        if (fstatat(gReuse.holding, candidate, &status, AT_SYMLINK_NOFOLLOW) != 0 || !sameDirectory(status, held)) {
            return true;
        }
        memcpy(name, candidate, strlen(candidate) + 1);
        return false;
    });
    if (name[0] == '\0') {
        (void)close(tree);
        return;
    }
    removeTree(tree, name);
}

}  // namespace onefile
