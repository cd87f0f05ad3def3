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

}  // namespace onefile
