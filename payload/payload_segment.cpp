#include <cstdint>
#include <link.h>

#include "build/launcher_section.h"
#include "payload/extract_payload.h"

namespace onefile {

const unsigned char* getPayloadStart() { return getAttachedBlock(); }

namespace {

struct SegmentSearch {
    std::uintptr_t address;
    std::uintptr_t end;
};

int findSegmentEnd(struct dl_phdr_info* info, std::size_t, void* data) {
    auto* search = static_cast<SegmentSearch*>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type != PT_LOAD) continue;
        std::uintptr_t start = info->dlpi_addr + header.p_vaddr;
        std::uintptr_t end = start + header.p_memsz;
        if (search->address >= start && search->address < end) {
            search->end = end;
            return 1;
        }
    }
    return 0;
}

}  // namespace

// The segment's size is what the tool wrote when it attached the block and
// what the loader mapped, so it bounds every read of the block.
const unsigned char* getPayloadEnd() {
    SegmentSearch search{reinterpret_cast<std::uintptr_t>(getPayloadStart()), 0};
    dl_iterate_phdr(findSegmentEnd, &search);
    if (search.end == 0) return getPayloadStart();
    return reinterpret_cast<const unsigned char*>(search.end);
}

}  // namespace onefile
