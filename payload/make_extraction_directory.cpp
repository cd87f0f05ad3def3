#include "payload/extraction_directory.h"
#include "payload/extract_payload.h"
#include "payload/placement_check.h"
#include "payload/tree_hold.h"
#include "payload/tree_sweep.h"
#include "runtime/directory_removal.h"
#include "runtime/error_text.h"
#include "runtime/fatal_stops.h"
#include "runtime/launcher_state.h"
#include "runtime/skipped_places.h"

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

enum class WalkEnd { made, levelVanished, failed };
// What the walk does with the last level: make it exclusively (the
// extraction directory), or reach it like the levels above (the directory
// that holds the kept trees of pack --reuse), or only find it: nothing is
// made and nothing said (a kept tree looked for in every place).
enum class LastLevel { makeExclusively, reach, find };

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
    // Whether a failure ends the run (the last template) or gives way to
    // the next template with one line that says why.
    bool lastPlace;
    // Nothing is made or said: a failure only gives way.
    bool quiet;
    // Whether the last level reached was made by this walk.
    bool madeLevel;
};

Walk walk;

void forgetCreatedLevels() {
    removeCreatedLevels();
    for (int i = 0; i < gCreatedLevelCount; ++i) (void)close(gCreatedLevels[i].parentDescriptor);
    gCreatedLevelCount = 0;
}

void leaveCurrentLevel() {
    if (!walk.currentKept) (void)close(walk.current);
    walk.currentKept = true;
}

// The levels this try made go again; the last place ends the run with
// `message`, an earlier one is named with `reason` and the next is tried.
// Returns false for the callers to pass on.
bool giveUp(const char* path, int pathLength, const char* message, const char* reason) {
    leaveCurrentLevel();
    // A walk that only looks made nothing; the levels recorded are the run's.
    if (walk.quiet) return false;
    forgetCreatedLevels();
    if (walk.lastPlace) {
        reportSkippedPlaces();
        fputs(message, stderr);
        exit(kFatalExitStatus);
    }
    noteSkippedPlace(path, pathLength, reason);
    return false;
}

bool failCreation(int error) {
    char message[kPathBufferBytes + 128];
    snprintf(message, sizeof message, "Error, couldn't create extraction directory '%s': %s.\n",
             gExtractionDirectory, describeError(error));
    char reason[128];
    snprintf(reason, sizeof reason, "couldn't create it: %s", describeError(error));
    return giveUp(gExtractionDirectory, static_cast<int>(strlen(gExtractionDirectory)), message, reason);
}

// `why` says what is wrong with the level being resolved: its owner, its
// mode, what it is.
bool refuseUnsafeLevel(const char* why) {
    std::size_t end = walk.displayEnd;
    while (end > 1 && gExtractionDirectory[end - 1] == '/') --end;
    char message[kPathBufferBytes + 128];
    snprintf(message, sizeof message, "Error, directory '%.*s' is not safe to use: %s.\n", static_cast<int>(end),
             gExtractionDirectory, why);
    char reason[128];
    snprintf(reason, sizeof reason, "not safe to use: %s", why);
    return giveUp(gExtractionDirectory, static_cast<int>(end), message, reason);
}

// A level that could not be opened or looked at for a reason of the system
// (out of descriptors, no permission): named as such, not as unsafe.
bool failToOpenLevel(int error) {
    std::size_t end = walk.displayEnd;
    while (end > 1 && gExtractionDirectory[end - 1] == '/') --end;
    char message[kPathBufferBytes + 128];
    snprintf(message, sizeof message, "Error, couldn't open directory '%.*s': %s.\n", static_cast<int>(end),
             gExtractionDirectory, describeError(error));
    char reason[128];
    snprintf(reason, sizeof reason, "couldn't open it: %s", describeError(error));
    return giveUp(gExtractionDirectory, static_cast<int>(end), message, reason);
}

bool isTrustedOwner(uid_t owner) { return owner == 0 || owner == geteuid(); }

constexpr std::size_t kWhyBytes = 64;

// A directory that only its trusted owner can change, or a sticky one (like
// /tmp) where others cannot rename or remove what is ours. When it is not,
// `why` says what is wrong; when it cannot be looked at, `why` is empty and
// errno tells.
bool isSafeDirectory(int descriptor, char* why) {
    struct stat status;
    if (fstat(descriptor, &status) != 0) {
        why[0] = '\0';
        return false;
    }
    if (!S_ISDIR(status.st_mode)) {
        snprintf(why, kWhyBytes, "not a directory");
        return false;
    }
    if (!isTrustedOwner(status.st_uid)) {
        snprintf(why, kWhyBytes, "owned by uid %u", static_cast<unsigned>(status.st_uid));
        return false;
    }
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (status.st_mode & S_ISVTX) == 0) {
        snprintf(why, kWhyBytes, "writable by group or others and not sticky");
        return false;
    }
    return true;
}

