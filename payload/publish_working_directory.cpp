#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "payload/reuse_steps.h"
#include "runtime/error_text.h"
#include "runtime/fatal_stops.h"

namespace onefile {

namespace {

constexpr unsigned kRenameNoReplace = 1;  // RENAME_NOREPLACE

// Kernels before 3.15 lack renameat2 (ENOSYS); some file systems lack a
// flag (EINVAL).
bool lacksRenameFlag(int error) { return error == ENOSYS || error == EINVAL; }

// A tree stands under the name already: another run's.
bool isTaken(int error) { return error == EEXIST || error == ENOTEMPTY; }

[[noreturn]] void failToPublish(int error) {
    char path[kPathBufferBytes];
    composeHeldPath(path, gReuse.versionName);
    fprintf(stderr, "Error, couldn't create extraction directory '%s': %s.\n", path, describeError(error));
    exitFatally();
}

// Renames `from` to `to` in the holding directory unless `to` exists
// (EEXIST). Without RENAME_NOREPLACE the name is looked up first, then
// renamed with renameat, which is sound for our trees: a directory renamed
// onto a directory that holds anything fails (ENOTEMPTY), so a tree another
// run published in between is never replaced.
int renameNoReplace(const char* from, const char* to) {
    if (renameDirectory(from, to, kRenameNoReplace) == 0) return 0;
    if (!lacksRenameFlag(errno)) return -1;
    struct stat existing;
    if (fstatat(gReuse.holding, to, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    if (errno != ENOENT) return -1;
    return renameat(gReuse.holding, from, gReuse.holding, to);
}

}  // namespace

PublishResult publishWorkingDirectory() {
    if (renameNoReplace(gReuse.workingName, gReuse.versionName) == 0) return PublishResult::published;
    if (isTaken(errno)) return PublishResult::taken;
    failToPublish(errno);
}

}  // namespace onefile
