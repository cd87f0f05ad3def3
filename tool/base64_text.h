// Base64 as SSH writes it in keys, signatures and fingerprints (nettle's
// codec): the standard alphabet, with or without the closing '='.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tool/elf_reader.h"

namespace onefile::tool {

// With the '=' padding.
std::string encodeBase64(ByteSpan bytes);

// The bytes `text` encodes; nothing when it is not base64 (whitespace
// included: the caller takes line breaks out first).
std::optional<std::vector<unsigned char>> decodeBase64(std::string_view text);

}  // namespace onefile::tool
