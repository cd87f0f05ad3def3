#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "payload/reuse_steps.h"

namespace onefile {

namespace {

constexpr mode_t kMarkMode = 0600;

}  // namespace

bool findHoldingMark(int holding) {
    struct stat status;
    return fstatat(holding, kHoldingMarkName, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode) &&
           status.st_uid == geteuid() && (status.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

bool makeHoldingMark(int holding) {
    // Made exclusively and empty: it appears whole or not at all, and a
    // mark that another process put there first is only looked at.
    int mark = openat(holding, kHoldingMarkName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kMarkMode);
    if (mark < 0) return errno == EEXIST && findHoldingMark(holding);
    (void)close(mark);
    return findHoldingMark(holding);
}

}  // namespace onefile
