// What the tool tells of an SSH public key or certificate, held as its wire
// blob (the base64 of an `ssh-ed25519 AAAA...` line, or the key a signature
// carries): its type name and its SHA256 fingerprint as ssh-keygen prints it.
#pragma once

#include <string>

#include "tool/elf_reader.h"

namespace onefile::tool {

// The type name the blob starts with ("ssh-ed25519", "ssh-rsa",
// "ssh-rsa-cert-v01@openssh.com"); throws FormatError for a blob that does
// not start with one.
std::string sshKeyType(ByteSpan keyBlob);

// Whether `type` names a key type or certificate type this tool knows:
// what tells a key from the options before it in an allowed-signers line.
bool isKnownSshKeyType(const std::string& type);

// "SHA256:" and the unpadded base64 of the SHA-256 of the key; for a
// certificate, of the key it certifies, as ssh-keygen fingerprints
// certificates. Throws FormatError for a certificate it cannot take apart.
std::string sshKeyFingerprint(ByteSpan keyBlob);

}  // namespace onefile::tool
