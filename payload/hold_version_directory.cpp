#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "payload/reuse_steps.h"
#include "payload/tree_hold.h"
#include "runtime/error_text.h"
#include "runtime/fatal_stops.h"

namespace onefile {

namespace {

constexpr std::size_t kReasonBytes = 96;

// Why the version directory of `status` is not safe to run from, or nullptr
// when it is: only the user's own directory that nobody else can open, list
// or change is. Nobody else can then take its lock and hold a run up. A tree
// someone else owns is not ours to remove either.
const char* findUnsafeReason(const struct stat& status, char* reason) {
    if (S_ISLNK(status.st_mode)) return "a symbolic link";
    if (!S_ISDIR(status.st_mode)) return "not a directory";
    if (status.st_uid != geteuid()) {
        snprintf(reason, kReasonBytes, "owned by uid %u, not by uid %u", static_cast<unsigned>(status.st_uid),
                 static_cast<unsigned>(geteuid()));
        return reason;
    }
    if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        snprintf(reason, kReasonBytes, "open to group or others (mode %04o)",
                 static_cast<unsigned>(status.st_mode & 07777));
        return reason;
    }
    return nullptr;
}

[[noreturn]] void failToUse(int error) {
    char path[kPathBufferBytes];
    composeHeldPath(path, gReuse.versionName);
    fprintf(stderr, "Error, couldn't use directory '%s': %s.\n", path, describeError(error));
    exitFatally();
}

// Ends the run when `status` is not safe; what this run made goes, the
// version directory stays.
void refuseUnlessSafe(const struct stat& status) {
    char reason[kReasonBytes];
    const char* unsafe = findUnsafeReason(status, reason);
    if (unsafe == nullptr) return;
    char path[kPathBufferBytes];
    composeHeldPath(path, gReuse.versionName);
    fprintf(stderr, "Error, directory '%s' is not safe to use: %s.\n", path, unsafe);
    exitFatally();
}

bool sameDirectory(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace

VersionLookup holdVersionDirectory() {
    int tree = openTreeToHold(gReuse.holding, gReuse.versionName);
    if (tree < 0) {
        int error = errno;
        // Why it did not open: missing, or something that is no directory of
        // ours (a link, a file, another user's private directory).
        struct stat status;
        if (fstatat(gReuse.holding, gReuse.versionName, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) return VersionLookup::missing;
            failToUse(errno);
        }
        refuseUnlessSafe(status);
        failToUse(error);
    }
    struct stat held;
    if (fstat(tree, &held) != 0) failToUse(errno);
    refuseUnlessSafe(held);

    if (!takeSharedHold(tree)) {
        int error = errno;
        (void)close(tree);
        if (error == EWOULDBLOCK) return VersionLookup::busy;
        failToUse(error);
    }
    // The directory may have been removed between the open and the lock: a
    // run that removes a tree holds its exclusive lock, so once ours is
    // granted, what still stands under the name is what we hold.
    struct stat named;
    if (fstatat(gReuse.holding, gReuse.versionName, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !sameDirectory(held, named)) {
        (void)close(tree);
        return VersionLookup::changed;
    }
    gReuse.tree = tree;
    return VersionLookup::held;
}

}  // namespace onefile
