#include "tool/block_reader.h"

#include <algorithm>
#include <cstring>

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader, ZSTD_findFrameCompressedSize
#include <zstd.h>

#include "format/payload_format.h"
#include "payload/entry_decoder.h"
#include "tool/tool_error.h"

namespace onefile::tool {
namespace {

inline constexpr const char* kBeyondCounting = "more than 18446744073709551615 bytes in all";

class BlockCursor {
public:
    explicit BlockCursor(std::span<const unsigned char> block) : block_(block) {}

    std::uint64_t position() const { return position_; }
    std::uint64_t remaining() const { return block_.size() - position_; }

    // Reads a NUL-terminated text that must fit the launcher's name buffer.
    std::string readText(const std::string& context, const char* what) {
        const std::size_t limit = static_cast<std::size_t>(std::min<std::uint64_t>(remaining(), kNameBufferBytes));
        const unsigned char* start = block_.data() + position_;
        const void* nul = std::memchr(start, '\0', limit);
        if (nul == nullptr) {
            if (limit == remaining())
                throw FormatError(context + ": " + what + " runs past the end of the block");
            throw FormatError(context + ": " + what + " longer than " +
                              std::to_string(kNameBufferBytes - 1) + " bytes");
        }
        const std::size_t length = static_cast<const unsigned char*>(nul) - start;
        position_ += length + 1;
        return std::string(reinterpret_cast<const char*>(start), length);
    }

    std::uint8_t readByte(const std::string& context, const char* what) {
        if (remaining() < 1) throw FormatError(context + ": " + what + " missing at the end of the block");
        return block_[position_++];
    }

    std::uint64_t readNumber(const std::string& context, const char* what) {
        if (remaining() < kContentSizeBytes)
            throw FormatError(context + ": " + what + " cut off by the end of the block");
        const std::uint64_t value = decodeBlockNumber(block_.data() + position_);
        position_ += kContentSizeBytes;
        return value;
    }

