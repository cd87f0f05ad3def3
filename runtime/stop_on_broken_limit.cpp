#include <cstdio>
#include <cstdlib>

#include "runtime/shared_operations.h"

namespace onefile {

void stopOnBrokenLimit(const char* what) {
    fprintf(stderr, "Error, %s does not fit its buffer.\n", what);
    exitFatally();
}

}  // namespace onefile
