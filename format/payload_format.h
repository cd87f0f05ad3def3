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
// The content is one zstd frame (decoder stubs only; damage on a link).
inline constexpr std::uint8_t kEntryFlagCompressed = 0x04;

inline constexpr std::size_t kContentSizeBytes = 8;
inline constexpr std::size_t kLengthTrailerBytes = 8;

// An entry name or link text holds at most 1023 bytes before its NUL.
inline constexpr std::size_t kNameBufferBytes = 1024;

}  // namespace onefile
