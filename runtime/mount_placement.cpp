#include "runtime/mount_placement.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace onefile {

namespace {

// The kernel's struct statx, as far as the removal reads it (Linux 4.11; the
// mount id since 5.8). The C library need not know the call.
struct KernelStatx {
    std::uint32_t stx_mask;
    std::uint32_t stx_blksize;
    std::uint64_t stx_attributes;
    std::uint32_t stx_nlink;
    std::uint32_t stx_uid;
    std::uint32_t stx_gid;
    std::uint16_t stx_mode;
    std::uint16_t spare0;
    std::uint64_t stx_ino;
    std::uint64_t stx_size;
    std::uint64_t stx_blocks;
    std::uint64_t stx_attributes_mask;
    std::uint8_t times[4][16];
    std::uint32_t stx_rdev_major;
    std::uint32_t stx_rdev_minor;
    std::uint32_t stx_dev_major;
    std::uint32_t stx_dev_minor;
    std::uint64_t stx_mnt_id;
    std::uint64_t spare[13];
};
static_assert(sizeof(KernelStatx) == 256, "struct statx is 256 bytes");

constexpr unsigned kStatxType = 0x0001;
constexpr unsigned kStatxMountId = 0x1000;
constexpr int kStatxDontSync = 0x4000;

}  // namespace

bool samePlace(const Placement& a, const Placement& b) {
    if (a.hasMountId && b.hasMountId) return a.mountId == b.mountId;
    return a.device == b.device;
}

bool examine(int directory, const char* name, int flags, Placement* placement) {
    KernelStatx status;
    flags |= AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | kStatxDontSync;
    if (syscall(SYS_statx, directory, name, flags, kStatxType | kStatxMountId, &status) == 0) {
        placement->isDirectory = S_ISDIR(status.stx_mode);
        placement->hasMountId = (status.stx_mask & kStatxMountId) != 0;
        placement->mountId = status.stx_mnt_id;
        placement->device = makedev(status.stx_dev_major, status.stx_dev_minor);
        return true;
    }
    if (errno != ENOSYS) return false;
    struct stat fallback;
    if (fstatat(directory, name, &fallback, flags & (AT_SYMLINK_NOFOLLOW | AT_EMPTY_PATH)) != 0) return false;
    placement->isDirectory = S_ISDIR(fallback.st_mode);
    placement->hasMountId = false;
    placement->device = fallback.st_dev;
    return true;
}

int openInPlace(int parent, const char* name, int flags, const Placement& home) {
    int directory = openat(parent, name, flags);
    if (directory < 0) return -1;
    Placement opened;
    if (examine(directory, "", AT_EMPTY_PATH, &opened) && opened.isDirectory && samePlace(opened, home)) {
        return directory;
    }
    (void)close(directory);
    errno = EXDEV;
    return -1;
}

}  // namespace onefile
