#include "tool/elf_reader.h"

#include <cstring>

#include "tool/tool_error.h"

namespace onefile::tool {
namespace {

template <typename T>
T readStruct(ByteSpan bytes, std::uint64_t offset, const char* what) {
    if (!spansInside(bytes, offset, sizeof(T))) throw FormatError(std::string(what) + " lies outside the file");
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

template <typename T>
std::vector<T> readTable(ByteSpan bytes, std::uint64_t offset, std::uint64_t count,
                         std::uint64_t entrySize, const char* what) {
    if (entrySize != sizeof(T))
        throw FormatError(std::string(what) + " has entries of " + std::to_string(entrySize) +
                          " bytes, expected " + std::to_string(sizeof(T)));
    if (!spansInside(bytes, offset, count * sizeof(T))) throw FormatError(std::string(what) + " lies outside the file");
    std::vector<T> table(count);
    if (count > 0) std::memcpy(table.data(), bytes.data() + offset, count * sizeof(T));
    return table;
}

}  // namespace

bool spansInside(ByteSpan bytes, std::uint64_t offset, std::uint64_t length) {
    return offset <= bytes.size() && length <= bytes.size() - offset;
}

Elf64_Ehdr readElfHeader(ByteSpan file) {
    if (file.size() < SELFMAG || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0)
        throw FormatError("not an ELF file");
    const auto header = readStruct<Elf64_Ehdr>(file, 0, "ELF header");
    if (header.e_ident[EI_CLASS] != ELFCLASS64) throw FormatError("not a 64-bit ELF file");
    if (header.e_ident[EI_DATA] != ELFDATA2LSB) throw FormatError("not a little-endian ELF file");
    if (header.e_ident[EI_VERSION] != EV_CURRENT || header.e_version != EV_CURRENT)
        throw FormatError("unknown ELF version");
    return header;
}

std::vector<Elf64_Phdr> readProgramHeaders(ByteSpan file, const Elf64_Ehdr& header) {
    if (header.e_phoff == 0 || header.e_phnum == 0) return {};
    return readTable<Elf64_Phdr>(file, header.e_phoff, header.e_phnum, header.e_phentsize,
                                 "program header table");
}

std::vector<Elf64_Shdr> readSectionHeaders(ByteSpan file, const Elf64_Ehdr& header) {
    if (header.e_shoff == 0 || header.e_shnum == 0) return {};
    return readTable<Elf64_Shdr>(file, header.e_shoff, header.e_shnum, header.e_shentsize,
                                 "section header table");
}

std::string readSectionName(ByteSpan file, const Elf64_Ehdr& header,
                            const std::vector<Elf64_Shdr>& sections, std::size_t index) {
    if (header.e_shstrndx == SHN_UNDEF || header.e_shstrndx >= sections.size())
        throw FormatError("no section name table");
    const Elf64_Shdr& names = sections[header.e_shstrndx];
    if (names.sh_type != SHT_STRTAB || !spansInside(file, names.sh_offset, names.sh_size))
        throw FormatError("section name table lies outside the file");
    const std::uint64_t nameOffset = sections.at(index).sh_name;
    if (nameOffset >= names.sh_size) throw FormatError("section name lies outside the name table");
    const char* start = reinterpret_cast<const char*>(file.data() + names.sh_offset + nameOffset);
    const std::size_t limit = static_cast<std::size_t>(names.sh_size - nameOffset);
    const void* nul = std::memchr(start, '\0', limit);
    if (nul == nullptr) throw FormatError("section name runs past the name table");
    return std::string(start, static_cast<const char*>(nul));
}

}  // namespace onefile::tool
