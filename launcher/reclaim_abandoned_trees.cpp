#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "launcher/abandoned_trees.h"
#include "payload/tree_sweep.h"
#include "runtime/launcher_section.h"
#include "runtime/launcher_state.h"
#include "templates/run_directory_name.h"

namespace onefile {

namespace {

// A run's tree whose status changed this recently is never taken: its run
// may be about to hold it, or its application be writing there.
constexpr time_t kAbandonedSeconds = 60;
constexpr mode_t kRunTreeMode = 0700;
// The kernel's largest process id, where /proc does not tell the limit.
constexpr long kLargestPidLimit = 4194304;
constexpr char kPidMaxPath[] = "/proc/sys/kernel/pid_max";

// File systems of this machine's own disks and memory (statfs f_type):
// their locks and process ids are this machine's. Network and user-space
// file systems (NFS, CIFS, FUSE) and any other are never swept: a tree
// there may belong to a run of another machine.
constexpr unsigned long kLocalFileSystems[] = {
    0xEF53,      // ext2, ext3, ext4
    0x58465342,  // xfs
    0x9123683E,  // btrfs
    0x01021994,  // tmpfs
    0xF2F52010,  // f2fs
    0x794C7630,  // overlayfs
    0xCA451A4E,  // bcachefs
};

// The largest process id of this system, read only once a name matches.
long largestPid;

long readLargestPid() {
    int file = open(kPidMaxPath, O_RDONLY | O_CLOEXEC);
    if (file < 0) return kLargestPidLimit;
    char text[24];
    ssize_t length = read(file, text, sizeof text - 1);
    (void)close(file);
    long value = 0;
    for (ssize_t i = 0; i < length && text[i] >= '0' && text[i] <= '9' && value <= kLargestPidLimit; ++i) {
        value = value * 10 + (text[i] - '0');
    }
    return value > 0 && value <= kLargestPidLimit ? value : kLargestPidLimit;
}

bool isLocal(int directory) {
    struct statfs status;
    if (fstatfs(directory, &status) != 0) return false;
    for (unsigned long type : kLocalFileSystems) {
        if (static_cast<unsigned long>(status.f_type) == type) return true;
    }
    return false;
}

bool hasRunTreeForm(const char* name, const void* directoryTemplate) {
    long pid = 0;
    return readRunDirectoryName(static_cast<const char*>(directoryTemplate), name, kLargestPidLimit, &pid);
}

// This run's own tree is never a candidate: it is left out before anything
// is opened.
bool hasOtherRunTreeForm(const char* name, const void* directoryTemplate) {
    return strcmp(name, gExtractionLevel.name) != 0 && hasRunTreeForm(name, directoryTemplate);
}

// Only ESRCH tells that no process has the id; EPERM is another user's
// live process.
bool namesNoProcess(long pid) { return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH; }

bool isOldEnough(const struct stat& status) {
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) return false;
    time_t age = now.tv_sec - status.st_ctim.tv_sec;
    return age > kAbandonedSeconds || (age == kAbandonedSeconds && now.tv_nsec > status.st_ctim.tv_nsec);
}

// The cheap looks first; /proc is read only for a tree that passed them.
bool isAbandoned(int tree, const struct stat& status, const char* name, const void* directoryTemplate) {
    if ((status.st_mode & 07777) != kRunTreeMode || !hasRunTreeMark(tree) || !isOldEnough(status)) return false;
    if (largestPid == 0) largestPid = readLargestPid();
    long pid = 0;
    return readRunDirectoryName(static_cast<const char*>(directoryTemplate), name, largestPid, &pid) &&
           namesNoProcess(pid);
}

}  // namespace

void reclaimAbandonedTrees(const char* directoryTemplate) {
    if (directoryTemplate == nullptr || launcherReusesTree() || !launcherReclaimsTrees() || !gRemovalFlag) return;
    // The template must read back this run's own name, or it reads no other.
    if (!hasRunTreeForm(gExtractionLevel.name, directoryTemplate)) return;
    int holding = gExtractionLevel.parentDescriptor;
    if (!isLocal(holding)) return;
    sweepTrees(holding, TreeSweep{hasOtherRunTreeForm, isAbandoned, directoryTemplate});
}

}  // namespace onefile
