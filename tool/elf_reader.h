// Bounds-checked reading of the ELF structures of a file held in memory. Every
// structure is copied out with memcpy; anything that lies outside the bytes
// throws FormatError.
#pragma once

#include <elf.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace onefile::tool {

using ByteSpan = std::span<const unsigned char>;

// True when [offset, offset + length) lies inside `bytes`, without overflow.
bool spansInside(ByteSpan bytes, std::uint64_t offset, std::uint64_t length);

// The ELF header of a 64-bit little-endian file.
Elf64_Ehdr readElfHeader(ByteSpan file);

// The program header table; empty when the file has none.
std::vector<Elf64_Phdr> readProgramHeaders(ByteSpan file, const Elf64_Ehdr& header);

// The section header table; empty when it is gone (e_shoff or e_shnum 0).
std::vector<Elf64_Shdr> readSectionHeaders(ByteSpan file, const Elf64_Ehdr& header);

// Name of section `index` from the section name table.
std::string readSectionName(ByteSpan file, const Elf64_Ehdr& header,
                            const std::vector<Elf64_Shdr>& sections, std::size_t index);

}  // namespace onefile::tool
