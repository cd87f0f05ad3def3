// What verify says of a launcher's signature once its digest matches.
#pragma once

#include <string>

#include "tool/command_line.h"
#include "tool/config_area.h"
#include "tool/elf_reader.h"

namespace onefile::tool {

// The text verify adds to "LAUNCHER: OK": nothing for an unsigned launcher,
// the signer and key for one whose signature --allowed-signers allows, the
// key as not checked without --allowed-signers. `section` is the launcher's
// payload section, `digest` the digest its bytes were found to match. An
// unsigned launcher with --allowed-signers, a damaged signature area, a
// signature that does not sign the digest and one that no allowed signer
// allows throw SignatureError.
std::string verifyLauncherSignature(const CommandLine& line, ByteSpan section, const LauncherDigest& digest);

}  // namespace onefile::tool
