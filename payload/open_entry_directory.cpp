#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "format/entry_modes.h"
#include "format/entry_rules.h"
#include "format/payload_format.h"
#include "payload/entry_directories.h"
#include "runtime/launcher_state.h"

namespace onefile {

namespace {

constexpr int kLevelOpenFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The extraction's own walker.
EntryDirectories extraction = kFreshEntryDirectories;

bool isLink(int parent, const char* component) {
    struct stat status;
    return fstatat(parent, component, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode);
}

// Opens the level `component` below `parent`, making it when missing while
// extracting (`making`). The tree is fresh then, so a level is mostly new: it
// is made first and opened after.
int openLevel(int parent, const char* component, bool making) {
    if (making && mkdirat(parent, component, kEntryDirectoryMode) != 0 && errno != EEXIST) return -1;
    int level = openat(parent, component, kLevelOpenFlags);
    // A link opened with O_PATH|O_NOFOLLOW is no directory either.
    if (level < 0 && errno == ENOTDIR) errno = isLink(parent, component) ? ELOOP : ENOTDIR;
    return level;
}

void closeDeepDirectory(EntryDirectories& d) {
    if (d.deepDirectory >= 0) (void)close(d.deepDirectory);
    d.deepDirectory = -1;
}

// Keeps the held levels that `path` (of `length` bytes) starts with.
void keepCommonLevels(EntryDirectories& d, const char* path, std::size_t length) {
    closeDeepDirectory(d);
    int keep = 1;
    while (keep < d.heldCount) {
        std::size_t end = d.heldEnd[keep];
        if (end > length || (end < length && path[end] != '/') || memcmp(path, d.heldPath, end) != 0) break;
        ++keep;
    }
    for (int i = keep; i < d.heldCount; ++i) (void)close(d.held[i]);
    d.heldCount = keep;
}

// Walks from the deepest held level along the rest of `path`, holding new
// levels while there is room.
int openRest(EntryDirectories& d, const char* path, std::size_t length, bool making) {
    int current = d.held[d.heldCount - 1];
    bool holding = true;
    char component[kNameBufferBytes];
    std::size_t cursor = d.heldEnd[d.heldCount - 1];
    NameLevel level{0, 0};
    while (nextNameLevel(path, length, &cursor, &level)) {
        std::size_t end = level.start + level.length;
        memcpy(component, path + level.start, level.length);
        component[level.length] = '\0';
        int next = openLevel(current, component, making);
        if (next < 0) {
            int error = errno;
            if (!holding) (void)close(current);
            errno = error;
            return -1;
        }
        if (holding && d.heldCount <= kHeldEntryLevels) {
            d.held[d.heldCount] = next;
            d.heldEnd[d.heldCount] = end;
            ++d.heldCount;
        } else {
            if (!holding) (void)close(current);
            holding = false;
        }
        current = next;
    }
    memcpy(d.heldPath, path, length);
    d.heldPathLength = length;
    if (!holding) d.deepDirectory = current;
    return current;
}

int holdEntryDirectory(EntryDirectories& d, int top, const char* name, const char** leaf, bool making) {
    const char* slash = strrchr(name, '/');
    *leaf = slash != nullptr ? slash + 1 : name;
    std::size_t length = slash != nullptr ? static_cast<std::size_t>(slash - name) : 0;
    if (d.heldCount == 0) {
        d.held[0] = top;
        d.heldEnd[0] = 0;
        d.heldCount = 1;
    } else if (length == d.heldPathLength && memcmp(name, d.heldPath, length) == 0) {
        return d.deepDirectory >= 0 ? d.deepDirectory : d.held[d.heldCount - 1];
    }
    keepCommonLevels(d, name, length);
    return openRest(d, name, length, making);
}

}  // namespace

int openEntryDirectory(const char* name, const char** leaf) {
    return holdEntryDirectory(extraction, gExtractionDescriptor, name, leaf, true);
}

int findEntryDirectory(EntryDirectories& directories, int top, const char* name, const char** leaf) {
    return holdEntryDirectory(directories, top, name, leaf, false);
}

void forgetEntryDirectories(EntryDirectories& directories) {
    closeDeepDirectory(directories);
    for (int i = 1; i < directories.heldCount; ++i) (void)close(directories.held[i]);
    directories = kFreshEntryDirectories;
}

void closeEntryDirectories() { forgetEntryDirectories(extraction); }

}  // namespace onefile
