// Reading directories with getdents64, as the removal walks do: no
// directory streams, so no heap and nothing that is unsafe in a signal
// handler.
#pragma once

#include <sys/types.h>

namespace onefile {

// One record of getdents64.
struct DirectoryEntry64 {
    ino64_t d_ino;
    off64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

inline bool isDotOrDotDot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

}  // namespace onefile
