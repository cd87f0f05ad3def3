#include "payload/directory_memo.h"

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "launcher/launcher_state.h"
#include "launcher/shared_operations.h"

namespace onefile {

namespace {

constexpr mode_t kDirectoryMode = 0700;

// Directories known to exist. Heap copies, append-only, never freed: a
// directory the cleanup removed stays listed, so it is not created again.
char* directoryMemo[kDirectoryMemoCapacity];
int directoryMemoCount;

bool isRemembered(const char* path) {
    for (int i = 0; i < directoryMemoCount; ++i) {
        if (strcmp(directoryMemo[i], path) == 0) return true;
    }
    return false;
}

// A copy that cannot be made is simply not remembered: the directory is then
// tested again at its next use.
void remember(const char* path) {
    if (directoryMemoCount >= kDirectoryMemoCapacity) return;
    char* copy = strdup(path);
    if (copy == nullptr) return;
    directoryMemo[directoryMemoCount++] = copy;
}

// Index of the last "/" before position `before`, at position 1 or later;
// -1 when there is none. Position 0 is never a level: the root itself is
// never tested or created.
long previousSlash(const char* path, long before) {
    for (long i = before - 1; i >= 1; --i) {
        if (path[i] == '/') return i;
    }
    return -1;
}

long nextSlash(const char* path, long after, long last) {
    for (long i = after + 1; i <= last; ++i) {
        if (path[i] == '/') return i;
    }
    return -1;
}

// ensureDirectory on the prefix of path that ends before position cut.
bool ensurePrefix(char* path, long cut) {
    path[cut] = '\0';
    bool exists = ensureDirectory(path);
    path[cut] = '/';
    return exists;
}

}  // namespace

bool ensureDirectory(const char* path) {
    if (isRemembered(path)) return true;
    // Any existing file counts: a file standing where a directory is needed
    // surfaces as the failure to create the entry below it.
    if (access(path, F_OK) == 0) {
        remember(path);
        return true;
    }
    if (mkdir(path, kDirectoryMode) != 0) return false;
    remember(path);
    return true;
}

// Climbs from the deepest parent towards the root until a level exists, then
// ensures each level below it again on the way down, so missing levels are
// created from the top down. Iterative with one buffer: a deep path must not
// cost a path buffer per level of stack.
void createParentDirectories(const char* path) {
    char copy[kPathBufferBytes];
    copyStringBounded(copy, path, sizeof copy, "directory path");
    long deepest = previousSlash(copy, static_cast<long>(strlen(copy)));
    if (deepest < 0) return;

    long level = deepest;
    bool found = false;
    for (;;) {
        if (ensurePrefix(copy, level)) {
            found = true;
            break;
        }
        long up = previousSlash(copy, level);
        if (up < 0) break;
        level = up;
    }
    // The level that existed needs nothing more; the topmost failed level
    // (when none existed) is tried once more, like every level below it.
    long next = found ? nextSlash(copy, level, deepest) : level;
    while (next >= 0) {
        (void)ensurePrefix(copy, next);
        next = nextSlash(copy, next, deepest);
    }
}

}  // namespace onefile
