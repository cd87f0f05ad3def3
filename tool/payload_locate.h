// Finds the payload section of a launcher from its ELF tables: by the
// section's name, or, when the section headers are gone, as the last loadable
// segment. Never from the end of the file, whose tail tools such as strip and
// objcopy rewrite. Pure functions over the file's bytes; anything malformed
// throws FormatError.
#pragma once

#include <cstdint>

#include "tool/elf_reader.h"

namespace onefile::tool {

struct PayloadLocation {
    std::uint64_t offset = 0;  // in the file
    std::uint64_t size = 0;
};

// Only a launcher for one of the architectures is read; a file for any other
// machine is refused before its tables are.
PayloadLocation locatePayloadSection(ByteSpan launcher);

// The payload section's bytes, which must start with a configuration area of
// either layout.
ByteSpan findPayloadSection(ByteSpan launcher);

// The attached block: the payload section's bytes behind the configuration
// area, whose signature must be in place.
ByteSpan findAttachedBlock(ByteSpan launcher);

}  // namespace onefile::tool
