// The layout a launcher stub must have for a payload to be attached to it:
// the payload section alone in the last loadable segment, after everything
// that is loaded, so that growing the segment in place moves nothing that the
// program refers to.
#pragma once

#include <elf.h>

#include <cstddef>
#include <vector>

#include "build/tool/elf_reader.h"

namespace onefile::tool {

inline constexpr std::uint64_t kPageBytes = 4096;

struct StubLayout {
    Elf64_Ehdr header{};
    std::vector<Elf64_Phdr> segments;
    std::vector<Elf64_Shdr> sections;
    std::size_t payloadSection = 0;  // index into sections
    std::size_t payloadSegment = 0;  // index into segments
};

// Checks that `stub` is an x86-64 position-independent executable laid out
// exactly as the payload section's linker script arranges it, and returns its
// tables. Anything else throws FormatError saying what differs.
StubLayout checkStubLayout(ByteSpan stub);

}  // namespace onefile::tool
