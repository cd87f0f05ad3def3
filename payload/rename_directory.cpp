#include <sys/syscall.h>
#include <unistd.h>

#include "payload/reuse_steps.h"

namespace onefile {

int renameDirectory(const char* from, const char* to, unsigned flags) {
    // Through the system call: the C library need not know renameat2.
    return static_cast<int>(syscall(SYS_renameat2, gReuse.holding, from, gReuse.holding, to, flags));
}

}  // namespace onefile
