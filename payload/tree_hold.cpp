#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>

#include "payload/tree_hold.h"
#include "runtime/fatal_stops.h"

namespace onefile {

namespace {

constexpr int kHoldOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW;
// The pauses between tries: from 1 ms, doubled up to 256 ms, about two
// seconds in all. A holder of the exclusive lock is a run removing the tree,
// and the tree is gone once it is done.
constexpr long kFirstPauseNanoseconds = 1000000;
constexpr long kLongestPauseNanoseconds = 256000000;
constexpr long kAllPausesNanoseconds = 2000000000;

}  // namespace

int openTreeToHold(int parent, const char* name) { return openat(parent, name, kHoldOpenFlags); }

bool takeSharedHold(int tree) {
    long pause = kFirstPauseNanoseconds;
    long waited = 0;
    for (;;) {
        if (flock(tree, LOCK_SH | LOCK_NB) == 0) return true;
        if (errno == EINTR) {
            stopIfSignalled();
            continue;
        }
        if (errno != EWOULDBLOCK || waited >= kAllPausesNanoseconds) return false;
        struct timespec sleep = {0, pause};
        (void)nanosleep(&sleep, nullptr);
        stopIfSignalled();
        waited += pause;
        pause = pause * 2 < kLongestPauseNanoseconds ? pause * 2 : kLongestPauseNanoseconds;
    }
}

bool takeTreeForRemoval(int tree) { return flock(tree, LOCK_EX | LOCK_NB) == 0; }

}  // namespace onefile