bool moveTo(int next) {
    if (!walk.currentKept) (void)close(walk.current);
    walk.current = next;
    walk.currentKept = false;
    char why[kWhyBytes];
    if (isSafeDirectory(next, why)) return true;
    return why[0] != '\0' ? refuseUnsafeLevel(why) : failToOpenLevel(errno);
}

bool openRoot() {
    int root = open("/", kLevelOpenFlags);
    if (root < 0) return failToOpenLevel(errno);
    return moveTo(root);
}

enum class Component { taken, none, failed };

// Takes the next component off the rest. `last` tells whether it is the
// expanded path's final component.
Component takeComponent(char* component, bool* last) {
    const char* text = walk.rest + walk.head;
    while (*text == '/') ++text;
    if (*text == '\0') return Component::none;
    const char* end = text;
    while (*end != '\0' && *end != '/') ++end;
    std::size_t length = static_cast<std::size_t>(end - text);
    if (length >= kLevelNameBytes) {
        (void)failCreation(ENAMETOOLONG);
        return Component::failed;
    }
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
    return Component::taken;
}

// Puts the link's text in front of what is left to resolve.
bool spliceLink(const char* target) {
    std::size_t targetLength = strlen(target);
    std::size_t leftLength = strlen(walk.rest + walk.head);
    if (targetLength + 1 + leftLength >= sizeof walk.rest) return failCreation(ENAMETOOLONG);
    memmove(walk.rest + targetLength + 1, walk.rest + walk.head, leftLength + 1);
    memcpy(walk.rest, target, targetLength);
    walk.rest[targetLength] = '/';
    walk.head = 0;
    return true;
}

void recordCreatedLevel(const char* name) {
    if (gCreatedLevelCount >= kMaxCreatedLevels) return;
    DirectoryLevel& level = gCreatedLevels[gCreatedLevelCount];
    level.parentDescriptor = walk.current;
    memcpy(level.name, name, strlen(name) + 1);
    walk.currentKept = true;
    gCreatedLevelCount = gCreatedLevelCount + 1;
}

bool followLink(const char* name) {
    if (++walk.linksFollowed > kMaxLinksFollowed) return failCreation(ELOOP);
    char target[kPathBufferBytes];
    ssize_t length = readlinkat(walk.current, name, target, sizeof target - 1);
    if (length < 0) return failCreation(errno);
    target[length] = '\0';
    if (!spliceLink(target)) return false;
    return target[0] != '/' || openRoot();
}

// The last level was made: unless its file system can run the application
// and hold it, it goes again before anything is written.
bool checkPlacement() {
    Placement placement = examinePlacement(gExtractionDescriptor, true, gPayloadCursor, gPayloadEnd);
    if (placement.verdict == PlacementVerdict::fits) return true;
    (void)unlinkat(gExtractionLevel.parentDescriptor, gExtractionLevel.name, AT_REMOVEDIR);
    gRemovalFlag = 0;
    (void)close(gExtractionDescriptor);
    gExtractionDescriptor = -1;
    char reason[192];
    describePlacement(placement, reason, sizeof reason);
    if (walk.lastPlace) {
        leaveCurrentLevel();
        forgetCreatedLevels();
        reportUnfitPlacement(placement, gExtractionDirectory);
        exit(kFatalExitStatus);
    }
    return giveUp(gExtractionDirectory, static_cast<int>(strlen(gExtractionDirectory)), "", reason);
}

// Makes the last level, exclusively: a directory that exists is never taken
// over, whoever made it.
WalkEnd makeLastLevel(const char* name) {
    if (mkdirat(walk.current, name, kLevelMode) != 0) {
        // The level above was removed after we reached it: another run
        // removed a level that it had made and found empty.
        if (errno == ENOENT && gCreatedLevelCount > 0) return WalkEnd::levelVanished;
        (void)failCreation(errno);
        return WalkEnd::failed;
    }
    // Held, through a descriptor the application inherits, for as long as
    // the launcher or a process of the application that kept it lives; and
    // marked as a fresh run's tree. Only a marked tree that nobody holds is
    // ever taken by another run's sweep (payload/tree_sweep.h).
    int directory = openTreeToHold(walk.current, name);
    if (directory < 0) {
        // Made, but it cannot be opened (a umask that takes the owner's
        // read bit away, for a user to whom permission bits apply): it goes
        // again, before the levels above it.
        int error = errno;
        (void)unlinkat(walk.current, name, AT_REMOVEDIR);
        (void)failCreation(error);
        return WalkEnd::failed;
    }
    gExtractionLevel.parentDescriptor = walk.current;
    memcpy(gExtractionLevel.name, name, strlen(name) + 1);
    gExtractionDescriptor = directory;
    // From here on the directory is ours: a termination signal removes it.
    gRemovalFlag = 1;
    (void)takeSharedHold(directory);
    if (!checkPlacement()) return WalkEnd::failed;
    // Marked once the room is known: tmpfs counts an extended attribute
    // against its files.
    markRunTree(directory);
    return WalkEnd::made;
}

