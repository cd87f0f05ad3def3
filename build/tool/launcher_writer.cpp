#include "build/tool/launcher_writer.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "build/tool/tool_error.h"

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

}  // namespace

void writeLauncher(OutputStream& output, ByteSpan stub, const StubLayout& layout,
                   const LauncherConfig& config, std::uint64_t blockBytes,
                   const std::function<void(OutputStream&)>& writeBlockBytes) {
    const Elf64_Shdr& oldPayload = layout.sections[layout.payloadSection];
    const std::uint64_t payloadOffset = oldPayload.sh_offset;
    const std::uint64_t newPayloadSize = kLauncherConfigBytes + blockBytes;
    const std::vector<MovedPiece> pieces = planMovedPieces(layout, payloadOffset + newPayloadSize);

    Elf64_Ehdr header = layout.header;
    std::vector<Elf64_Phdr> segments = layout.segments;
    std::vector<Elf64_Shdr> sections = layout.sections;
    segments[layout.payloadSegment].p_filesz = newPayloadSize;
    segments[layout.payloadSegment].p_memsz = newPayloadSize;
    sections[layout.payloadSection].sh_size = newPayloadSize;
    for (const MovedPiece& piece : pieces) {
        if (piece.section) sections[*piece.section].sh_offset = piece.newOffset;
        else header.e_shoff = piece.newOffset;
    }

    std::vector<unsigned char> prefix(stub.begin(), stub.begin() + static_cast<std::ptrdiff_t>(payloadOffset));
    std::memcpy(prefix.data(), &header, sizeof header);
    std::memcpy(prefix.data() + header.e_phoff, segments.data(), segments.size() * sizeof(Elf64_Phdr));
    output.write(prefix);
    output.write(std::span(reinterpret_cast<const unsigned char*>(&config), sizeof config));
    writeBlockBytes(output);
    if (output.position() != payloadOffset + newPayloadSize)
        throw FormatError("the block written differs in size from the block measured");

    for (const MovedPiece& piece : pieces) {
        output.writeZeros(piece.newOffset - output.position());
        if (piece.section) {
            output.write(stub.subspan(piece.oldOffset, piece.size));
        } else {
            output.write(std::span(reinterpret_cast<const unsigned char*>(sections.data()),
                                   sections.size() * sizeof(Elf64_Shdr)));
        }
    }
    output.flush();
}

}  // namespace onefile::tool
