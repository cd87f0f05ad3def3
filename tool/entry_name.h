// Limits on what a block can carry as an entry name or a link text: the
// launcher copies each into a 1024-byte buffer, and extracts a name below its
// extraction directory.
#pragma once

#include <climits>
#include <string>
#include <string_view>

namespace onefile::tool {

// Longest name of one directory entry the file systems the launcher runs on
// can create: a longer component of a path cannot be made at run time.
inline constexpr std::size_t kLongestComponentBytes = NAME_MAX;

// Why `name` cannot be an entry name, or an empty string when it can. A name
// holds 1 to 1023 bytes, and none of its "/"-separated components is empty,
// "." or "..", so every entry stays inside the extraction directory, or
// longer than kLongestComponentBytes, so every entry can be created there.
std::string findEntryNameFault(std::string_view name);

// Why `text` cannot be the text of a link entry, or an empty string: it holds
// 1 to 1023 bytes.
std::string findLinkTextFault(std::string_view text);

}  // namespace onefile::tool
