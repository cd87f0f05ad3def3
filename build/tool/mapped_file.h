// A whole file mapped read-only into memory.
#pragma once

#include <string>

#include "build/tool/elf_reader.h"

namespace onefile::tool {

class MappedFile {
public:
    // Maps the regular file at `path`; throws ToolError naming it.
    explicit MappedFile(const std::string& path);
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile();

    ByteSpan bytes() const { return {static_cast<const unsigned char*>(address_), size_}; }

private:
    void* address_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace onefile::tool
