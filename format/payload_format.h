// Byte format of an attached block, shared by the launcher and the onefile
// tool. Fields follow each other without gaps or alignment; numbers are
// little-endian.
//
//   block   := magic entry* end-mark length-trailer
//   magic   := "ZQX"
//   entry   := name NUL flags ( size:u64 content[size] | link-text NUL )
//   end-mark:= NUL                      (an entry with an empty name)
//   length-trailer := u64, bytes of magic, entries and end mark together
#pragma once

#include <cstddef>
#include <cstdint>

namespace onefile {

inline constexpr unsigned char kPayloadMagic[] = {'Z', 'Q', 'X'};
inline constexpr std::size_t kPayloadMagicBytes = sizeof(kPayloadMagic);

inline constexpr std::uint8_t kEntryFlagExecutable = 0x01;
inline constexpr std::uint8_t kEntryFlagLink = 0x02;
// The content is one zstd frame or more, back to back (decoder stubs only;
// damage on a link).
inline constexpr std::uint8_t kEntryFlagCompressed = 0x04;

// The unpacked content of one frame of a compressed entry: the tool cuts a
// larger file into frames of this size (the last one shorter), so that the
// launcher can decode them on several threads at once. Small enough that a
// library of tens of megabytes keeps a few processors busy, large enough
// that a frame loses little of what the window would have found before it.
inline constexpr std::uint64_t kCompressedFrameBytes = std::uint64_t{8} << 20;

// Whether a frame that unpacks to `contentBytes` at `offset` of its entry's
// content, and is `followed` by another frame of the entry, has the size the
// tool gives it: every frame but the last holds kCompressedFrameBytes, so a
// frame added, lost or cut off in the middle shows; and none after the first
// is empty. The last may hold more (one frame per entry, whatever its size,
// was the only shape once).
constexpr bool compressedFrameFits(std::uint64_t offset, std::uint64_t contentBytes, bool followed) {
    if (offset != 0 && contentBytes == 0) return false;
    return !followed || contentBytes == kCompressedFrameBytes;
}

inline constexpr std::size_t kContentSizeBytes = 8;
inline constexpr std::size_t kLengthTrailerBytes = 8;
static_assert(kContentSizeBytes == sizeof(std::uint64_t) && kLengthTrailerBytes == sizeof(std::uint64_t));

// The little-endian number of kContentSizeBytes at `bytes`: an entry's
// content size or the length trailer. The caller has checked that the bytes
// are there.
constexpr std::uint64_t decodeBlockNumber(const unsigned char* bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < kContentSizeBytes; ++i) value |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
    return value;
}

// Adds `more` to *total; false, with *total unchanged, when the sum does not
// fit 64 bits. Sizes that a block states add up to no more than that in any
// block the tool makes, so a sum that would wrap is damage, never a small
// need.
constexpr bool addBlockSizes(std::uint64_t* total, std::uint64_t more) {
    if (more > ~std::uint64_t{0} - *total) return false;
    *total += more;
    return true;
}

// An entry name or link text holds at most 1023 bytes before its NUL.
inline constexpr std::size_t kNameBufferBytes = 1024;

}  // namespace onefile
