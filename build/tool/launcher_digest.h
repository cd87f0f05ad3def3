// The digest a launcher records of itself: SHA-256 over every byte of the
// file that a loadable segment maps (code, configuration area and block),
// each byte once and in file order, with the digest field and the ELF
// header's e_shoff, e_shnum and e_shstrndx taken as zero. strip and objcopy
// rewrite those three header fields, which lie inside the first loaded
// segment, and nothing else that is loaded; any change to what runs changes
// the digest.
#pragma once

#include <cstdint>
#include <string>

#include "build/tool/config_area.h"
#include "build/tool/elf_reader.h"

namespace onefile::tool {

// The digest of `launcher`, whose digest field starts at file offset
// `digestFieldOffset`. A segment that lies outside the file throws
// FormatError.
LauncherDigest computeLauncherDigest(ByteSpan launcher, std::uint64_t digestFieldOffset);

// Lower-case hexadecimal, 64 characters.
std::string formatDigest(const LauncherDigest& digest);

}  // namespace onefile::tool
