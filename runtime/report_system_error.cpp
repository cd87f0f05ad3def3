#include <cstdio>

#include "runtime/shared_operations.h"

namespace onefile {

void reportSystemError(const char* what, int errorNumber) {
    fprintf(stderr, "%s: %s\n", what, describeError(errorNumber));
}

}  // namespace onefile
