#include <fcntl.h>
#include <unistd.h>

#include "runtime/directory_removal.h"
#include "runtime/launcher_state.h"

namespace onefile {

void removeCreatedLevels() {
    // A level that still holds something (another run's directory, say)
    // stays: AT_REMOVEDIR removes empty directories only.
    for (int i = gCreatedLevelCount - 1; i >= 0; --i) {
        (void)unlinkat(gCreatedLevels[i].parentDescriptor, gCreatedLevels[i].name, AT_REMOVEDIR);
    }
}

}  // namespace onefile
