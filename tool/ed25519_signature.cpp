#include "tool/ed25519_signature.h"

#include <nettle/eddsa.h>
#include <nettle/sha2.h>

#include <string>
#include <vector>

#include "tool/ssh_wire_reader.h"
#include "tool/tool_error.h"

namespace onefile::tool {
namespace {

inline constexpr char kSignedDataMagic[] = "SSHSIG";

std::string toText(ByteSpan bytes) { return {reinterpret_cast<const char*>(bytes.data()), bytes.size()}; }

// The message's hash by the algorithm the signature names.
std::string hashMessage(const std::string& algorithm, std::string_view message) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(message.data());
    if (algorithm == "sha512") {
        std::vector<unsigned char> digest(SHA512_DIGEST_SIZE);
        sha512_ctx context;
        sha512_init(&context);
        sha512_update(&context, message.size(), bytes);
        sha512_digest(&context, digest.size(), digest.data());
        return toText(digest);
    }
    if (algorithm == "sha256") {
        std::vector<unsigned char> digest(SHA256_DIGEST_SIZE);
        sha256_ctx context;
        sha256_init(&context);
        sha256_update(&context, message.size(), bytes);
        sha256_digest(&context, digest.size(), digest.data());
        return toText(digest);
    }
    throw FormatError("the signature names the hash algorithm '" + algorithm + "', not sha512 or sha256");
}

}  // namespace

bool verifyEd25519Signature(const SshSignature& signature, std::string_view message) {
    SshWireReader key(signature.publicKey, "the ssh-ed25519 key");
    if (key.readText() != kEd25519KeyType) throw FormatError("the key is not an ssh-ed25519 key");
    const ByteSpan publicKey = key.readString();
    key.requireEnd();
    if (publicKey.size() != ED25519_KEY_SIZE) throw FormatError("the ssh-ed25519 key is not 32 bytes");

    SshWireReader signatureReader(signature.signature, "the ssh-ed25519 signature");
    if (signatureReader.readText() != kEd25519KeyType) throw FormatError("the signature is not an ssh-ed25519 signature");
    const ByteSpan bytes = signatureReader.readString();
    signatureReader.requireEnd();
    if (bytes.size() != ED25519_SIGNATURE_SIZE) throw FormatError("the ssh-ed25519 signature is not 64 bytes");

    // What the key signed: the magic, the namespace, the reserved string,
    // the hash algorithm and the message's hash by it.
    std::string data = kSignedDataMagic;
    appendSshString(data, signature.signatureNamespace);
    appendSshString(data, signature.reserved);
    appendSshString(data, signature.hashAlgorithm);
    appendSshString(data, hashMessage(signature.hashAlgorithm, message));
    return ed25519_sha512_verify(publicKey.data(), data.size(), reinterpret_cast<const unsigned char*>(data.data()),
                                 bytes.data()) == 1;
}

}  // namespace onefile::tool
