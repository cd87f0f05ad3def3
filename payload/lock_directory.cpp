#include <cerrno>
#include <cstdio>
#include <sys/file.h>

#include "payload/reuse_steps.h"
#include "runtime/error_text.h"
#include "runtime/fatal_stops.h"

namespace onefile {

void lockDirectory(int descriptor, int operation, const char* path) {
    // The termination signals interrupt the wait (their handlers do not
    // restart calls): the run stops there as between any two steps.
    while (flock(descriptor, operation) != 0) {
        if (errno == EINTR) {
            stopIfSignalled();
            continue;
        }
        fprintf(stderr, "Error, couldn't lock directory '%s': %s.\n", path, describeError(errno));
        exitFatally();
    }
}

}  // namespace onefile
