#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/directory_removal.h"
#include "runtime/launcher_state.h"

namespace onefile {

namespace {

constexpr int kTopOpenFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

}  // namespace

void removeExtractionDirectory() {
    // A fresh open of the directory we hold, not of its path: the walk gets
    // a read position of its own (a nested run must not share it), and the
    // directory is ours even if its name now leads elsewhere.
    int top = openat(gExtractionDescriptor, ".", kTopOpenFlags);
    // A directory its owner cannot search (the umask or the application took
    // the bits) gets its owner's access back, as the walk gives it to every
    // directory below.
    if (top < 0 && errno == EACCES && fchmod(gExtractionDescriptor, S_IRWXU) == 0) {
        top = openat(gExtractionDescriptor, ".", kTopOpenFlags);
    }
    bool somethingStayed = top < 0;
    if (top >= 0) {
        gTreeWalked = 1;
        somethingStayed = removeDirectoryTree(top) != 0;
    }
    // Out of descriptors for the copy, or for a level below it: once more
    // through the descriptor we hold, from its start, which leaves the walk
    // one descriptor more. Cleanups never nest, and the writers have
    // stopped, so nobody else reads it meanwhile.
    if (somethingStayed && (top >= 0 || errno == EMFILE || errno == ENFILE) &&
        lseek(gExtractionDescriptor, 0, SEEK_SET) == 0) {
        gTreeWalked = 1;
        (void)removeDirectoryTree(gExtractionDescriptor, true);
    }
    // The name goes only while it still names our directory, and only
    // when the directory is empty.
    struct stat ours;
    struct stat named;
    if (fstat(gExtractionDescriptor, &ours) != 0 ||
        fstatat(gExtractionLevel.parentDescriptor, gExtractionLevel.name, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        ours.st_dev != named.st_dev || ours.st_ino != named.st_ino) {
        return;
    }
    (void)unlinkat(gExtractionLevel.parentDescriptor, gExtractionLevel.name, AT_REMOVEDIR);
}

void removeWhatThisRunMade() {
    if (gRemovalFlag) removeExtractionDirectory();
    removeCreatedLevels();
}

}  // namespace onefile
