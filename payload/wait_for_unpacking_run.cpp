#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "payload/reuse_steps.h"
#include "payload/tree_hold.h"
#include "runtime/fatal_stops.h"

// Runs that start a version together unpack it once: the first to make the
// agreed working directory unpacks, the others wait here. Only the user's
// own processes can hold that directory (it has no group or other bits), so
// nobody else can keep a run waiting; and a run that waits holds nothing.

namespace onefile {

namespace {

constexpr long kPauseNanoseconds = 20000000;
// A run that unpacks writes all the time; one whose file system shows no
// change for this long is stopped or stuck, and the waiting run unpacks on
// its own.
constexpr long kStallNanoseconds = 10000000000;

enum class Unpacker { gone, alive, absent };

// Whether a run still holds the agreed working directory: its exclusive
// lock, tried on a descriptor of our own, is refused while one does.
Unpacker lookAtUnpacker(const char* name) {
    int directory = openat(gReuse.holding, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (directory < 0) return errno == ENOENT ? Unpacker::absent : Unpacker::gone;
    Unpacker unpacker = takeTreeForRemoval(directory) ? Unpacker::gone : Unpacker::alive;
    (void)close(directory);
    return unpacker;
}

// The file system's free blocks and files: what a run that writes changes.
unsigned long long fileSystemFill() {
    struct statvfs fileSystem;
    if (fstatvfs(gReuse.holding, &fileSystem) != 0) return 0;
    return static_cast<unsigned long long>(fileSystem.f_bfree) * 1000003ull + fileSystem.f_ffree;
}

}  // namespace

UnpackingWait waitForUnpackingRun() {
    char name[kReuseNameBytes];
    composeUnpackingName(name);
    unsigned long long fill = fileSystemFill();
    long still = 0;
    for (;;) {
        struct stat version;
        if (fstatat(gReuse.holding, gReuse.versionName, &version, AT_SYMLINK_NOFOLLOW) == 0) {
            return UnpackingWait::published;
        }
        Unpacker unpacker = lookAtUnpacker(name);
        if (unpacker == Unpacker::absent) return UnpackingWait::published;
        if (unpacker == Unpacker::gone) return UnpackingWait::takeOver;
        struct timespec pause = {0, kPauseNanoseconds};
        (void)nanosleep(&pause, nullptr);
        stopIfSignalled();
        unsigned long long now = fileSystemFill();
        still = now == fill ? still + kPauseNanoseconds : 0;
        fill = now;
        if (still >= kStallNanoseconds) return UnpackingWait::takeOver;
    }
}

}  // namespace onefile
