// A whole file mapped read-only into memory.
#pragma once

#include <string>

#include "tool/elf_reader.h"
#include "tool/file_descriptor.h"

namespace onefile::tool {

class MappedFile {
public:
    // Maps the regular file at `path`; throws ToolError naming it. Anything
    // but a regular file (a fifo, a device, a directory) is refused before a
    // byte of it is read, and opening it never waits.
    explicit MappedFile(const std::string& path);
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile();

    ByteSpan bytes() const { return {static_cast<const unsigned char*>(address_), size_}; }
    // The file that was mapped.
    const FileIdentity& identity() const { return identity_; }
    // Whether the file is shorter now than what was mapped: another process
    // cut it, and the mapping's pages past its new end are gone.
    bool cutShort() const;

private:
    FileDescriptor fd_;
    void* address_ = nullptr;
    std::size_t size_ = 0;
    FileIdentity identity_;
};

// Opens `path` for reading when it is a regular file and fills `status`;
// throws ToolError naming it otherwise. A fifo or a device is never waited on.
FileDescriptor openRegularFile(const std::string& path, struct stat& status);

}  // namespace onefile::tool
