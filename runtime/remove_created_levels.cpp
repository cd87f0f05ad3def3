#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/directory_removal.h"
#include "runtime/launcher_state.h"

namespace onefile {

void removeCreatedLevels() {
    bool marked = gCreatedMark.name[0] != '\0' && gCreatedLevelCount > 0;
    if (marked) (void)unlinkat(gCreatedMark.parentDescriptor, gCreatedMark.name, 0);
    // A level that still holds something (another run's directory, say)
    // stays: AT_REMOVEDIR removes empty directories only.
    for (int i = gCreatedLevelCount - 1; i >= 0; --i) {
        if (unlinkat(gCreatedLevels[i].parentDescriptor, gCreatedLevels[i].name, AT_REMOVEDIR) == 0) continue;
        if (marked && i == gCreatedLevelCount - 1) {
            int mark = openat(gCreatedMark.parentDescriptor, gCreatedMark.name,
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
            if (mark >= 0) (void)close(mark);
        }
    }
    gCreatedMark.name[0] = '\0';
}

}  // namespace onefile
