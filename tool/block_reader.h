// Reads a block back into its entries, checking every byte against the
// format. A pure function over a byte span: whatever the bytes, it returns
// the entries or throws FormatError, and never reads outside the span.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "tool/payload_entry.h"

namespace onefile::tool {

struct BlockEntryInfo {
    std::string name;
    std::uint8_t flags = 0;  // as stored, bits the launcher ignores included
    EntryKind kind = EntryKind::file;
    bool executable = false;
    bool compressed = false;          // the content is zstd frames
    std::uint64_t size = 0;           // content bytes of a file, as stored
    std::uint64_t unpackedSize = 0;   // bytes of the file once unpacked
    std::string linkText;             // text of a link
    std::uint64_t contentOffset = 0;  // first content byte, from the block's start
};

// Hands each entry of `block` to `visit` in order, one at a time, in memory
// that does not grow with the number of entries. `block` must hold exactly
// one block: the magic, well-formed entries, the end mark and a length
// trailer that tells the truth. A compressed file's content must be zstd
// frames back to back, found by walking their headers, each header stating
// the unpacked size and asking for a window the launcher's decoder holds,
// and the frames sized as the tool makes them (compressedFrameFits); their
// blocks are not decoded. Unpacked sizes that add up to more than 64 bits
// count, within an entry or over the block, are a fault. The compressed flag
// on a link is a fault. A fault throws FormatError when it is met,
// after the entries before it have been visited; returns the number of
// entries.
std::uint64_t visitBlock(std::span<const unsigned char> block,
                         const std::function<void(const BlockEntryInfo&)>& visit);

// The entries of `block`, which must hold exactly one block, as visitBlock
// reads it.
std::vector<BlockEntryInfo> readBlock(std::span<const unsigned char> block);

}  // namespace onefile::tool
