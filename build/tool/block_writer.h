// Writes the block a launcher carries: the magic, one record per entry, the
// end mark and the length trailer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "build/tool/output_stream.h"
#include "build/tool/payload_entry.h"

namespace onefile::tool {

// The bytes of an entry record in front of its content: the name and its NUL,
// the flags, then the 8-byte content size or the link text and its NUL.
std::string encodeEntryHeader(const PayloadEntry& entry);

// Total bytes of the block for `entries`, length trailer included.
std::uint64_t measureBlock(const std::vector<PayloadEntry>& entries);

// Writes the block for `entries`, file contents read from their source paths.
// The entries must already have passed the name and link checks.
void writeBlock(OutputStream& output, const std::vector<PayloadEntry>& entries);

}  // namespace onefile::tool
