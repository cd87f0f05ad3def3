// The check of a launcher's signature against an allowed-signers file: the
// signature must sign the launcher's digest in the namespace "onefile", and
// a line of the file must allow its key (for the identity asked for, when
// one is) in that namespace at the current time. ssh-ed25519 signatures are
// checked by the tool itself, every other kind (RSA, ECDSA, hardware keys,
// certificates) by ssh-keygen, with the same outcome.
#pragma once

#include <optional>
#include <string>

#include "tool/ssh_signature.h"

namespace onefile::tool {

// What a key is called in messages: its type name and fingerprint.
std::string describeSigningKey(const SshSignature& signature);

// Returns the principal that the file allows: the identity asked for, or
// else the principals of the line that allows the key. A signature that
// does not sign `message` throws SignatureError with kBadSignatureStatus,
// one no line allows kNoAllowedSignerStatus; both name `subject`.
std::string checkLauncherSignature(const SshSignature& signature, const std::string& message,
                                   const std::string& allowedSignersPath, const std::optional<std::string>& identity,
                                   const std::string& subject);

}  // namespace onefile::tool
