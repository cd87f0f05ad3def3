// Writes a launcher: a stub whose payload section has grown to hold the
// configuration area and an attached block.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "tool/elf_reader.h"
#include "tool/output_stream.h"
#include "tool/stub_layout.h"

namespace onefile::tool {

// Writes to `output` (at position 0) the bytes of `stub` before its payload
// section, the section's new content (`configArea`, in the stub's layout,
// then the block that `writeBlockBytes` writes), and the non-loaded sections
// and the section header table that followed the section, moved behind it.
// The payload
// segment and section grow to the new size; e_shoff and the moved sections'
// sh_offset follow their bytes. `blockBytes` is the block's measured size,
// which the block written must have; without it the tables are completed
// once the block is written. The bytes are the same either way.
void writeLauncher(OutputStream& output, ByteSpan stub, const StubLayout& layout,
                   ByteSpan configArea, std::optional<std::uint64_t> blockBytes,
                   const std::function<void(OutputStream&)>& writeBlockBytes);

}  // namespace onefile::tool
