#include <cstring>

#include "runtime/fatal_stops.h"

namespace onefile {

void copyStringBounded(char* destination, const char* source, std::size_t capacity,
                       const char* what) {
    std::size_t length = strlen(source);
    // The length is checked before anything is copied: a string that does
    // not fit is neither truncated nor written past the buffer.
    if (length >= capacity) stopOnBrokenLimit(what);
    if (destination == source) return;
    memcpy(destination, source, length + 1);
}

}  // namespace onefile
