// The tool's own check of an SSH signature made with an ssh-ed25519 key
// (nettle's Ed25519 and SHA-2), the kind most keys are today; other key
// types are left to ssh-keygen.
#pragma once

#include <string_view>

#include "tool/ssh_signature.h"

namespace onefile::tool {

inline constexpr char kEd25519KeyType[] = "ssh-ed25519";

// Whether `signature`, whose key is an ssh-ed25519 key, signs `message` in
// its own namespace with its own hash algorithm. A key, a signature or a
// hash algorithm of the wrong form throws FormatError.
bool verifyEd25519Signature(const SshSignature& signature, std::string_view message);

}  // namespace onefile::tool
