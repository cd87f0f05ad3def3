// One entry of a block as the tool writes it: a regular file whose content is
// read from a source file, or a symbolic link with its text.
#pragma once

#include <cstdint>
#include <string>

#include "tool/file_descriptor.h"

namespace onefile::tool {

enum class EntryKind { file, link };

struct PayloadEntry {
    std::string name;  // relative path, "/" between levels
    EntryKind kind = EntryKind::file;
    bool executable = false;
    std::uint64_t size = 0;   // content bytes of a file
    std::string linkText;     // text of a link
    std::string sourcePath;   // the file the content comes from, as messages name it
    FileIdentity source;      // that file as it was checked: its content is read from it alone
};

}  // namespace onefile::tool
