#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "payload/tree_hold.h"
#include "payload/tree_sweep.h"
#include "runtime/directory_entries.h"
#include "runtime/directory_removal.h"
#include "runtime/launcher_state.h"

namespace onefile {

namespace {

constexpr int kCandidateOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr std::size_t kDirectoryEntryBufferBytes = 4096;
constexpr long kNanosecondsPerMillisecond = 1000000;
constexpr long kNanosecondsPerSecond = 1000000000;

// The bound of the sweep under way.
struct timespec deadline;

void startBound() {
    (void)clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_nsec += kSweepMilliseconds * kNanosecondsPerMillisecond;
    deadline.tv_sec += deadline.tv_nsec / kNanosecondsPerSecond;
    deadline.tv_nsec %= kNanosecondsPerSecond;
}

// The walk's look at the bound; the count of trees is the sweep's own.
bool mustStop() {
    if (gSweepStopped) return true;
    struct timespec now;
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

bool sameDirectory(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// A directory of the user's own that nobody else may open, on `device`.
bool isOurTree(const struct stat& status, dev_t device) {
    return S_ISDIR(status.st_mode) && status.st_uid == geteuid() && (status.st_mode & (S_IRWXG | S_IRWXO)) == 0 &&
           status.st_dev == device;
}

// Opens the tree `name`, checks it and takes its exclusive lock without
// waiting; -1 when it is not a tree to remove or a run holds it.
int takeUnheldTree(int holding, dev_t device, const char* name, const TreeSweep& sweep) {
    int tree = openat(holding, name, kCandidateOpenFlags);
    if (tree < 0) return -1;
    struct stat status;
    if (fstat(tree, &status) != 0 || !isOurTree(status, device) ||
        (sweep.mayRemove != nullptr && !sweep.mayRemove(tree, status, name, sweep.context)) ||
        !takeTreeForRemoval(tree)) {
        (void)close(tree);
        return -1;
    }
    return tree;
}

// Removes what the tree open at `tree` holds, then its name, while the name
// still leads to it; closes `tree`, which lets the lock go.
void removeTree(int holding, int tree, const char* name) {
    int top = openat(tree, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool emptied = top >= 0 && removeDirectoryTree(top, false, mustStop) == 0;
    struct stat held;
    struct stat named;
    if (emptied && fstat(tree, &held) == 0 && fstatat(holding, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        sameDirectory(held, named)) {
        (void)unlinkat(holding, name, AT_REMOVEDIR);
    }
    (void)close(tree);
}

}  // namespace

void sweepTrees(int holding, const TreeSweep& sweep) {
    startBound();
    struct stat status;
    if (mustStop() || fstat(holding, &status) != 0) return;
    // A descriptor of its own: its read position is the listing's alone.
    int listing = openat(holding, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) return;
    // The names are gathered first, so that the listing does not meet what
    // the removals change; each tree is then taken and removed on its own,
    // with few descriptors at a time.
    char names[kMostTreesPerSweep][kLevelNameBytes];
    int count = 0;
    alignas(DirectoryEntry64) char entries[kDirectoryEntryBufferBytes];
    while (count < kMostTreesPerSweep && !mustStop()) {
        long length = syscall(SYS_getdents64, listing, entries, sizeof entries);
        if (length <= 0) break;
        for (long position = 0; position < length && count < kMostTreesPerSweep;) {
            auto* entry = reinterpret_cast<DirectoryEntry64*>(entries + position);
            position += entry->d_reclen;
            struct stat candidate;
            if (!sweep.hasTreeForm(entry->d_name, sweep.context) ||
                fstatat(holding, entry->d_name, &candidate, AT_SYMLINK_NOFOLLOW) != 0 ||
                !isOurTree(candidate, status.st_dev) || strlen(entry->d_name) >= kLevelNameBytes) {
                continue;
            }
            memcpy(names[count++], entry->d_name, strlen(entry->d_name) + 1);
        }
    }
    (void)close(listing);
    for (int i = 0; i < count && !mustStop(); ++i) {
        int tree = takeUnheldTree(holding, status.st_dev, names[i], sweep);
        if (tree >= 0) removeTree(holding, tree, names[i]);
    }
}

}  // namespace onefile
