#include "tool/payload_locate.h"

#include <cstring>
#include <string>

#include "format/launcher_config.h"
#include "tool/architecture.h"
#include "tool/config_area.h"
#include "tool/tool_error.h"

namespace onefile::tool {
namespace {

bool findNamedSection(ByteSpan launcher, const Elf64_Ehdr& header, PayloadLocation& location) {
    const std::vector<Elf64_Shdr> sections = readSectionHeaders(launcher, header);
    for (std::size_t i = 1; i < sections.size(); ++i) {
        if (readSectionName(launcher, header, sections, i) != kPayloadSectionName) continue;
        if (sections[i].sh_type == SHT_NOBITS)
            throw FormatError(std::string("section ") + kPayloadSectionName + " holds no file bytes");
        location = {sections[i].sh_offset, sections[i].sh_size};
        return true;
    }
    return false;
}

PayloadLocation findLastLoadSegment(ByteSpan launcher, const Elf64_Ehdr& header) {
    const std::vector<Elf64_Phdr> segments = readProgramHeaders(launcher, header);
    const Elf64_Phdr* last = nullptr;
    for (const Elf64_Phdr& segment : segments) {
        if (segment.p_type != PT_LOAD || segment.p_filesz == 0) continue;
        if (last == nullptr || segment.p_offset > last->p_offset) last = &segment;
    }
    if (last == nullptr) throw FormatError("no loadable segment with file bytes");
    return {last->p_offset, last->p_filesz};
}

}  // namespace

PayloadLocation locatePayloadSection(ByteSpan launcher) {
    const Elf64_Ehdr header = readElfHeader(launcher);
    requireLauncherMachine(header.e_machine);
    PayloadLocation location;
    if (!findNamedSection(launcher, header, location)) location = findLastLoadSegment(launcher, header);
    if (!spansInside(launcher, location.offset, location.size))
        throw FormatError("payload section lies outside the file");
    return location;
}

ByteSpan findPayloadSection(ByteSpan launcher) {
    const PayloadLocation location = locatePayloadSection(launcher);
    const ByteSpan section = launcher.subspan(location.offset, location.size);
    (void)recognizeConfigArea(section);
    return section;
}

ByteSpan findAttachedBlock(ByteSpan launcher) {
    const ByteSpan section = findPayloadSection(launcher);
    return section.subspan(configAreaBytes(recognizeConfigArea(section)));
}

}  // namespace onefile::tool
