#include "payload/copy_stored_content.h"

#include <cerrno>
#include <sys/sendfile.h>
#include <sys/types.h>
#include <unistd.h>

#include "payload/extract_payload.h"

namespace onefile {

namespace {

// Shared by the writer threads: read and moved on with atomics.
int copyStep = static_cast<int>(CopyStep::copyFileRange);

static_assert(ENOTSUP == EOPNOTSUPP, "one number for both names, as on Linux");

// Errors that say a step is not offered here (an old kernel, another file
// system, a descriptor the call does not take): the next step copies.
bool stepNotOffered(int error) {
    return error == ENOSYS || error == EINVAL || error == EXDEV || error == EOPNOTSUPP || error == EBADF;
}

// Moves the chain past `step`, unless another thread moved it further.
void leaveStep(CopyStep step) {
    int current = static_cast<int>(step);
    (void)__atomic_compare_exchange_n(&copyStep, &current, current + 1, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED);
}

// One call of a kernel step: the bytes copied, or -1 with errno set.
ssize_t copyOnce(CopyStep step, int target, int source, std::uint64_t offset, std::size_t bytes) {
    off_t position = static_cast<off_t>(offset);
    if (step == CopyStep::copyFileRange) return copy_file_range(source, &position, target, nullptr, bytes, 0);
    return sendfile(target, source, &position, bytes);
}

}  // namespace

CopyStep currentCopyStep() { return static_cast<CopyStep>(__atomic_load_n(&copyStep, __ATOMIC_RELAXED)); }

void setCopyStep(CopyStep step) { __atomic_store_n(&copyStep, static_cast<int>(step), __ATOMIC_RELAXED); }

CopyOutcome copyStoredContent(int target, const StoredContent& content, bool (*shouldStop)(), MappedWritten written,
                              void* context) {
    std::uint64_t done = 0;
    while (done < content.size) {
        if (shouldStop()) return {CopyResult::stopped, 0, 0};
        const std::uint64_t remaining = content.size - done;
        const CopyStep step = content.file < 0 ? CopyStep::writeFromMapping : currentCopyStep();
        ssize_t copied;
        if (step == CopyStep::writeFromMapping) {
            const std::size_t chunk = remaining < kWriteChunkBytes ? static_cast<std::size_t>(remaining) : kWriteChunkBytes;
            copied = write(target, content.mapped + done, chunk);
            if (copied == 0) return {CopyResult::failed, EIO, 0};
        } else {
            const std::size_t chunk = remaining < kKernelCopyBytes ? static_cast<std::size_t>(remaining) : kKernelCopyBytes;
            copied = copyOnce(step, target, content.file, content.fileOffset + done, chunk);
            // Nothing more to read: the launcher's file ends here.
            if (copied == 0) return {CopyResult::cutShort, 0, content.fileOffset + done};
        }
        if (copied < 0) {
            if (errno == EINTR) continue;
            if (step != CopyStep::writeFromMapping && stepNotOffered(errno)) {
                leaveStep(step);
                continue;
            }
            return {CopyResult::failed, errno, 0};
        }
        done += static_cast<std::uint64_t>(copied);
        if (step == CopyStep::writeFromMapping && written != nullptr) written(context, content.mapped + done);
    }
    return {CopyResult::done, 0, 0};
}

}  // namespace onefile
