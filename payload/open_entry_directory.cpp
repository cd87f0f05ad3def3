#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "launcher/launcher_state.h"
#include "payload/entry_directories.h"
#include "payload/payload_format.h"

namespace onefile {

namespace {

constexpr mode_t kDirectoryMode = 0700;
constexpr int kLevelOpenFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The directory of the previous entry: entries come sorted by name, so most
// share it with the entry before them.
char cachedPath[kNameBufferBytes];
std::size_t cachedLength;
int cachedDescriptor = -1;

void closeUnlessTop(int descriptor) {
    if (descriptor >= 0 && descriptor != gExtractionDescriptor) (void)close(descriptor);
}

// Opens the level `component` below `parent`, making it when missing.
int openLevel(int parent, const char* component) {
    int level = openat(parent, component, kLevelOpenFlags);
    if (level >= 0 || errno != ENOENT) {
        if (level < 0 && errno == ENOTDIR) {
            // A link opened with O_PATH|O_NOFOLLOW is no directory either.
            struct stat status;
            if (fstatat(parent, component, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode)) {
                errno = ELOOP;
            } else {
                errno = ENOTDIR;
            }
        }
        return level;
    }
    if (mkdirat(parent, component, kDirectoryMode) != 0 && errno != EEXIST) return -1;
    return openat(parent, component, kLevelOpenFlags);
}

// Walks the first `length` bytes of `path` from the extraction directory.
int openPath(const char* path, std::size_t length) {
    int current = gExtractionDescriptor;
    char component[kNameBufferBytes];
    for (std::size_t start = 0; start < length;) {
        std::size_t end = start;
        while (end < length && path[end] != '/') ++end;
        std::size_t componentLength = end - start;
        if (componentLength > 0 && !(componentLength == 1 && path[start] == '.')) {
            memcpy(component, path + start, componentLength);
            component[componentLength] = '\0';
            int next = openLevel(current, component);
            int error = errno;
            closeUnlessTop(current);
            if (next < 0) {
                errno = error;
                return -1;
            }
            current = next;
        }
        start = end + 1;
    }
    return current;
}

}  // namespace

int openEntryDirectory(const char* name, const char** leaf) {
    const char* slash = strrchr(name, '/');
    *leaf = slash != nullptr ? slash + 1 : name;
    std::size_t length = slash != nullptr ? static_cast<std::size_t>(slash - name) : 0;
    if (cachedDescriptor >= 0 && length == cachedLength && memcmp(name, cachedPath, length) == 0) {
        return cachedDescriptor;
    }
    closeUnlessTop(cachedDescriptor);
    cachedDescriptor = -1;
    int directory = openPath(name, length);
    if (directory < 0) return -1;
    memcpy(cachedPath, name, length);
    cachedLength = length;
    cachedDescriptor = directory;
    return directory;
}

}  // namespace onefile
