#include "tool/launcher_writer.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "tool/tool_error.h"

namespace onefile::tool {
namespace {

inline constexpr std::uint64_t kSectionTableAlignment = 8;

// A piece of the stub that followed the payload section: a section, or the
// section header table when `section` is empty.
struct MovedPiece {
    std::optional<std::size_t> section;
    std::uint64_t oldOffset = 0;
    std::uint64_t size = 0;
    std::uint64_t alignment = 1;
    std::uint64_t newOffset = 0;
};

std::uint64_t alignUp(std::uint64_t value, std::uint64_t alignment) {
    return alignment <= 1 ? value : (value + alignment - 1) / alignment * alignment;
}

std::vector<MovedPiece> planMovedPieces(const StubLayout& layout, std::uint64_t newPayloadEnd) {
    const Elf64_Shdr& payload = layout.sections[layout.payloadSection];
    std::vector<MovedPiece> pieces;
    for (std::size_t i = 1; i < layout.sections.size(); ++i) {
        const Elf64_Shdr& section = layout.sections[i];
        if (i == layout.payloadSection || section.sh_offset < payload.sh_offset) continue;
        pieces.push_back({i, section.sh_offset, section.sh_type == SHT_NOBITS ? 0 : section.sh_size,
                          section.sh_addralign, 0});
    }
    pieces.push_back({std::nullopt, layout.header.e_shoff,
                      std::uint64_t{layout.header.e_shnum} * sizeof(Elf64_Shdr), kSectionTableAlignment, 0});
    // Keeping the stub's order keeps the file as the linker laid it out.
    std::stable_sort(pieces.begin(), pieces.end(),
                     [](const MovedPiece& a, const MovedPiece& b) { return a.oldOffset < b.oldOffset; });
    std::uint64_t position = newPayloadEnd;
    for (MovedPiece& piece : pieces) {
        piece.newOffset = alignUp(position, piece.alignment);
        position = piece.newOffset + piece.size;
    }
    return pieces;
}

// The ELF tables of a launcher whose payload section holds `payloadSize`
// bytes, and where the pieces behind the section go.
struct LauncherTables {
    Elf64_Ehdr header;
    std::vector<Elf64_Phdr> segments;
    std::vector<Elf64_Shdr> sections;
    std::vector<MovedPiece> pieces;
};

LauncherTables planTables(const StubLayout& layout, std::uint64_t payloadSize) {
    const std::uint64_t payloadOffset = layout.sections[layout.payloadSection].sh_offset;
    LauncherTables tables{layout.header, layout.segments, layout.sections,
                          planMovedPieces(layout, payloadOffset + payloadSize)};
    tables.segments[layout.payloadSegment].p_filesz = payloadSize;
    tables.segments[layout.payloadSegment].p_memsz = payloadSize;
    tables.sections[layout.payloadSection].sh_size = payloadSize;
    for (const MovedPiece& piece : tables.pieces) {
        if (piece.section) tables.sections[*piece.section].sh_offset = piece.newOffset;
        else tables.header.e_shoff = piece.newOffset;
    }
    return tables;
}

template <typename T>
std::span<const unsigned char> bytesOf(const T* items, std::size_t count) {
    return {reinterpret_cast<const unsigned char*>(items), count * sizeof(T)};
}

}  // namespace

void writeLauncher(OutputStream& output, ByteSpan stub, const StubLayout& layout, ByteSpan configArea,
                   std::optional<std::uint64_t> blockBytes,
                   const std::function<void(OutputStream&)>& writeBlockBytes) {
    const std::uint64_t payloadOffset = layout.sections[layout.payloadSection].sh_offset;
    // The ELF header and the program headers state the payload's size: they
    // go in with the stub's bytes when the block was measured, and are
    // completed once it is written when it could not be.
    std::vector<unsigned char> prefix(stub.begin(), stub.begin() + static_cast<std::ptrdiff_t>(payloadOffset));
    if (blockBytes) {
        const LauncherTables planned = planTables(layout, configArea.size() + *blockBytes);
        std::memcpy(prefix.data(), &planned.header, sizeof planned.header);
        std::memcpy(prefix.data() + planned.header.e_phoff, planned.segments.data(),
                    planned.segments.size() * sizeof(Elf64_Phdr));
    }
    output.write(prefix);
    output.write(configArea);
    writeBlockBytes(output);
    const std::uint64_t payloadSize = output.position() - payloadOffset;
    if (blockBytes && payloadSize != configArea.size() + *blockBytes)
        throw FormatError("the block written differs in size from the block measured");

    const LauncherTables tables = planTables(layout, payloadSize);
    for (const MovedPiece& piece : tables.pieces) {
        output.writeZeros(piece.newOffset - output.position());
        if (piece.section) output.write(stub.subspan(piece.oldOffset, piece.size));
        else output.write(bytesOf(tables.sections.data(), tables.sections.size()));
    }
    if (!blockBytes) {
        output.overwrite(0, bytesOf(&tables.header, 1));
        output.overwrite(tables.header.e_phoff, bytesOf(tables.segments.data(), tables.segments.size()));
    }
    output.flush();
}

}  // namespace onefile::tool
