#include "payload/extraction_directory.h"
#include "runtime/directory_removal.h"
#include "runtime/error_text.h"
#include "runtime/fatal_stops.h"
#include "runtime/launcher_state.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>


// Why a walk: a path handed to mkdir or open is resolved again by the kernel
// on every call, so another user who can write to one of its levels could
// swap that level for a link between our check and our use. Each level is
// therefore opened relative to the one before it (O_NOFOLLOW), checked
// through its own descriptor, and the next level is reached from that
// descriptor alone.

namespace onefile {

namespace {

constexpr mode_t kLevelMode = 0700;
// As the kernel's own limit on links in one lookup.
constexpr int kMaxLinksFollowed = 40;
constexpr int kLevelOpenFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int kDirectoryOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

enum class WalkEnd { made, levelVanished };
// What the walk does with the last level: make it exclusively (the
// extraction directory), or reach it like the levels above (the directory
// that holds the kept trees of pack --reuse).
enum class LastLevel { makeExclusively, reach };

// The components still to resolve, with the links met spliced in front of
// the expanded path's own remaining text.
struct Walk {
    char rest[kPathBufferBytes];
    std::size_t head;
    // Bytes at the end of rest that are still the expanded path's own text;
    // the path up to displayEnd names the level being resolved in messages.
    std::size_t originalLeft;
    std::size_t displayEnd;
    int current;
    // current is the parent of a recorded level and stays open.
    bool currentKept;
    int linksFollowed;
};

Walk walk;

void forgetCreatedLevels() {
    removeCreatedLevels();
    for (int i = 0; i < gCreatedLevelCount; ++i) (void)close(gCreatedLevels[i].parentDescriptor);
    gCreatedLevelCount = 0;
}

[[noreturn]] void failCreation(int error) {
    forgetCreatedLevels();
    fprintf(stderr, "Error, couldn't create extraction directory '%s': %s.\n", gExtractionDirectory,
            describeError(error));
    exit(kFatalExitStatus);
}

[[noreturn]] void refuseUnsafeLevel() {
    forgetCreatedLevels();
    std::size_t end = walk.displayEnd;
    while (end > 1 && gExtractionDirectory[end - 1] == '/') --end;
    fprintf(stderr, "Error, directory '%.*s' is not safe to use.\n", static_cast<int>(end),
            gExtractionDirectory);
    exit(kFatalExitStatus);
}

bool isTrustedOwner(uid_t owner) { return owner == 0 || owner == geteuid(); }

// A directory that only its trusted owner can change, or a sticky one (like
// /tmp) where others cannot rename or remove what is ours.
bool isSafeDirectory(int descriptor) {
    struct stat status;
    if (fstat(descriptor, &status) != 0 || !S_ISDIR(status.st_mode)) return false;
    if (!isTrustedOwner(status.st_uid)) return false;
    return (status.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (status.st_mode & S_ISVTX) != 0;
}

void moveTo(int next) {
    if (!walk.currentKept) (void)close(walk.current);
    walk.current = next;
    walk.currentKept = false;
    if (!isSafeDirectory(next)) refuseUnsafeLevel();
}

void openRoot() {
    int root = open("/", kLevelOpenFlags);
    if (root < 0) failCreation(errno);
    moveTo(root);
}

// Takes the next component off the rest; false when none is left. `last`
// tells whether it is the expanded path's final component.
bool takeComponent(char* component, bool* last) {
    const char* text = walk.rest + walk.head;
    while (*text == '/') ++text;
    if (*text == '\0') return false;
    const char* end = text;
    while (*end != '\0' && *end != '/') ++end;
    std::size_t length = static_cast<std::size_t>(end - text);
    if (length >= kLevelNameBytes) failCreation(ENAMETOOLONG);
    memcpy(component, text, length);
    component[length] = '\0';
    walk.head = static_cast<std::size_t>(end - walk.rest);
    std::size_t left = strlen(end);
    if (left < walk.originalLeft) {
        walk.originalLeft = left;
        walk.displayEnd = strlen(gExtractionDirectory) - left;
    }
    while (*end == '/') ++end;
    *last = *end == '\0';
    return true;
}

// Puts the link's text in front of what is left to resolve.
void spliceLink(const char* target) {
    std::size_t targetLength = strlen(target);
    std::size_t leftLength = strlen(walk.rest + walk.head);
    if (targetLength + 1 + leftLength >= sizeof walk.rest) failCreation(ENAMETOOLONG);
    memmove(walk.rest + targetLength + 1, walk.rest + walk.head, leftLength + 1);
    memcpy(walk.rest, target, targetLength);
    walk.rest[targetLength] = '/';
    walk.head = 0;
}

void recordCreatedLevel(const char* name) {
    if (gCreatedLevelCount >= kMaxCreatedLevels) return;
    DirectoryLevel& level = gCreatedLevels[gCreatedLevelCount];
    level.parentDescriptor = walk.current;
    memcpy(level.name, name, strlen(name) + 1);
    walk.currentKept = true;
    gCreatedLevelCount = gCreatedLevelCount + 1;
}

void followLink(const char* name) {
    if (++walk.linksFollowed > kMaxLinksFollowed) failCreation(ELOOP);
    char target[kPathBufferBytes];
    ssize_t length = readlinkat(walk.current, name, target, sizeof target - 1);
    if (length < 0) failCreation(errno);
    target[length] = '\0';
    spliceLink(target);
    if (target[0] == '/') openRoot();
}

// Makes the last level, exclusively: a directory that exists is never taken
// over, whoever made it.
WalkEnd makeLastLevel(const char* name) {
    if (mkdirat(walk.current, name, kLevelMode) != 0) {
        // The level above was removed after we reached it: another run
        // removed a level that it had made and found empty.
        if (errno == ENOENT && gCreatedLevelCount > 0) return WalkEnd::levelVanished;
        failCreation(errno);
    }
    int directory = openat(walk.current, name, kDirectoryOpenFlags);
    if (directory < 0) {
        // Made, but it cannot be opened (a umask that takes the owner's
        // read bit away, for a user to whom permission bits apply): it goes
        // again, before the levels above it.
        int error = errno;
        (void)unlinkat(walk.current, name, AT_REMOVEDIR);
        failCreation(error);
    }
    gExtractionLevel.parentDescriptor = walk.current;
    memcpy(gExtractionLevel.name, name, strlen(name) + 1);
    gExtractionDescriptor = directory;
    // From here on the directory is ours: a termination signal removes it.
    gRemovalFlag = 1;
    return WalkEnd::made;
}

// Reaches the level `name` below the current one, making it when missing.
bool enterLevel(const char* name) {
    struct stat status;
    if (fstatat(walk.current, name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(status.st_mode)) {
            if (!isTrustedOwner(status.st_uid)) refuseUnsafeLevel();
            followLink(name);
            return true;
        }
    } else if (errno != ENOENT) {
        failCreation(errno);
    } else if (mkdirat(walk.current, name, kLevelMode) == 0) {
        recordCreatedLevel(name);
    } else if (errno == ENOENT) {
        return false;
    } else if (errno != EEXIST) {
        failCreation(errno);
    }
    // A level that is no directory, or was swapped for a link since it was
    // examined, fails to open here.
    int next = openat(walk.current, name, kLevelOpenFlags);
    if (next < 0) {
        if (errno == ENOENT) return false;
        refuseUnsafeLevel();
    }
    moveTo(next);
    return true;
}

WalkEnd walkAndMake(LastLevel lastLevel) {
    memcpy(walk.rest, gExtractionDirectory, strlen(gExtractionDirectory) + 1);
    walk.head = 0;
    walk.originalLeft = strlen(gExtractionDirectory);
    walk.displayEnd = 1;
    walk.linksFollowed = 0;
    walk.currentKept = false;
    if (gExtractionDirectory[0] == '/') {
        walk.current = -1;
        walk.currentKept = true;
        openRoot();
    } else {
        // A relative path starts where the user stands; that level is
        // theirs to choose and is not checked.
        walk.current = open(".", kLevelOpenFlags);
        if (walk.current < 0) failCreation(errno);
    }
    for (;;) {
        char component[kLevelNameBytes];
        bool last = false;
        if (!takeComponent(component, &last)) {
            if (lastLevel == LastLevel::reach) return WalkEnd::made;
            failCreation(EEXIST);
        }
        if (last && lastLevel == LastLevel::makeExclusively) return makeLastLevel(component);
        if (strcmp(component, ".") == 0) continue;
        if (strcmp(component, "..") == 0) {
            // Physically: the parent of the level reached, whatever path
            // led there.
            int parent = openat(walk.current, "..", kLevelOpenFlags);
            if (parent < 0) failCreation(errno);
            moveTo(parent);
            continue;
        }
        if (!enterLevel(component)) return WalkEnd::levelVanished;
    }
}

void walkTo(LastLevel lastLevel) {
    // A level that vanishes while we make ours was removed by another run
    // that had made it and found it empty; one more walk makes it again.
    if (walkAndMake(lastLevel) == WalkEnd::made) return;
    forgetCreatedLevels();
    if (!walk.currentKept) (void)close(walk.current);
    if (walkAndMake(lastLevel) == WalkEnd::made) return;
    failCreation(ENOENT);
}

}  // namespace

void makeExtractionDirectory() { walkTo(LastLevel::makeExclusively); }

int openHoldingDirectory() {
    walkTo(LastLevel::reach);
    // Readable, for the locks and the listing of the kept trees.
    int holding = openat(walk.current, ".", kDirectoryOpenFlags);
    if (holding < 0) failCreation(errno);
    if (!walk.currentKept) (void)close(walk.current);
    return holding;
}

}  // namespace onefile
