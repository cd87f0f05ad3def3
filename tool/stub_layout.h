// The layout a launcher stub must have for a payload to be attached to it:
// the payload section alone in the last loadable segment, after everything
// that is loaded, so that growing the segment in place moves nothing that the
// program refers to.
#pragma once

#include <elf.h>

#include <cstddef>
#include <vector>

#include "tool/architecture.h"
#include "tool/config_area.h"
#include "tool/elf_reader.h"

namespace onefile::tool {

// No kernel that runs a launcher maps pages smaller than this.
inline constexpr std::uint64_t kSmallestPageBytes = 4096;

struct StubLayout {
    Elf64_Ehdr header{};
    Architecture architecture = Architecture::x86_64;
    // The largest page the stub was linked for: the largest alignment of its
    // loadable segments (4 KiB on x86-64, 64 KiB on aarch64, whose kernels
    // may use pages of that size).
    std::uint64_t pageBytes = kSmallestPageBytes;
    std::vector<Elf64_Phdr> segments;
    std::vector<Elf64_Shdr> sections;
    std::size_t payloadSection = 0;  // index into sections
    std::size_t payloadSegment = 0;  // index into segments
    ConfigLayout configLayout = ConfigLayout::second;  // of the stub's configuration area
};

// Checks that `stub` is a position-independent executable for one of the
// architectures, laid out exactly as the payload section's linker script
// arranges it, and returns its tables. Anything else throws FormatError saying
// what differs.
StubLayout checkStubLayout(ByteSpan stub);

}  // namespace onefile::tool
