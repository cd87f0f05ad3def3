#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "runtime/directory_entries.h"
#include "runtime/directory_removal.h"
#include "runtime/launcher_state.h"
#include "runtime/mount_placement.h"

// The walk runs inside the termination handler, possibly nested in another
// walk, so it uses only async-signal-safe calls on directory descriptors and
// keeps all its state in this call's stack frame: no heap, no stdio, no
// directory streams. It never descends through a symbolic link: an entry is
// opened relative to its parent's descriptor with O_NOFOLLOW|O_DIRECTORY, so
// an entry swapped for a link after it was examined fails to open and stays.
// It never descends into another mount either (a bind mount the application
// made, a FUSE mount it left): what lies there is not ours. An entry that
// cannot be removed stays, silently, and the walk goes on with the rest.

namespace onefile {

namespace {

// Deepest level of directories the walk holds open at once; bounds the stack
// and the descriptors the walk needs inside a signal handler. A subdirectory
// below that depth, or one that finds the process out of descriptors, is
// first moved up to the top directory (see hoistDirectory), so a tree of any
// depth is removed under any limit that lets the walk hold two levels.
constexpr int kMaxRemovalDepth = 128;
constexpr char kHoistedNamePrefix[] = ".onefile-deep-";
constexpr std::size_t kDirectoryEntryBufferBytes = 4096;
constexpr int kDirectoryOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// What the owner needs to list and empty a directory.
constexpr mode_t kOwnerAccess = S_IRWXU;
// A directory held without any access to it, to change its mode.
constexpr int kPinOpenFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// fchmodat2, by number (the same on every architecture): the C library
// need not know the call.
constexpr long kFchmodat2 = 452;
constexpr char kDescriptorDirectory[] = "/proc/self/fd/";

// A resume offset that needs no seek: the level's read position is already
// behind the subdirectory.
constexpr off_t kReadOn = -1;

// One level of the descent: the open directory, where to resume reading it
// after its subdirectory is gone, where its own name starts in the name
// buffer, and whether its owner's access was restored already.
struct RemovalLevel {
    int descriptor;
    off_t resumeOffset;
    std::size_t nameOffset;
    bool accessRestored;
};

// renameat2 with RENAME_NOREPLACE (Linux 3.15). Before that kernel, and on
// file systems that lack the flag, the name is looked up first: the tree is
// ours, so only our own application could take the name in between.
int renameNoReplace(int fromDirectory, const char* from, int toDirectory, const char* to) {
    constexpr unsigned kRenameNoReplace = 1;  // RENAME_NOREPLACE
    long result = syscall(SYS_renameat2, fromDirectory, from, toDirectory, to, kRenameNoReplace);
    if (result == 0 || (errno != ENOSYS && errno != EINVAL)) return static_cast<int>(result);
    struct stat existing;
    if (fstatat(toDirectory, to, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    return renameat(fromDirectory, from, toDirectory, to);
}

// Writes `prefix` (at most 20 bytes) and the decimal number into name (at
// least 32 bytes).
void composeNumberedName(char* name, const char* prefix, unsigned number) {
    std::size_t prefixLength = strlen(prefix);
    memcpy(name, prefix, prefixLength);
    char* cursor = name + prefixLength;
    char digits[16];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    while (count > 0) *cursor++ = digits[--count];
    *cursor = '\0';
}

// Moves the subdirectory `name` of `parent` into the top directory under a
// fresh name, where the walk meets it again with a short stack. Never
// replaces an existing entry: names the application took itself are passed
// over, and the count goes on from the last name used.
bool hoistDirectory(int top, int parent, const char* name, unsigned* hoistCount) {
    char hoistedName[32];
    do {
        composeNumberedName(hoistedName, kHoistedNamePrefix, (*hoistCount)++);
        if (renameNoReplace(parent, name, top, hoistedName) == 0) return true;
    } while (errno == EEXIST && *hoistCount != 0);
    return false;
}

// Gives the owner's access back to the subdirectory `name`, which the walk
// could not open. By name, fchmodat follows a link: an entry swapped for a
// link (or covered by a mount) since it was examined would have the
// target's mode changed, anywhere, and as root that is any file of the
// system. So the directory is pinned first (O_PATH, which needs no
// permission on the directory itself, with O_NOFOLLOW and the mount check)
// and its mode changed through that descriptor, which fchmod refuses for
// O_PATH: with fchmodat2 (Linux 6.6) and an empty path, or, when that fails
// for any reason (no such call, a filter), through the descriptor's own name
// in /proc/self/fd, which leads to that directory alone. Both are plain
// system calls, as a signal handler needs.
bool restoreOwnerAccess(int parent, const char* name, const Placement& home) {
    int pinned = openInPlace(parent, name, kPinOpenFlags, home);
    if (pinned < 0) return false;
    bool restored = syscall(kFchmodat2, pinned, "", kOwnerAccess, AT_EMPTY_PATH) == 0;
    if (!restored) {
        char path[32];
        composeNumberedName(path, kDescriptorDirectory, static_cast<unsigned>(pinned));
        restored = chmod(path, kOwnerAccess) == 0;
    }
    int error = errno;
    (void)close(pinned);
    errno = error;
    return restored;
}

// Opens the subdirectory `name` when it lies in the mount `home`; a
// directory the application made unreadable gets its owner's access back
// first.
int openSubdirectory(int parent, const char* name, const Placement& home) {
    int child = openInPlace(parent, name, kDirectoryOpenFlags, home);
    if (child >= 0 || errno != EACCES) return child;
    if (!restoreOwnerAccess(parent, name, home)) return -1;
    return openInPlace(parent, name, kDirectoryOpenFlags, home);
}

// Removes the entry `name` of a level (an emptied directory with
// AT_REMOVEDIR); a level the application made read-only gets its owner's
// access back once.
bool removeEntry(RemovalLevel& level, const char* name, int flags) {
    if (unlinkat(level.descriptor, name, flags) == 0) return true;
    if ((errno != EACCES && errno != EPERM) || level.accessRestored) return false;
    level.accessRestored = true;
    if (fchmod(level.descriptor, kOwnerAccess) != 0) return false;
    return unlinkat(level.descriptor, name, flags) == 0;
}

// Examines the entry `name` of a level; a level the application made
// unsearchable gets its owner's access back once.
bool examineEntry(RemovalLevel& level, const char* name, Placement* placement) {
    if (examine(level.descriptor, name, 0, placement)) return true;
    if (errno != EACCES || level.accessRestored) return false;
    level.accessRestored = true;
    if (fchmod(level.descriptor, kOwnerAccess) != 0) return false;
    return examine(level.descriptor, name, 0, placement);
}

// The walk's own descriptors; the top's too unless the caller keeps it.
void closeLevels(const RemovalLevel* levels, int depth, bool keepTop) {
    for (int i = keepTop ? 1 : 0; i <= depth; ++i) (void)close(levels[i].descriptor);
}

}  // namespace

int removeDirectoryTree(int top, bool keepTop, bool (*mustStop)()) {
    RemovalLevel levels[kMaxRemovalDepth];
    // Names of the directories being emptied, one NUL-terminated name per
    // level below the top.
    char names[kPathBufferBytes];
    alignas(DirectoryEntry64) char entries[kDirectoryEntryBufferBytes];

    Placement home;
    if (!examine(top, "", AT_EMPTY_PATH, &home)) {
        if (!keepTop) (void)close(top);
        return -1;
    }
    int depth = 0;
    levels[0] = {top, 0, 0, false};
    std::size_t namesLength = 0;
    unsigned hoistCount = 0;
    bool somethingStayed = false;
    // Set when a directory was moved up to the top since the top directory
    // was last read from its start: it may lie behind the read position.
    bool hoistedSinceTopScan = false;

    for (;;) {
        RemovalLevel& level = levels[depth];
        if (mustStop != nullptr && mustStop()) {
            closeLevels(levels, depth, keepTop);
            return -1;
        }
        long length = syscall(SYS_getdents64, level.descriptor, entries, sizeof entries);
        if (length < 0) {
            closeLevels(levels, depth, keepTop);
            return -1;
        }
        if (length == 0) {
            if (depth == 0) {
                if (hoistedSinceTopScan) {
                    hoistedSinceTopScan = false;
                    if (lseek(level.descriptor, 0, SEEK_SET) < 0) {
                        closeLevels(levels, depth, keepTop);
                        return -1;
                    }
                    continue;
                }
                if (!keepTop) (void)close(level.descriptor);
                return somethingStayed ? -1 : 0;
            }
            // The level is empty, or holds only what stays: remove it
            // through its parent. A directory that is not empty stays.
            (void)close(level.descriptor);
            namesLength = level.nameOffset;
            --depth;
            if (!removeEntry(levels[depth], names + namesLength, AT_REMOVEDIR)) somethingStayed = true;
            if (levels[depth].resumeOffset != kReadOn &&
                lseek(levels[depth].descriptor, levels[depth].resumeOffset, SEEK_SET) < 0) {
                closeLevels(levels, depth, keepTop);
                return -1;
            }
            continue;
        }

        bool descended = false;
        for (long position = 0; position < length && !descended;) {
            auto* entry = reinterpret_cast<DirectoryEntry64*>(entries + position);
            position += entry->d_reclen;
            const char* name = entry->d_name;
            if (isDotOrDotDot(name)) continue;

            // The directory entry tells the type on most file systems;
            // only directories (and the unknown) are examined further.
            Placement placement = {false, false, 0, 0};
            if (entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN) {
                if (!examineEntry(level, name, &placement)) {
                    somethingStayed = true;
                    continue;
                }
            }
            if (!placement.isDirectory) {
                if (!removeEntry(level, name, 0)) somethingStayed = true;
                continue;
            }
            if (!samePlace(placement, home)) {
                somethingStayed = true;
                continue;
            }

            std::size_t nameLength = strlen(name);
            if (depth + 1 >= kMaxRemovalDepth || namesLength + nameLength + 1 > sizeof names) {
                if (hoistDirectory(levels[0].descriptor, level.descriptor, name, &hoistCount)) {
                    hoistedSinceTopScan = true;
                } else {
                    somethingStayed = true;
                }
                continue;
            }
            int child = openSubdirectory(level.descriptor, name, home);
            if (child < 0) {
                // Out of descriptors (a low limit): an empty subdirectory
                // goes without being opened. Another goes up to the top like
                // one below the deepest level, and is opened from there with
                // the descriptors of the levels between given back. Each move
                // brings a directory closer to the top, so the moves end; one
                // that cannot be opened from the top either stays.
                bool outOfDescriptors = errno == EMFILE || errno == ENFILE;
                if (outOfDescriptors && unlinkat(level.descriptor, name, AT_REMOVEDIR) == 0) continue;
                if (outOfDescriptors && depth > 0 &&
                    hoistDirectory(levels[0].descriptor, level.descriptor, name, &hoistCount)) {
                    hoistedSinceTopScan = true;
                } else {
                    somethingStayed = true;
                }
                continue;
            }
            memcpy(names + namesLength, name, nameLength + 1);
            // The entries after this one in the buffer are read again from
            // the directory once the subdirectory is gone; after the last
            // one, reading simply goes on.
            level.resumeOffset = position < length ? entry->d_off : kReadOn;
            levels[depth + 1] = {child, 0, namesLength, false};
            namesLength += nameLength + 1;
            ++depth;
            descended = true;
        }
    }
}

}  // namespace onefile
