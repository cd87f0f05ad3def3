// Compresses the content of a file entry into zstd frames of at most
// kCompressedFrameBytes of content each, read from the file frame by frame,
// so a large file is never held in memory whole.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "tool/output_stream.h"

struct ZSTD_CCtx_s;

namespace onefile::tool {

inline constexpr int kLowestCompressionLevel = 1;
inline constexpr int kHighestCompressionLevel = 19;
inline constexpr int kDefaultCompressionLevel = 3;

class ContentCompressor {
public:
    // One context for every frame it makes, at zstd level `level`. Levels
    // above kHighestCompressionLevel are taken too (the command line refuses
    // them), still with the window limit below. A compressor belongs to one
    // thread at a time; threads that compress at once each use their own.
    explicit ContentCompressor(int level);
    ContentCompressor(const ContentCompressor&) = delete;
    ContentCompressor& operator=(const ContentCompressor&) = delete;
    ~ContentCompressor();

    // Replaces `frame` with one zstd frame of the `length` bytes at `offset`
    // of the regular file open at `sourceFd` (read with pread, so the file's
    // offset does not matter and other threads may read other ranges of it):
    // its header states the unpacked size, a checksum of the content ends it,
    // and its window is at most what the launcher's decoder holds (8 MiB).
    // The same bytes give the same frame whatever the thread: no dictionary,
    // no worker threads of zstd's own. `length` is 1 to
    // kCompressedFrameBytes; `sourceName` names the file in error messages.
    //
    // Returns false as soon as the frame would reach `limit` bytes (storing
    // the content would be smaller); `frame` then holds a part only.
    bool compressFrame(int sourceFd, const std::string& sourceName, std::uint64_t offset, std::uint64_t length,
                       std::uint64_t limit, std::vector<unsigned char>& frame);

    // Appends to `output` the `size` bytes of the regular file open at
    // `sourceFd` as consecutive frames of compressFrame: every frame but the
    // last holds kCompressedFrameBytes of content, so content of at most
    // that size is one frame. Returns false, and stops, as soon as the
    // frames reach `size` bytes: what was appended is then the caller's to
    // take back. The file must still have `size` bytes.
    bool appendFrames(OutputStream& output, int sourceFd, const std::string& sourceName, std::uint64_t size);

    // From now on, adds to `counter` the bytes of each piece compressFrame
    // reads, as it reads it, and the rest of a range it abandons, so that a
    // range counts its length once whichever way it ends. Null stops it.
    void countReadBytes(std::atomic<std::uint64_t>* counter) { bytesRead_ = counter; }

private:
    ZSTD_CCtx_s* context_;
    int level_;
    std::vector<unsigned char> input_;  // content read from the file
    std::vector<unsigned char> frame_;  // one frame on its way to the output
    std::atomic<std::uint64_t>* bytesRead_ = nullptr;
};

}  // namespace onefile::tool
