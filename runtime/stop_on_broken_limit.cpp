#include <cstdio>
#include <cstdlib>

#include "runtime/fatal_stops.h"

namespace onefile {

void stopOnBrokenLimit(const char* what) {
    fprintf(stderr, "Error, %s does not fit its buffer.\n", what);
    exitFatally();
}

}  // namespace onefile
