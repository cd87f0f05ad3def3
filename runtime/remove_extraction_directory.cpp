#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/directory_removal.h"
#include "runtime/launcher_state.h"

namespace onefile {

void removeExtractionDirectory() {
    // A fresh open of the directory we hold, not of its path: the walk gets
    // a read position of its own (a nested run must not share it), and the
    // directory is ours even if its name now leads elsewhere.
    int top = openat(gExtractionDescriptor, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (top < 0) return;
    gTreeWalked = 1;
    (void)removeDirectoryTree(top);
    // The name goes only while it still names our directory.
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
