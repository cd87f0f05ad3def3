// The loaded segment that carries the attached block: where the block ends
// in memory, and how much of the launcher's file it needs.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <link.h>
#include <sys/stat.h>

#include "runtime/fatal_stops.h"
#include "runtime/launcher_file.h"
#include "runtime/launcher_section.h"

namespace onefile {

const unsigned char* getPayloadStart() { return getAttachedBlock(); }

namespace {

struct SegmentSearch {
    std::uintptr_t address;
    std::uintptr_t end;
    std::uint64_t fileEnd;
    // Where the segment starts in memory and in the file.
    std::uintptr_t start;
    std::uint64_t fileStart;
};

int findSegment(struct dl_phdr_info* info, std::size_t, void* data) {
    auto* search = static_cast<SegmentSearch*>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type != PT_LOAD) continue;
        std::uintptr_t start = info->dlpi_addr + header.p_vaddr;
        std::uintptr_t end = start + header.p_memsz;
        if (search->address >= start && search->address < end) {
            search->end = end;
            search->fileEnd = header.p_offset + header.p_filesz;
            search->start = start;
            search->fileStart = header.p_offset;
            return 1;
        }
    }
    return 0;
}

SegmentSearch findPayloadSegment() {
    SegmentSearch search{reinterpret_cast<std::uintptr_t>(getPayloadStart()), 0, 0, 0, 0};
    dl_iterate_phdr(findSegment, &search);
    return search;
}

}  // namespace

// The segment's size is what the tool wrote when it attached the block and
// what the loader mapped, so it bounds every read of the block.
const unsigned char* getPayloadEnd() {
    SegmentSearch search = findPayloadSegment();
    if (search.end == 0) return getPayloadStart();
    return reinterpret_cast<const unsigned char*>(search.end);
}

unsigned long long getPayloadFileOffset() {
    SegmentSearch search = findPayloadSegment();
    return search.fileStart + (search.address - search.start);
}

void checkLauncherComplete() {
    SegmentSearch search = findPayloadSegment();
    struct stat status;
    // The running file itself, also when its name was removed meanwhile.
    if (search.end == 0 || stat("/proc/self/exe", &status) != 0) return;
    if (static_cast<std::uint64_t>(status.st_size) >= search.fileEnd) return;
    fprintf(stderr, "Error, launcher file is incomplete (%llu of %llu bytes).\n",
            static_cast<unsigned long long>(status.st_size), static_cast<unsigned long long>(search.fileEnd));
    exit(kFatalExitStatus);
}

}  // namespace onefile
