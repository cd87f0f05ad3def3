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
// Levels of the current directory held open. Entries come sorted by name, so
// the next entry's directory shares most of them; deeper levels are reached
// from the deepest one held each time.
constexpr int kHeldLevels = 32;

// The directory path of the previous entry, relative to the extraction
// directory, and descriptors of its first levels: held[i] is the level that
// ends at heldEnd[i] in heldPath. The extraction directory itself is level 0.
char heldPath[kNameBufferBytes];
int held[kHeldLevels + 1];
std::size_t heldEnd[kHeldLevels + 1];
int heldCount;
// The previous entry's directory when it lies deeper than the held levels.
int deepDirectory = -1;
std::size_t heldPathLength;
// Whether missing levels are made (extraction) or only looked for (the
// check of a kept tree).
bool makingLevels = true;

bool isLink(int parent, const char* component) {
    struct stat status;
    return fstatat(parent, component, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode);
}

// Opens the level `component` below `parent`, making it when missing while
// extracting. The tree is fresh then, so a level is mostly new: it is made
// first and opened after.
int openLevel(int parent, const char* component) {
    if (makingLevels && mkdirat(parent, component, kEntryDirectoryMode) != 0 && errno != EEXIST) return -1;
    int level = openat(parent, component, kLevelOpenFlags);
    // A link opened with O_PATH|O_NOFOLLOW is no directory either.
    if (level < 0 && errno == ENOTDIR) errno = isLink(parent, component) ? ELOOP : ENOTDIR;
    return level;
}

void closeDeepDirectory() {
    if (deepDirectory >= 0) (void)close(deepDirectory);
    deepDirectory = -1;
}

// Keeps the held levels that `path` (of `length` bytes) starts with.
void keepCommonLevels(const char* path, std::size_t length) {
    closeDeepDirectory();
    int keep = 1;
    while (keep < heldCount) {
        std::size_t end = heldEnd[keep];
        if (end > length || (end < length && path[end] != '/') || memcmp(path, heldPath, end) != 0) break;
        ++keep;
    }
    for (int i = keep; i < heldCount; ++i) (void)close(held[i]);
    heldCount = keep;
}

// Walks from the deepest held level along the rest of `path`, holding new
// levels while there is room.
int openRest(const char* path, std::size_t length) {
    int current = held[heldCount - 1];
    bool holding = true;
    char component[kNameBufferBytes];
    std::size_t cursor = heldEnd[heldCount - 1];
    NameLevel level{0, 0};
    while (nextNameLevel(path, length, &cursor, &level)) {
        std::size_t end = level.start + level.length;
        memcpy(component, path + level.start, level.length);
        component[level.length] = '\0';
        int next = openLevel(current, component);
        if (next < 0) {
            int error = errno;
            if (!holding) (void)close(current);
            errno = error;
            return -1;
        }
        if (holding && heldCount <= kHeldLevels) {
            held[heldCount] = next;
            heldEnd[heldCount] = end;
            ++heldCount;
        } else {
            if (!holding) (void)close(current);
            holding = false;
        }
        current = next;
    }
    memcpy(heldPath, path, length);
    heldPathLength = length;
    if (!holding) deepDirectory = current;
    return current;
}

int holdEntryDirectory(int top, const char* name, const char** leaf) {
    const char* slash = strrchr(name, '/');
    *leaf = slash != nullptr ? slash + 1 : name;
    std::size_t length = slash != nullptr ? static_cast<std::size_t>(slash - name) : 0;
    if (heldCount == 0) {
        held[0] = top;
        heldEnd[0] = 0;
        heldCount = 1;
    } else if (length == heldPathLength && memcmp(name, heldPath, length) == 0) {
        return deepDirectory >= 0 ? deepDirectory : held[heldCount - 1];
    }
    keepCommonLevels(name, length);
    return openRest(name, length);
}

}  // namespace

int openEntryDirectory(const char* name, const char** leaf) {
    makingLevels = true;
    return holdEntryDirectory(gExtractionDescriptor, name, leaf);
}

int findEntryDirectory(int top, const char* name, const char** leaf) {
    makingLevels = false;
    return holdEntryDirectory(top, name, leaf);
}

void forgetEntryDirectories() {
    closeDeepDirectory();
    for (int i = 1; i < heldCount; ++i) (void)close(held[i]);
    heldCount = 0;
    heldPathLength = 0;
}

}  // namespace onefile
