// Signing a launcher: ssh-keygen signs its digest with the key the user
// names, and the signature goes into the launcher's signature area, which
// the digest does not cover.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tool/config_area.h"

namespace onefile::tool {

// The signature area recording the signature that `ssh-keygen -Y sign -n
// onefile -f KEY` makes of `digest`. A key ssh-keygen cannot sign with, or
// a signature too large for the area, throws ToolError naming the key.
std::vector<unsigned char> signLauncherDigest(const LauncherDigest& digest, const std::string& keyPath);

// Writes `signatureArea` into the launcher open at `fd` (named `path`),
// whose payload section starts at file offset `sectionOffset`.
void recordSignatureArea(int fd, const std::string& path, std::uint64_t sectionOffset,
                         const std::vector<unsigned char>& signatureArea);

}  // namespace onefile::tool
