// Unpacks a block below a directory as a launcher does, without running
// anything: the same names, modes, links, replacements and refusals, and
// compressed entries decoded by the launcher's own decoder.
#pragma once

#include <functional>
#include <string>

#include "tool/elf_reader.h"

namespace onefile::tool {

// Writes the entries of `block` (checked already with visitBlock) below the
// directory open at `directoryFd`, which `directoryName` names in messages.
// Files are created with 0666 less the umask; an executable entry gains
// owner execute, and others execute where the group may read. Directories on
// the way are made 0700. A name the block gives twice is replaced, a link
// over an earlier entry replaces it, and nothing is ever written through a
// symbolic link. `shouldStop` is asked between entries and between write
// calls; when it says yes, extractBlock returns false at once. Failures
// throw ToolError (a file that cannot be written) or FormatError (damaged
// content, an entry that would leave the directory).
bool extractBlock(ByteSpan block, int directoryFd, const std::string& directoryName,
                  const std::function<bool()>& shouldStop);

// Whether the entry name `name` stays below the directory it is unpacked
// in: relative, with no ".." component.
bool isContainedEntryName(const std::string& name);

}  // namespace onefile::tool
