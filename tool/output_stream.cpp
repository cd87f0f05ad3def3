#include "tool/output_stream.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "tool/tool_error.h"

namespace onefile::tool {
namespace {

inline constexpr std::size_t kBufferBytes = std::size_t{1} << 20;
// The kernel copies between files fastest, and may even share the data,
// when the output offset is on a page boundary. At any other offset (most
// contents: the block has no padding) reading into the buffer and writing it
// in large pieces is the faster way.
inline constexpr std::uint64_t kPageBytes = 4096;
// Smaller contents go through the buffer anyway: a flush and a kernel copy
// cost more than one read.
inline constexpr std::uint64_t kKernelCopyMinimumBytes = std::uint64_t{64} << 10;
// Largest request of one kernel copy call.
inline constexpr std::uint64_t kCopyRequestBytes = std::uint64_t{1} << 30;

// Errors after which the next method of copying between files is tried: the
// kernel or the file systems do not offer the current one for this pair.
bool isUnsupportedCopy(int errorNumber) {
    return errorNumber == EXDEV || errorNumber == ENOSYS || errorNumber == EOPNOTSUPP ||
           errorNumber == EINVAL;
}

}  // namespace

OutputStream::OutputStream(int fd, std::string displayName)
    : fd_(fd), displayName_(std::move(displayName)), buffer_(kBufferBytes) {}

void OutputStream::write(std::span<const unsigned char> bytes) {
    if (bytes.size() > buffer_.size() - used_) flush();
    if (bytes.size() >= buffer_.size()) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                failWrite(errno);
            }
            done += static_cast<std::size_t>(n);
        }
        position_ += bytes.size();
        reportWrittenEnd();
        return;
    }
    std::memcpy(buffer_.data() + used_, bytes.data(), bytes.size());
    used_ += bytes.size();
    position_ += bytes.size();
}

void OutputStream::write(std::string_view bytes) {
    write(std::span(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
}

void OutputStream::writeZeros(std::uint64_t count) {
    static const unsigned char zeros[4096] = {};
    while (count > 0) {
        const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(count, sizeof zeros));
        write(std::span(zeros, piece));
        count -= piece;
    }
}

void OutputStream::flush() {
    std::size_t done = 0;
    while (done < used_) {
        const ssize_t n = ::write(fd_, buffer_.data() + done, used_ - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            failWrite(errno);
        }
        done += static_cast<std::size_t>(n);
    }
    used_ = 0;
    reportWrittenEnd();
}

void OutputStream::reportWrittenEnd() const {
    if (observer_) observer_(position_ - used_);
}

void OutputStream::refuseChangeBefore(std::uint64_t offset) const {
    if (observer_ && offset < position_ - used_)
        throw std::logic_error("bytes already reported as final were to change");
}

void OutputStream::overwrite(std::uint64_t offset, std::span<const unsigned char> bytes) {
    if (offset > position_ || bytes.size() > position_ - offset)
        throw ToolError(displayName_, "overwrite beyond the bytes written");
    refuseChangeBefore(offset);
    // Bytes still in the buffer are changed there; earlier ones in the file.
    const std::uint64_t buffered = position_ - used_;
    std::size_t done = 0;
    while (done < bytes.size() && offset + done < buffered) {
        const std::size_t piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size() - done, buffered - offset - done));
        const ssize_t n = ::pwrite(fd_, bytes.data() + done, piece, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            failWrite(errno);
        }
        if (n == 0) failWrite(EIO);
        done += static_cast<std::size_t>(n);
    }
    if (done < bytes.size())
        std::memcpy(buffer_.data() + (offset + done - buffered), bytes.data() + done, bytes.size() - done);
}

