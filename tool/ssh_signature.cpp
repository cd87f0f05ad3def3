#include "tool/ssh_signature.h"

#include <cstring>

#include "tool/base64_text.h"
#include "tool/ssh_public_key.h"
#include "tool/ssh_wire_reader.h"
#include "tool/tool_error.h"

namespace onefile::tool {
namespace {

inline constexpr char kMagic[] = "SSHSIG";
inline constexpr std::size_t kMagicBytes = sizeof(kMagic) - 1;
inline constexpr std::uint32_t kSignatureVersion = 1;
inline constexpr char kBeginLine[] = "-----BEGIN SSH SIGNATURE-----";
inline constexpr char kEndLine[] = "-----END SSH SIGNATURE-----";
inline constexpr std::size_t kArmorLineBytes = 70;

std::vector<unsigned char> copyOf(ByteSpan bytes) { return {bytes.begin(), bytes.end()}; }

}  // namespace

SshSignature parseSshSignature(ByteSpan blob) {
    SshWireReader reader(blob, "the signature");
    if (std::memcmp(reader.readBytes(kMagicBytes).data(), kMagic, kMagicBytes) != 0)
        throw FormatError("the signature does not start with " + std::string(kMagic));
    if (const std::uint32_t version = reader.readU32(); version != kSignatureVersion)
        throw FormatError("the signature has version " + std::to_string(version) + ", not 1");
    SshSignature signature;
    signature.blob = copyOf(blob);
    signature.publicKey = copyOf(reader.readString());
    signature.signatureNamespace = reader.readText();
    signature.reserved = reader.readText();
    signature.hashAlgorithm = reader.readText();
    signature.signature = copyOf(reader.readString());
    reader.requireEnd();
    signature.keyType = sshKeyType(signature.publicKey);
    return signature;
}

std::string armorSshSignature(ByteSpan blob) {
    const std::string base64 = encodeBase64(blob);
    std::string text = std::string(kBeginLine) + "\n";
    for (std::size_t at = 0; at < base64.size(); at += kArmorLineBytes) text += base64.substr(at, kArmorLineBytes) + "\n";
    return text + kEndLine + "\n";
}

std::vector<unsigned char> dearmorSshSignature(std::string_view text) {
    const std::size_t begin = text.find(kBeginLine);
    const std::size_t end = text.find(kEndLine);
    if (begin == std::string_view::npos || end == std::string_view::npos || end < begin)
        throw FormatError("not an armored SSH signature");
    std::string base64;
    for (const char c : text.substr(begin + sizeof(kBeginLine) - 1, end - begin - (sizeof(kBeginLine) - 1))) {
        if (c != '\n' && c != '\r') base64.push_back(c);
    }
    std::optional<std::vector<unsigned char>> blob = decodeBase64(base64);
    if (!blob || blob->empty()) throw FormatError("the armored SSH signature holds no valid base64");
    return std::move(*blob);
}

std::string launcherSignedMessage(const std::string& digestHex) { return digestHex + "\n"; }

}  // namespace onefile::tool
