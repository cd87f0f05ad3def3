#include <cstdio>
#include <cstdlib>

#include "launcher/shared_operations.h"

namespace onefile {

void stopOnBrokenLimit(const char* what) {
    // No cleanup runs here: the stop happens before the string is used, and
    // whatever was extracted so far stays where it is.
    fprintf(stderr, "Error, %s does not fit its buffer.\n", what);
    exit(kFatalExitStatus);
}

}  // namespace onefile
