// Whether a directory just made can hold the application and run it: its file
// system must allow programs to run, and have room for every entry of the
// block. Looked at before anything is written, so a launcher that cannot run
// in a place says why at once instead of failing halfway through.
#pragma once

#include <cstddef>
#include <cstdint>

namespace onefile {

enum class PlacementVerdict { fits, noexec, noSpace, noFiles };

struct Placement {
    PlacementVerdict verdict;
    // The block's need and the file system's free room: bytes for noSpace,
    // files (inodes) for noFiles.
    std::uint64_t needed;
    std::uint64_t available;
};

// Looks at the file system of the directory open at `directory`. With
// `needsRoom`, the block that starts at `block` (its magic) and ends before
// `end` is measured against the room there: each file's unpacked size
// rounded up to the file system's block size, one block for each directory
// and link, and one file for each entry and directory where the file system
// counts them. A block that cannot be read to its end is not measured: the
// extraction reports its damage. A block whose sizes add up to more than 64
// bits count is damage found here: the run stops as for any damaged block
// (stopOnDamagedBlock), before anything is written. A file system that
// cannot be asked fits.
Placement examinePlacement(int directory, bool needsRoom, const unsigned char* block, const unsigned char* end);

// The reason a place that does not fit is skipped, without the leading
// path: "mounted noexec", "not enough space: the application needs 104 MB,
// 50 MB are free".
void describePlacement(const Placement& placement, char* text, std::size_t bytes);

// The message for the last place tried when it does not fit, naming `path`,
// on standard error; the caller then ends the run.
void reportUnfitPlacement(const Placement& placement, const char* path);

}  // namespace onefile