void OutputStream::rewindTo(std::uint64_t offset) {
    if (offset > position_) throw ToolError(displayName_, "rewind beyond the bytes written");
    refuseChangeBefore(offset);
    const std::uint64_t buffered = position_ - used_;
    if (offset >= buffered) {
        used_ -= static_cast<std::size_t>(position_ - offset);
    } else {
        used_ = 0;
        if (::ftruncate(fd_, static_cast<off_t>(offset)) != 0 ||
            ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0)
            failWrite(errno);
    }
    position_ = offset;
}

void OutputStream::copyFrom(int sourceFd, const std::string& sourceName, std::uint64_t size) {
    struct stat status {};
    if (::fstat(sourceFd, &status) != 0) failRead(sourceName, errno);
    // The size went into the entry header before the content: a file that
    // changed since the scan would make the header lie.
    if (!S_ISREG(status.st_mode) || static_cast<std::uint64_t>(status.st_size) != size)
        throw ToolError(sourceName, "changed while being packed");
    if (position_ % kPageBytes == 0 && size >= kKernelCopyMinimumBytes) {
        flush();
        copyInKernel(sourceFd, sourceName, size);
    } else {
        copyThroughBuffer(sourceFd, sourceName, size);
    }
}

void OutputStream::copyThroughBuffer(int sourceFd, const std::string& sourcePath, std::uint64_t size) {
    std::uint64_t remaining = size;
    while (remaining > 0) {
        if (used_ == buffer_.size()) flush();
        const std::size_t room = buffer_.size() - used_;
        const ssize_t n = ::read(sourceFd, buffer_.data() + used_, static_cast<std::size_t>(std::min<std::uint64_t>(remaining, room)));
        if (n < 0) {
            if (errno == EINTR) continue;
            failRead(sourcePath, errno);
        }
        if (n == 0) failShrunk(sourcePath);
        used_ += static_cast<std::size_t>(n);
        remaining -= static_cast<std::uint64_t>(n);
        position_ += static_cast<std::uint64_t>(n);
    }
}

void OutputStream::copyInKernel(int sourceFd, const std::string& sourcePath, std::uint64_t size) {
    std::uint64_t remaining = size;
    while (remaining > 0) {
        const std::size_t request = static_cast<std::size_t>(std::min(remaining, kCopyRequestBytes));
        ssize_t n = 0;
        switch (copyMethod_) {
            case CopyMethod::copyFileRange:
                n = ::copy_file_range(sourceFd, nullptr, fd_, nullptr, request, 0);
                if (n < 0 && isUnsupportedCopy(errno)) {
                    copyMethod_ = CopyMethod::sendFile;
                    continue;
                }
                break;
            case CopyMethod::sendFile:
                n = ::sendfile(fd_, sourceFd, nullptr, request);
                if (n < 0 && isUnsupportedCopy(errno)) {
                    copyMethod_ = CopyMethod::readWrite;
                    continue;
                }
                break;
            case CopyMethod::readWrite:
                n = ::read(sourceFd, buffer_.data(), std::min(request, buffer_.size()));
                if (n < 0 && errno != EINTR) failRead(sourcePath, errno);
                if (n > 0) {
                    used_ = static_cast<std::size_t>(n);
                    flush();
                }
                break;
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            // The kernel copies do not tell which side failed; the source was
            // readable a moment ago, so the output is the likely culprit.
            failWrite(errno);
        }
        if (n == 0) failShrunk(sourcePath);
        remaining -= static_cast<std::uint64_t>(n);
        position_ += static_cast<std::uint64_t>(n);
        reportWrittenEnd();
    }
}

void OutputStream::failWrite(int errorNumber) const {
    throw ToolError(displayName_, "cannot write: " + systemErrorText(errorNumber));
}

void OutputStream::failRead(const std::string& sourcePath, int errorNumber) {
    throw ToolError(sourcePath, "cannot read: " + systemErrorText(errorNumber));
}

void OutputStream::failShrunk(const std::string& sourcePath) {
    throw ToolError(sourcePath, "became shorter while being packed");
}

}  // namespace onefile::tool