// Reaches the level `name` below the current one, making it when missing.
WalkEnd enterLevel(const char* name) {
    struct stat status;
    if (fstatat(walk.current, name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(status.st_mode)) {
            if (!isTrustedOwner(status.st_uid)) {
                char why[kWhyBytes];
                snprintf(why, sizeof why, "a symbolic link owned by uid %u", static_cast<unsigned>(status.st_uid));
                (void)refuseUnsafeLevel(why);
                return WalkEnd::failed;
            }
            return followLink(name) ? WalkEnd::made : WalkEnd::failed;
        }
    } else if (errno != ENOENT) {
        (void)failCreation(errno);
        return WalkEnd::failed;
    } else if (walk.quiet) {
        (void)failCreation(ENOENT);
        return WalkEnd::failed;
    } else if (mkdirat(walk.current, name, kLevelMode) == 0) {
        recordCreatedLevel(name);
        walk.madeLevel = true;
    } else if (errno == ENOENT) {
        return WalkEnd::levelVanished;
    } else if (errno != EEXIST) {
        (void)failCreation(errno);
        return WalkEnd::failed;
    }
    // A level that is no directory, or was swapped for a link since it was
    // examined, fails to open here.
    int next = openat(walk.current, name, kLevelOpenFlags);
    if (next < 0) {
        if (errno == ENOENT) return WalkEnd::levelVanished;
        if (errno == ENOTDIR) {
            (void)refuseUnsafeLevel("not a directory");
        } else {
            (void)failToOpenLevel(errno);
        }
        return WalkEnd::failed;
    }
    return moveTo(next) ? WalkEnd::made : WalkEnd::failed;
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
        if (!openRoot()) return WalkEnd::failed;
    } else {
        // A relative path starts where the user stands; that level is
        // theirs to choose and is not checked.
        walk.current = open(".", kLevelOpenFlags);
        if (walk.current < 0) {
            walk.currentKept = true;
            (void)failCreation(errno);
            return WalkEnd::failed;
        }
    }
    for (;;) {
        char component[kLevelNameBytes];
        bool last = false;
        Component taken = takeComponent(component, &last);
        if (taken == Component::failed) return WalkEnd::failed;
        if (taken == Component::none) {
            if (lastLevel != LastLevel::makeExclusively) return WalkEnd::made;
            (void)failCreation(EEXIST);
            return WalkEnd::failed;
        }
        if (last && lastLevel == LastLevel::makeExclusively) return makeLastLevel(component);
        if (strcmp(component, ".") == 0) continue;
        if (strcmp(component, "..") == 0) {
            // Physically: the parent of the level reached, whatever path
            // led there.
            int parent = openat(walk.current, "..", kLevelOpenFlags);
            if (parent < 0) {
                (void)failCreation(errno);
                return WalkEnd::failed;
            }
            if (!moveTo(parent)) return WalkEnd::failed;
            continue;
        }
        walk.madeLevel = false;
        WalkEnd entered = enterLevel(component);
        if (entered != WalkEnd::made) return entered;
    }
}

bool walkTo(LastLevel lastLevel, bool lastPlace) {
    walk.lastPlace = lastPlace;
    walk.quiet = lastLevel == LastLevel::find;
    walk.madeLevel = false;
    // A level that vanishes while we make ours was removed by another run
    // that had made it and found it empty; one more walk makes it again.
    for (int attempt = 0; attempt < 2; ++attempt) {
        WalkEnd end = walkAndMake(lastLevel);
        if (end == WalkEnd::made) return true;
        if (end == WalkEnd::failed) return false;
        leaveCurrentLevel();
        if (!walk.quiet) forgetCreatedLevels();
    }
    return failCreation(ENOENT);
}

}  // namespace

bool makeExtractionDirectory(bool lastPlace) { return walkTo(LastLevel::makeExclusively, lastPlace); }

namespace {

int openReachedLevel() {
    // Readable, for the listing of the kept trees.
    int holding = openat(walk.current, ".", kDirectoryOpenFlags);
    if (holding < 0) {
        (void)failToOpenLevel(errno);
        return -1;
    }
    if (!walk.currentKept) (void)close(walk.current);
    return holding;
}

}  // namespace

int openHoldingDirectory(bool lastPlace, bool* made) {
    if (!walkTo(LastLevel::reach, lastPlace)) return -1;
    *made = walk.madeLevel;
    return openReachedLevel();
}

int findHoldingDirectory() {
    if (!walkTo(LastLevel::find, false)) return -1;
    return openReachedLevel();
}

}  // namespace onefile
