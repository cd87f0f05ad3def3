#include "tool/stub_layout.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "format/launcher_config.h"
#include "tool/config_area.h"
#include "tool/tool_error.h"

namespace onefile::tool {
namespace {

std::uint64_t fileBytesOf(const Elf64_Shdr& section) {
    return section.sh_type == SHT_NOBITS ? 0 : section.sh_size;
}

std::size_t findPayloadSection(ByteSpan stub, const StubLayout& layout) {
    std::size_t found = layout.sections.size();
    for (std::size_t i = 1; i < layout.sections.size(); ++i) {
        if (readSectionName(stub, layout.header, layout.sections, i) != kPayloadSectionName) continue;
        if (found != layout.sections.size())
            throw FormatError(std::string("more than one section ") + kPayloadSectionName);
        found = i;
    }
    if (found == layout.sections.size()) throw FormatError(std::string("no section ") + kPayloadSectionName);
    return found;
}

void checkPayloadSection(ByteSpan stub, const Elf64_Shdr& payload) {
    if (payload.sh_type != SHT_PROGBITS) throw FormatError("payload section is not PROGBITS");
    if ((payload.sh_flags & SHF_ALLOC) == 0 || (payload.sh_flags & (SHF_WRITE | SHF_EXECINSTR)) != 0)
        throw FormatError("payload section is not allocated read-only data");
    if (!spansInside(stub, payload.sh_offset, payload.sh_size))
        throw FormatError("payload section lies outside the file");
    try {
        (void)recognizeConfigArea(stub.subspan(payload.sh_offset, payload.sh_size));
    } catch (const FormatError&) {
        throw FormatError("payload section does not start with a whole configuration area");
    }
}

std::size_t findPayloadSegment(const StubLayout& layout) {
    const Elf64_Shdr& payload = layout.sections[layout.payloadSection];
    std::size_t found = layout.segments.size();
    for (std::size_t i = 0; i < layout.segments.size(); ++i) {
        const Elf64_Phdr& segment = layout.segments[i];
        if (segment.p_type != PT_LOAD || segment.p_offset != payload.sh_offset) continue;
        if (found != layout.segments.size() || segment.p_vaddr != payload.sh_addr)
            throw FormatError("loadable segments at the payload section disagree with it");
        found = i;
    }
    if (found == layout.segments.size()) throw FormatError("no loadable segment begins at the payload section");
    const Elf64_Phdr& segment = layout.segments[found];
    if (segment.p_filesz != payload.sh_size || segment.p_memsz != payload.sh_size)
        throw FormatError("the payload segment holds more or less than the payload section");
    return found;
}

// The largest page any kernel that runs the stub may use is the largest
// alignment the linker gave a loadable segment.
std::uint64_t linkedPageBytes(const StubLayout& layout) {
    std::uint64_t largest = 0;
    for (const Elf64_Phdr& segment : layout.segments)
        if (segment.p_type == PT_LOAD) largest = std::max(largest, segment.p_align);
    if (largest < kSmallestPageBytes || (largest & (largest - 1)) != 0)
        throw FormatError("loadable segments aligned to " + std::to_string(largest) + " bytes, not to pages");
    return largest;
}

// Starting on a boundary of the largest page, the payload segment maps on
// every kernel the stub runs on (its offset and address agree modulo any page
// size) and its first page holds nothing of the writable segment before it.
void checkPayloadAlignment(const StubLayout& layout) {
    const Elf64_Shdr& payload = layout.sections[layout.payloadSection];
    if (payload.sh_offset % layout.pageBytes != 0 || payload.sh_addr % layout.pageBytes != 0)
        throw FormatError("payload section does not start on a " + std::to_string(layout.pageBytes) +
                          "-byte page boundary");
}

// Nothing else may be loaded from or at the payload segment or behind it, and
// no segment may cover its file bytes: those would move or overlap when it
// grows.
void checkOtherSegments(const StubLayout& layout) {
    const Elf64_Phdr& payload = layout.segments[layout.payloadSegment];
    for (std::size_t i = 0; i < layout.segments.size(); ++i) {
        if (i == layout.payloadSegment) continue;
        const Elf64_Phdr& segment = layout.segments[i];
        const std::string which = "segment " + std::to_string(i);
        if (segment.p_filesz > 0 && (segment.p_offset >= payload.p_offset ||
                                     segment.p_filesz > payload.p_offset - segment.p_offset))
            throw FormatError(which + " covers file bytes behind the start of the payload section");
        if (segment.p_type == PT_LOAD && (segment.p_vaddr >= payload.p_vaddr ||
                                          segment.p_memsz > payload.p_vaddr - segment.p_vaddr))
            throw FormatError(which + " is loaded at or behind the payload section");
    }
    const Elf64_Ehdr& header = layout.header;
    if (header.e_phoff + std::uint64_t{header.e_phnum} * header.e_phentsize > payload.p_offset)
        throw FormatError("program header table lies behind the payload section");
}

// Sections after the payload section are moved behind the grown section, so
// they must be ones the program does not load.
void checkOtherSections(ByteSpan stub, const StubLayout& layout) {
    const Elf64_Shdr& payload = layout.sections[layout.payloadSection];
    const std::uint64_t payloadEnd = payload.sh_offset + payload.sh_size;
    for (std::size_t i = 1; i < layout.sections.size(); ++i) {
        if (i == layout.payloadSection) continue;
        const Elf64_Shdr& section = layout.sections[i];
        const std::string which = "section " + readSectionName(stub, layout.header, layout.sections, i);
        const std::uint64_t bytes = fileBytesOf(section);
        if (!spansInside(stub, section.sh_offset, bytes)) throw FormatError(which + " lies outside the file");
        if (section.sh_offset >= payload.sh_offset && (section.sh_flags & SHF_ALLOC) != 0)
            throw FormatError(which + " is loaded but lies behind the payload section");
        if (bytes > 0 && section.sh_offset < payloadEnd && section.sh_offset + bytes > payload.sh_offset)
            throw FormatError(which + " overlaps the payload section");
    }
    if (layout.header.e_shoff < payloadEnd)
        throw FormatError("section header table lies before the end of the payload section");
}

}  // namespace

StubLayout checkStubLayout(ByteSpan stub) {
    StubLayout layout;
    layout.header = readElfHeader(stub);
    layout.architecture = requireLauncherMachine(layout.header.e_machine);
    if (layout.header.e_type != ET_DYN) throw FormatError("not a position-independent executable (ET_DYN)");
    layout.segments = readProgramHeaders(stub, layout.header);
    layout.sections = readSectionHeaders(stub, layout.header);
    if (layout.segments.empty()) throw FormatError("no program headers");
    if (layout.sections.empty()) throw FormatError("no section headers");
    layout.payloadSection = findPayloadSection(stub, layout);
    const Elf64_Shdr& payload = layout.sections[layout.payloadSection];
    checkPayloadSection(stub, payload);
    layout.configLayout = recognizeConfigArea(stub.subspan(payload.sh_offset, payload.sh_size));
    layout.payloadSegment = findPayloadSegment(layout);
    layout.pageBytes = linkedPageBytes(layout);
    checkPayloadAlignment(layout);
    checkOtherSegments(layout);
    checkOtherSections(stub, layout);
    return layout;
}

}  // namespace onefile::tool
