// Turns an application directory (or a single executable file) into the
// entries of a block, in payload order: the main executable first, then every
// other regular file and symbolic link sorted by name in byte order, so the
// same input always gives the same block.
//
// Everything below the application directory is reached through open
// descriptors, each level opened relative to the one above it and never
// through a symbolic link, and a file's content is read from the very file
// that was checked. Whoever can rename things inside the directory while it
// is packed can make the packing fail, but cannot make it carry anything
// from outside.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tool/exclude_patterns.h"
#include "tool/file_descriptor.h"
#include "tool/payload_entry.h"

namespace onefile::tool {

class AppDirContents {
public:
    std::vector<PayloadEntry> entries;
    // Directories with nothing to carry below them, the topmost of each such
    // subtree, as paths below the application directory given.
    std::vector<std::string> emptyDirectories;
    // The application directory, or the single file, that was read.
    FileIdentity input;
    bool singleFile = false;

    // Opens the content of the file entry `entry` for reading from its start:
    // the file the scan checked, reached again from the application
    // directory level by level without following a link. Throws ToolError
    // when that file is no longer there. Entries are best opened in payload
    // order: the directories on the way stay open for the next entry.
    FileDescriptor openContent(const PayloadEntry& entry);

private:
    friend AppDirContents scanAppDir(const std::string& appDir, const std::optional<std::string>& mainName,
                                     const ExcludePatterns& excluded);

    struct OpenDirectory {
        std::string name;
        FileDescriptor fd;
    };

    std::string root_;          // the application directory as messages name it
    FileDescriptor inputFd_;    // the application directory, or the single file
    std::vector<OpenDirectory> openDirectories_;  // the levels below inputFd_ last opened
};

// Reads `appDir` without following any link inside it. `mainName` names the
// main executable relative to `appDir`; without it the one executable regular
// file at the top level is the main executable. Everything that cannot be
// carried throws ToolError naming the path; a --main or --exclude given with a
// single file throws UsageError. What `excluded` matches is not examined
// beyond its type and not carried; a main executable it matches is refused.
AppDirContents scanAppDir(const std::string& appDir, const std::optional<std::string>& mainName,
                          const ExcludePatterns& excluded = {});

}  // namespace onefile::tool
