// The signature area of a configuration area of the second layout
// (format/launcher_config.h): the SSH signature of the launcher's digest,
// outside what the digest covers. Read and made here, nowhere else.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "format/launcher_config.h"
#include "tool/elf_reader.h"
#include "tool/ssh_signature.h"

namespace onefile::tool {

// Offset of the signature area from the start of an area of the second
// layout; it runs to the area's end.
inline constexpr std::size_t kSignatureAreaOffset = offsetof(LauncherConfig, sshSignatureLength);

// The signature that the configuration area at the start of `section`
// holds; nothing for a launcher that is not signed, and for one of the
// first layout, which has no signature area. An area whose length does not
// fit it, whose bytes after the signature are not zero, or whose signature
// is not an SSH signature throws FormatError.
std::optional<SshSignature> readSignatureArea(ByteSpan section);

// The signature area (kSignatureAreaBytes) holding `blob`; a blob too large
// for it throws FormatError.
std::vector<unsigned char> makeSignatureArea(ByteSpan blob);

}  // namespace onefile::tool
