#include "tool/ssh_public_key.h"

#include <nettle/sha2.h>

#include <array>
#include <cstddef>
#include <string_view>

#include "tool/base64_text.h"
#include "tool/ssh_wire_reader.h"
#include "tool/tool_error.h"

namespace onefile::tool {
namespace {

struct KnownKeyType {
    std::string_view name;
    // The strings of the key itself behind the type name (a certificate
    // carries them after its nonce).
    int keyFields;
};

inline constexpr std::array<KnownKeyType, 8> kKnownKeyTypes{{
    {"ssh-ed25519", 1},
    {"ssh-rsa", 2},
    {"ssh-dss", 4},
    {"ecdsa-sha2-nistp256", 2},
    {"ecdsa-sha2-nistp384", 2},
    {"ecdsa-sha2-nistp521", 2},
    {"sk-ssh-ed25519@openssh.com", 2},
    {"sk-ecdsa-sha2-nistp256@openssh.com", 3},
}};

inline constexpr std::string_view kCertificateSuffix = "-cert-v01@openssh.com";

// The plain type of a certificate type name ("ssh-rsa" for
// "ssh-rsa-cert-v01@openssh.com", "sk-ssh-ed25519@openssh.com" for
// "sk-ssh-ed25519-cert-v01@openssh.com"); empty for anything else.
std::string certifiedKeyType(std::string_view type) {
    for (const KnownKeyType& known : kKnownKeyTypes) {
        // The name without its "@openssh.com", then the suffix.
        const std::string_view name = known.name.substr(0, known.name.find('@'));
        if (type == std::string(name) + std::string(kCertificateSuffix)) return std::string(known.name);
    }
    return {};
}

const KnownKeyType* findPlainType(std::string_view type) {
    for (const KnownKeyType& known : kKnownKeyTypes) {
        if (known.name == type) return &known;
    }
    return nullptr;
}

// The blob of the key a certificate certifies: its plain type name and the
// key's own strings, which follow the nonce.
std::string certifiedKeyBlob(ByteSpan certificate, const std::string& plainType) {
    SshWireReader reader(certificate, "the certificate");
    (void)reader.readString();  // the certificate type
    (void)reader.readString();  // the nonce
    std::string blob;
    appendSshString(blob, plainType);
    for (int field = 0; field < findPlainType(plainType)->keyFields; ++field) {
        const ByteSpan value = reader.readString();
        appendSshString(blob, {reinterpret_cast<const char*>(value.data()), value.size()});
    }
    return blob;
}

}  // namespace

std::string sshKeyType(ByteSpan keyBlob) {
    SshWireReader reader(keyBlob, "the public key");
    std::string type = reader.readText();
    if (type.empty()) throw FormatError("the public key has an empty type name");
    return type;
}

bool isKnownSshKeyType(const std::string& type) {
    return findPlainType(type) != nullptr || !certifiedKeyType(type).empty();
}

std::string sshKeyFingerprint(ByteSpan keyBlob) {
    const std::string type = sshKeyType(keyBlob);
    const std::string plainType = certifiedKeyType(type);
    std::string certified;
    if (!plainType.empty()) {
        certified = certifiedKeyBlob(keyBlob, plainType);
        keyBlob = ByteSpan(reinterpret_cast<const unsigned char*>(certified.data()), certified.size());
    }
    std::array<unsigned char, SHA256_DIGEST_SIZE> digest{};
    sha256_ctx context;
    sha256_init(&context);
    sha256_update(&context, keyBlob.size(), keyBlob.data());
    sha256_digest(&context, digest.size(), digest.data());
    std::string text = encodeBase64(digest);
    while (!text.empty() && text.back() == '=') text.pop_back();
    return "SHA256:" + text;
}

}  // namespace onefile::tool
