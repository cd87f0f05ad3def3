#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "launcher/launcher_state.h"
#include "launcher/supervision.h"

// The walk runs inside the termination handler, possibly nested in another
// walk, so it uses only async-signal-safe calls on directory descriptors and
// keeps all its state in this call's stack frame: no heap, no stdio, no
// directory streams. It never descends through a symbolic link: an entry is
// opened relative to its parent's descriptor with O_NOFOLLOW|O_DIRECTORY, so
// an entry swapped for a link after it was examined fails to open and stops
// the walk instead of being followed.

namespace onefile {

namespace {

// Deepest level of directories the walk holds open at once; bounds the stack
// and the descriptors the walk needs inside a signal handler. A subdirectory
// below that depth is first moved up to the top directory (see
// hoistDirectory), so a tree of any depth is removed.
constexpr int kMaxRemovalDepth = 128;
constexpr char kHoistedNamePrefix[] = ".onefile-deep-";
constexpr int kHoistAttempts = 1000;
constexpr std::size_t kDirectoryEntryBufferBytes = 4096;
constexpr int kDirectoryOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// One level of the descent: the open directory, where to resume reading it
// after its subdirectory is gone, and where its own name starts in the name
// buffer.
struct RemovalLevel {
    int descriptor;
    off_t resumeOffset;
    std::size_t nameOffset;
};

struct DirectoryEntry64 {
    ino64_t d_ino;
    off64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

bool isDotOrDotDot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Writes prefix and the decimal number into name (at least 32 bytes).
void composeHoistedName(char* name, unsigned number) {
    memcpy(name, kHoistedNamePrefix, sizeof kHoistedNamePrefix - 1);
    char* cursor = name + sizeof kHoistedNamePrefix - 1;
    char digits[16];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    while (count > 0) *cursor++ = digits[--count];
    *cursor = '\0';
}

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

// Moves the subdirectory `name` of `parent` into the top directory under a
// fresh name, where the walk meets it again with a short stack. Never
// replaces an existing entry.
bool hoistDirectory(int top, int parent, const char* name, unsigned* hoistCount) {
    char hoistedName[32];
    for (int attempt = 0; attempt < kHoistAttempts; ++attempt) {
        composeHoistedName(hoistedName, (*hoistCount)++);
        if (renameNoReplace(parent, name, top, hoistedName) == 0) return true;
        if (errno != EEXIST) return false;
    }
    return false;
}

void closeLevels(const RemovalLevel* levels, int depth) {
    for (int i = 0; i <= depth; ++i) (void)close(levels[i].descriptor);
}

}  // namespace

int removeDirectoryTree(const char* path) {
    RemovalLevel levels[kMaxRemovalDepth];
    // Names of the directories being emptied, one NUL-terminated name per
    // level below the top.
    char names[kPathBufferBytes];
    alignas(DirectoryEntry64) char entries[kDirectoryEntryBufferBytes];

    int top = open(path, kDirectoryOpenFlags);
    if (top < 0) return -1;
    int depth = 0;
    levels[0] = {top, 0, 0};
    std::size_t namesLength = 0;
    unsigned hoistCount = 0;
    // Set when a directory was moved up to the top since the top directory
    // was last read from its start: it may lie behind the read position.
    bool hoistedSinceTopScan = false;

    for (;;) {
        RemovalLevel& level = levels[depth];
        long length = syscall(SYS_getdents64, level.descriptor, entries, sizeof entries);
        if (length < 0) {
            closeLevels(levels, depth);
            return -1;
        }
        if (length == 0) {
            // The level is empty: remove it through its parent. A failed
            // removal is not a failure of the walk; the parent's own removal
            // then fails as well, silently.
            if (depth == 0) {
                if (hoistedSinceTopScan) {
                    hoistedSinceTopScan = false;
                    if (lseek(level.descriptor, 0, SEEK_SET) < 0) {
                        closeLevels(levels, depth);
                        return -1;
                    }
                    continue;
                }
                (void)close(level.descriptor);
                (void)rmdir(path);
                return 0;
            }
            (void)close(level.descriptor);
            namesLength = level.nameOffset;
            --depth;
            (void)unlinkat(levels[depth].descriptor, names + namesLength, AT_REMOVEDIR);
            if (lseek(levels[depth].descriptor, levels[depth].resumeOffset, SEEK_SET) < 0) {
                closeLevels(levels, depth);
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

            struct stat status;
            if (fstatat(level.descriptor, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
                closeLevels(levels, depth);
                return -1;
            }
            if (!S_ISDIR(status.st_mode)) {
                if (unlinkat(level.descriptor, name, 0) != 0) {
                    closeLevels(levels, depth);
                    return -1;
                }
                continue;
            }

            std::size_t nameLength = strlen(name);
            if (depth + 1 >= kMaxRemovalDepth || namesLength + nameLength + 1 > sizeof names) {
                if (!hoistDirectory(levels[0].descriptor, level.descriptor, name, &hoistCount)) {
                    closeLevels(levels, depth);
                    return -1;
                }
                hoistedSinceTopScan = true;
                continue;
            }
            int child = openat(level.descriptor, name, kDirectoryOpenFlags);
            if (child < 0) {
                closeLevels(levels, depth);
                return -1;
            }
            memcpy(names + namesLength, name, nameLength + 1);
            // The entries after this one in the buffer are read again from
            // the directory once the subdirectory is gone.
            level.resumeOffset = entry->d_off;
            levels[depth + 1] = {child, 0, namesLength};
            namesLength += nameLength + 1;
            ++depth;
            descended = true;
        }
    }
}

}  // namespace onefile
