// Which mount an entry of the extraction directory belongs to: the one test
// by which every pass of the removal keeps out of mounts the application
// left in the tree (a bind mount of a directory elsewhere, a FUSE mount).
// What lies in another mount is not ours.
#pragma once

#include <cstdint>

namespace onefile {

// The mount id where the kernel tells it (statx, Linux 5.8), else the
// device, which tells other file systems apart but not a bind mount from
// the same one.
struct Placement {
    bool isDirectory;
    bool hasMountId;
    std::uint64_t mountId;
    std::uint64_t device;
};

// Examines the entry `name` of `directory` without following a link or
// triggering an automount; `flags` may add AT_EMPTY_PATH (with an empty
// name: the directory itself). False with errno set when it cannot be
// examined. Async-signal-safe.
bool examine(int directory, const char* name, int flags, Placement* placement);

// Whether two entries lie in the same mount.
bool samePlace(const Placement& a, const Placement& b);

// Opens the subdirectory `name` of `parent` with `flags` (which hold
// O_DIRECTORY|O_NOFOLLOW, so never through a link) when what opens is a
// directory in the mount `home`; otherwise -1 with errno set, EXDEV for
// another mount. The look at the open descriptor catches a mount put on
// the name after an earlier look at it. Async-signal-safe.
int openInPlace(int parent, const char* name, int flags, const Placement& home);

}  // namespace onefile
