#include "tool/content_compressor.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <span>
#include <vector>

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getCParams
#include <zstd.h>

#include "format/payload_format.h"
#include "payload/entry_decoder.h"
#include "tool/tool_error.h"

namespace onefile::tool {
namespace {

// Content is read in pieces of this size; zstd keeps what its window needs.
inline constexpr std::size_t kReadBytes = std::size_t{1} << 20;

void check(std::size_t result, const std::string& subject) {
    if (ZSTD_isError(result))
        throw ToolError(subject, std::string("cannot be compressed: ") + ZSTD_getErrorName(result));
}

// Reads exactly `size` bytes at `offset` into `buffer`, so the pieces zstd
// is given depend on the content's size alone.
void readPiece(int fd, const std::string& sourceName, std::uint64_t offset, unsigned char* buffer, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, buffer + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw ToolError(sourceName, "cannot read: " + systemErrorText(errno));
        }
        if (n == 0) throw ToolError(sourceName, "became shorter while being packed");
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

ContentCompressor::ContentCompressor(int level) : context_(ZSTD_createCCtx()), level_(level) {
    if (context_ == nullptr) throw ToolError("--compress", "no memory for a compression context");
    const std::string subject = "--compress=" + std::to_string(level);
    check(ZSTD_CCtx_setParameter(context_, ZSTD_c_compressionLevel, level), subject);
    check(ZSTD_CCtx_setParameter(context_, ZSTD_c_checksumFlag, 1), subject);
    check(ZSTD_CCtx_setParameter(context_, ZSTD_c_contentSizeFlag, 1), subject);
    // On this thread alone: worker threads would cut the content otherwise.
    check(ZSTD_CCtx_setParameter(context_, ZSTD_c_nbWorkers, 0), subject);
}

ContentCompressor::~ContentCompressor() { ZSTD_freeCCtx(context_); }

bool ContentCompressor::compressFrame(int sourceFd, const std::string& sourceName, std::uint64_t offset,
                                      std::uint64_t length, std::uint64_t limit, std::vector<unsigned char>& frame) {
    frame.clear();
    check(ZSTD_CCtx_reset(context_, ZSTD_reset_session_only), sourceName);
    // The window the level would choose for this size, unless that exceeds
    // the decoder's workspace; 0 leaves the level's own choice.
    const unsigned chosenWindowLog = ZSTD_getCParams(level_, length, 0).windowLog;
    const int windowLog = chosenWindowLog > kDecoderWindowLog ? static_cast<int>(kDecoderWindowLog) : 0;
    check(ZSTD_CCtx_setParameter(context_, ZSTD_c_windowLog, windowLog), sourceName);
    // The size goes into the frame header, and zstd fits its tables to it.
    check(ZSTD_CCtx_setPledgedSrcSize(context_, length), sourceName);

    // The buffers stay for the next frame; the input one grows only as far
    // as a content needs.
    const std::size_t inputBytes = static_cast<std::size_t>(std::min<std::uint64_t>(length, kReadBytes));
    if (input_.size() < inputBytes) input_.resize(inputBytes);
    if (frame_.empty()) frame_.resize(ZSTD_CStreamOutSize());
    std::uint64_t unread = length;
    while (true) {
        const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(unread, inputBytes));
        readPiece(sourceFd, sourceName, offset + (length - unread), input_.data(), piece);
        unread -= piece;
        if (bytesRead_) *bytesRead_ += piece;
        const ZSTD_EndDirective directive = unread == 0 ? ZSTD_e_end : ZSTD_e_continue;
        ZSTD_inBuffer in{input_.data(), piece, 0};
        bool pieceDone = false;
        while (!pieceDone) {
            ZSTD_outBuffer out{frame_.data(), frame_.size(), 0};
            const std::size_t left = ZSTD_compressStream2(context_, &out, &in, directive);
            check(left, sourceName);
            frame.insert(frame.end(), frame_.data(), frame_.data() + out.pos);
            if (frame.size() >= limit) {
                (void)ZSTD_CCtx_reset(context_, ZSTD_reset_session_only);
                // The rest is passed over: the file is stored as it is.
                if (bytesRead_) *bytesRead_ += unread;
                return false;
            }
            // The last piece is done when the frame is complete, any other
            // once zstd has taken all of it.
            pieceDone = directive == ZSTD_e_end ? left == 0 : in.pos == in.size;
        }
        if (directive == ZSTD_e_end) return true;
    }
}

bool ContentCompressor::appendFrames(OutputStream& output, int sourceFd, const std::string& sourceName,
                                     std::uint64_t size) {
    struct stat status {};
    if (::fstat(sourceFd, &status) != 0) throw ToolError(sourceName, "cannot read: " + systemErrorText(errno));
    // The entry header is written before the content: a file that changed
    // since the scan would make the frames' stated sizes a lie.
    if (!S_ISREG(status.st_mode) || static_cast<std::uint64_t>(status.st_size) != size)
        throw ToolError(sourceName, "changed while being packed");
    // Even a frame of nothing has a header: an empty file is stored as is.
    if (size == 0) return false;

    std::vector<unsigned char> frame;
    std::uint64_t framesBytes = 0;
    for (std::uint64_t offset = 0; offset < size; offset += kCompressedFrameBytes) {
        const std::uint64_t length = std::min<std::uint64_t>(size - offset, kCompressedFrameBytes);
        if (!compressFrame(sourceFd, sourceName, offset, length, size - framesBytes, frame)) return false;
        output.write(std::span<const unsigned char>(frame.data(), frame.size()));
        framesBytes += frame.size();
    }
    return true;
}

}  // namespace onefile::tool
