// A file mapped for reading that another process cuts short meanwhile: the
// kernel answers a read of a page the file no longer has with SIGBUS, which
// would end the tool halfway through its work. While a guard lives, such a
// read finds zeros instead, from the page it touched to the end of the
// mapping, and faulted() says so, so that the reader stops at its next check
// and reports the file as cut short. A read past the new end inside the last
// page the file still has finds zeros with no fault at all: only the file's
// size tells that one (MappedFile::cutShort).
#pragma once

#include "tool/elf_reader.h"

namespace onefile::tool {

class MappingFaultGuard {
public:
    // Guards the reads of `mapping`, the whole span of one MappedFile; one
    // guard at a time.
    explicit MappingFaultGuard(ByteSpan mapping);
    MappingFaultGuard(const MappingFaultGuard&) = delete;
    MappingFaultGuard& operator=(const MappingFaultGuard&) = delete;
    // Puts back the SIGBUS disposition it found; the zeros stay mapped.
    ~MappingFaultGuard();

    // Whether a read met a page that was gone.
    static bool faulted();
};

}  // namespace onefile::tool
