// Compresses the content of a file entry into one zstd frame, read from the
// file and written to the output as it goes, so a large file is never held
// in memory whole.
#pragma once

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
    // One context for every frame of a block, at zstd level `level`. Levels
    // above kHighestCompressionLevel are taken too (the command line refuses
    // them), still with the window limit below.
    explicit ContentCompressor(int level);
    ContentCompressor(const ContentCompressor&) = delete;
    ContentCompressor& operator=(const ContentCompressor&) = delete;
    ~ContentCompressor();

    // Appends to `output` the `size` bytes of the regular file open at
    // `sourceFd`, read from its current offset, as one zstd frame: its
    // header states the unpacked size, a checksum of the content ends it,
    // and its window is at most what the launcher's decoder holds (8 MiB).
    // The same bytes give the same frame: one thread, no dictionary.
    //
    // Returns false, and stops reading and writing, as soon as the frame
    // reaches `size` bytes: storing the content as it is would be smaller.
    // What was appended is then the caller's to take back. The file must
    // still have `size` bytes; `sourceName` names it in error messages.
    bool appendFrame(OutputStream& output, int sourceFd, const std::string& sourceName, std::uint64_t size);

private:
    ZSTD_CCtx_s* context_;
    int level_;
    std::vector<unsigned char> input_;  // content read from the file
    std::vector<unsigned char> frame_;  // frame bytes on their way to the output
};

}  // namespace onefile::tool
