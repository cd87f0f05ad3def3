// Turns an application directory (or a single executable file) into the
// entries of a block, in payload order: the main executable first, then every
// other regular file and symbolic link sorted by name in byte order, so the
// same input always gives the same block.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "build/tool/payload_entry.h"

namespace onefile::tool {

struct AppDirContents {
    std::vector<PayloadEntry> entries;
    // Directories with nothing to carry below them, the topmost of each such
    // subtree, as paths below the application directory given.
    std::vector<std::string> emptyDirectories;
};

// Reads `appDir` without following any link inside it. `mainName` names the
// main executable relative to `appDir`; without it the one executable regular
// file at the top level is the main executable. Everything that cannot be
// carried throws ToolError naming the path; a --main given with a single file
// throws UsageError.
AppDirContents scanAppDir(const std::string& appDir, const std::optional<std::string>& mainName);

}  // namespace onefile::tool
