// The copy of a stored entry's content from the launcher's own file into the
// entry's file. The kernel copies it, page cache to page cache, without the
// launcher touching the bytes: the mapping of the launcher's image is made
// of small pages, and writing from it takes a page fault every few dozen
// pages and a translation miss on every one, which costs more than the copy.
//
// The copy takes the first step of a chain that works here: copy_file_range,
// then sendfile, then write from the mapped block. A step that the kernel or
// a file system does not offer (ENOSYS, EINVAL, EXDEV, EOPNOTSUPP, EBADF) is
// left for the next one for the rest of the run, silently. Every call names
// the offset in the launcher's file, whose own offset is never used: the
// writer threads share its descriptor. The entry's file is written at its
// own offset, which every step moves on alike, so a step may give way to the
// next in the middle of a file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace onefile {

enum class CopyStep : int { copyFileRange = 0, sendFile = 1, writeFromMapping = 2 };

// Most bytes one call of the kernel's steps copies: a termination signal is
// looked at between two calls.
inline constexpr std::size_t kKernelCopyBytes = 8u << 20;

// A stored entry's content: where it lies in the mapped block, and in the
// launcher's own file (`file`, open for reading, or -1 when the block is not
// read through a file: then it is written from the mapping).
struct StoredContent {
    const unsigned char* mapped;
    int file;
    std::uint64_t fileOffset;
    std::uint64_t size;
};

enum class CopyResult { done, failed, cutShort, stopped };

struct CopyOutcome {
    CopyResult result;
    int error;             // failed: the errno value
    std::uint64_t fileEnd;  // cutShort: where the launcher's file ended for the copy
};

// Called after each write from the mapping with the end of what is written,
// so that the caller can give the block's pages back.
using MappedWritten = void (*)(void* context, const unsigned char* writtenUpTo);

// Copies `content` to the end of what the file open at `target` holds.
// `shouldStop` is asked before each call. A kernel copy that finds the
// launcher's file ending before the content does is cutShort; a failed copy
// or write (a full disk, a quota) gives its errno value.
CopyOutcome copyStoredContent(int target, const StoredContent& content, bool (*shouldStop)(), MappedWritten written,
                              void* context);

// The step the next copy starts with. The chain moves forward on its own;
// setCopyStep sets where it stands, before the copies of a run start (and
// for the tests of each step).
CopyStep currentCopyStep();
void setCopyStep(CopyStep step);

}  // namespace onefile