    void skip(std::uint64_t bytes) { position_ += bytes; }

private:
    std::span<const unsigned char> block_;
    std::uint64_t position_ = 0;
};

void checkMagic(std::span<const unsigned char> block) {
    if (block.size() < kPayloadMagicBytes ||
        !std::equal(std::begin(kPayloadMagic), std::end(kPayloadMagic), block.begin()))
        throw FormatError("no payload attached: the block does not start with the magic \"ZQX\"");
}

// The unpacked size of the frame at the start of `frame`, from its header. A
// header that the launcher's decoder refuses is a fault: one it cannot read,
// a skippable frame, one without its checksum or the unpacked size, and one
// asking for a larger window than the decoder holds.
std::uint64_t frameContentSize(std::span<const unsigned char> frame, const std::string& context) {
    ZSTD_frameHeader header{};
    const std::size_t result = ZSTD_getFrameHeader(&header, frame.data(), frame.size());
    if (ZSTD_isError(result) || result != 0)
        throw FormatError(context + " does not start with a zstd frame header");
    if (header.frameType == ZSTD_skippableFrame)
        throw FormatError(context + " is a skippable frame, not a zstd frame");
    if (header.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN)
        throw FormatError(context + "'s frame header does not state the unpacked size");
    if (header.windowSize > (std::uint64_t{1} << kDecoderWindowLog))
        throw FormatError(context + " asks for a window of " + std::to_string(header.windowSize) +
                          " bytes, more than the decoder's " + std::to_string(std::uint64_t{1} << kDecoderWindowLog));
    if (header.checksumFlag == 0) throw FormatError(context + "'s frame has no checksum");
    return header.frameContentSize;
}

// The unpacked size of a compressed content: the sum of its frames', found by
// walking their headers as the launcher does. Each frame must have a header
// the decoder takes and end within the content, the last one exactly at its
// end, and the frames must have the sizes compressedFrameFits wants.
std::uint64_t unpackedSizeOf(std::span<const unsigned char> content, const std::string& context) {
    std::uint64_t unpacked = 0;
    std::uint64_t used = 0;
    for (std::uint64_t frame = 1;; ++frame) {
        const std::span<const unsigned char> rest = content.subspan(used);
        const std::string subject =
            context + ": compressed content" + (frame == 1 ? "" : "'s frame " + std::to_string(frame));
        const std::uint64_t contentBytes = frameContentSize(rest, subject);
        const std::size_t frameBytes = ZSTD_findFrameCompressedSize(rest.data(), rest.size());
        if (ZSTD_isError(frameBytes))
            throw FormatError(subject + (frame == 1 ? "'s frame" : "") + " is cut short or damaged");
        used += frameBytes;
        const bool followed = used != content.size();
        if (!compressedFrameFits(unpacked, contentBytes, followed))
            throw FormatError(subject + (frame == 1 ? "'s frame" : "") + " unpacks to " + std::to_string(contentBytes) +
                              " bytes, where " +
                              (contentBytes == 0 ? std::string("a frame behind another holds some")
                                                 : "a frame followed by another holds " +
                                                       std::to_string(kCompressedFrameBytes)));
        if (!addBlockSizes(&unpacked, contentBytes))
            throw FormatError(subject + " unpacks to " + std::to_string(contentBytes) + " bytes after " +
                              std::to_string(unpacked) + ": " + kBeyondCounting);
        if (!followed) return unpacked;
    }
}

}  // namespace

std::uint64_t visitBlock(std::span<const unsigned char> block,
                         const std::function<void(const BlockEntryInfo&)>& visit) {
    checkMagic(block);
    BlockCursor cursor(block);
    cursor.skip(kPayloadMagicBytes);
    std::uint64_t count = 0;
    // What the entries unpack to together: the launcher makes room for the
    // sum before it writes anything.
    std::uint64_t unpackedTotal = 0;
    while (true) {
        const std::string context =
            "entry " + std::to_string(count + 1) + " at byte " + std::to_string(cursor.position());
        if (cursor.remaining() == 0) throw FormatError(context + ": end mark missing");
        BlockEntryInfo entry;
        entry.name = cursor.readText(context, "name");
        if (entry.name.empty()) break;
        entry.flags = cursor.readByte(context, "flags");
        entry.executable = (entry.flags & kEntryFlagExecutable) != 0;
        entry.compressed = (entry.flags & kEntryFlagCompressed) != 0;
        if ((entry.flags & kEntryFlagLink) != 0) {
            if (entry.compressed) throw FormatError(context + ": a link flagged compressed");
            entry.kind = EntryKind::link;
            entry.linkText = cursor.readText(context, "link text");
            if (entry.linkText.empty()) throw FormatError(context + ": empty link text");
        } else {
            entry.size = cursor.readNumber(context, "content size");
            if (entry.size > cursor.remaining())
                throw FormatError(context + ": content of " + std::to_string(entry.size) +
                                  " bytes runs past the end of the block");
            entry.contentOffset = cursor.position();
            entry.unpackedSize =
                entry.compressed ? unpackedSizeOf(block.subspan(entry.contentOffset, entry.size), context) : entry.size;
            cursor.skip(entry.size);
            if (!addBlockSizes(&unpackedTotal, entry.unpackedSize))
                throw FormatError(context + ": unpacks to " + std::to_string(entry.unpackedSize) +
                                  " bytes after " + std::to_string(unpackedTotal) + " of the entries before it: " +
                                  kBeyondCounting);
        }
        visit(entry);
        ++count;
    }
    const std::uint64_t bodyBytes = cursor.position();
    const std::uint64_t trailer = cursor.readNumber("after the end mark", "length trailer");
    if (trailer != bodyBytes)
        throw FormatError("length trailer says " + std::to_string(trailer) + " bytes, the block holds " +
                          std::to_string(bodyBytes));
    if (cursor.remaining() != 0)
        throw FormatError(std::to_string(cursor.remaining()) + " stray bytes after the length trailer");
    return count;
}

std::vector<BlockEntryInfo> readBlock(std::span<const unsigned char> block) {
    std::vector<BlockEntryInfo> entries;
    (void)visitBlock(block, [&entries](const BlockEntryInfo& entry) { entries.push_back(entry); });
    return entries;
}

}  // namespace onefile::tool
