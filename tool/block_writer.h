// Writes the block a launcher carries: the magic, one record per entry, the
// end mark and the length trailer.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tool/output_stream.h"
#include "tool/payload_entry.h"
#include "tool/progress_counters.h"

namespace onefile::tool {

// The bytes of an entry record in front of its content: the name and its NUL,
// the flags, then the 8-byte content size or the link text and its NUL.
std::string encodeEntryHeader(const PayloadEntry& entry);

// Total bytes of the block for `entries`, length trailer included.
std::uint64_t measureBlock(const std::vector<PayloadEntry>& entries);

// Opens the content of a file entry for reading from its start; throws
// ToolError when that is no longer the file the entry was made from.
using ContentOpener = std::function<FileDescriptor(const PayloadEntry& entry)>;

// Writes the block for `entries`, each file's content read from what
// `openContent` opens for it. The entries must already have passed the name
// and link checks.
//
// With `compressionLevel`, each file's content goes in as zstd frames made
// at that level, one per kCompressedFrameBytes of content, its entry flagged
// compressed and its size that of the frames; a content whose frames would
// not be smaller is stored as it is, unflagged. The frames are made on one
// thread per processor this process may use and written in block order, so
// the block does not depend on their number; files are opened in block order
// on the calling thread. Links and the end mark are the same either way. The
// block's size is then known only once it is written: measureBlock does not
// tell it.
//
// `counters`, when given, count the entries written and the content read.
void writeBlock(OutputStream& output, const std::vector<PayloadEntry>& entries, const ContentOpener& openContent,
                std::optional<int> compressionLevel = std::nullopt, ProgressCounters* counters = nullptr);

}  // namespace onefile::tool
