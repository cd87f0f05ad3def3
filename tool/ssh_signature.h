// An SSH signature as `ssh-keygen -Y sign` makes it: the binary blob
// ("SSHSIG", version 1, the signer's public key, the namespace, a reserved
// string, the hash algorithm and the signature itself) and its armored text
// between `-----BEGIN SSH SIGNATURE-----` and `-----END SSH SIGNATURE-----`.
// A launcher's signature signs its digest as 64 lower-case hexadecimal
// digits and a newline, in the namespace "onefile".
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tool/elf_reader.h"

namespace onefile::tool {

inline constexpr char kSignatureNamespace[] = "onefile";

struct SshSignature {
    std::vector<unsigned char> blob;       // all of it, as the launcher keeps it
    std::vector<unsigned char> publicKey;  // the signer's key or certificate
    std::string keyType;                   // the type name the key starts with
    std::string signatureNamespace;
    std::string reserved;
    std::string hashAlgorithm;             // "sha512" or "sha256"
    std::vector<unsigned char> signature;  // type name and the signature's bytes
};

// Takes `blob` apart; a blob that is not a version 1 SSH signature, or that
// holds anything after its last field, throws FormatError.
SshSignature parseSshSignature(ByteSpan blob);

// The armored text of `blob`, line for line as ssh-keygen writes it: base64
// in lines of 70 characters, each line ended by a newline.
std::string armorSshSignature(ByteSpan blob);

// The blob of an armored signature; FormatError for text that is not one.
std::vector<unsigned char> dearmorSshSignature(std::string_view text);

// The message a launcher's signature signs.
std::string launcherSignedMessage(const std::string& digestHex);

}  // namespace onefile::tool
