#include <cstdio>

#include "runtime/error_text.h"

namespace onefile {

void reportSystemError(const char* what, int errorNumber) {
    fprintf(stderr, "%s: %s\n", what, describeError(errorNumber));
}

}  // namespace onefile
