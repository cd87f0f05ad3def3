#include "tool/signature_check.h"

#include <ctime>
#include <iostream>
#include <vector>

#include "tool/allowed_signers.h"
#include "tool/ed25519_signature.h"
#include "tool/ssh_keygen.h"
#include "tool/ssh_public_key.h"
#include "tool/tool_error.h"

namespace onefile::tool {
namespace {

inline constexpr char kSignatureArgument[] = "{signature}";
inline constexpr char kAllowedSignersArgument[] = "{allowed-signers}";

std::string timeText(std::time_t time) {
    char text[32];
    struct tm fields {};
    (void)::gmtime_r(&time, &fields);
    (void)std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &fields);
    return text;
}

// The first principal a pattern list names, as ssh-keygen -Y
// find-principals lists it first.
std::string firstPrincipal(const std::string& patterns) {
    for (std::size_t begin = 0; begin <= patterns.size();) {
        std::size_t end = patterns.find(',', begin);
        if (end == std::string::npos) end = patterns.size();
        if (end > begin && patterns[begin] != '!') return patterns.substr(begin, end - begin);
        begin = end + 1;
    }
    return patterns;
}

// Why `signer`, whose key is the signature's, does not allow it now; empty
// when it does.
std::string refusalOf(const AllowedSigner& signer, const std::string& where, std::time_t now) {
    if (signer.namespaces && !matchesPatternList(kSignatureNamespace, *signer.namespaces))
        return where + " allows it only for the namespaces \"" + *signer.namespaces + "\"";
    if (signer.validAfter && now < *signer.validAfter)
        return where + " allows it from " + timeText(*signer.validAfter) + " on";
    if (signer.validBefore && now > *signer.validBefore)
        return where + " allowed it until " + timeText(*signer.validBefore);
    return {};
}

std::string checkEd25519Signature(const SshSignature& signature, const std::string& message,
                                  const std::string& allowedSignersPath, const std::string& allowedSignersText,
                                  const std::optional<std::string>& identity, const std::string& subject) {
    const std::string key = describeSigningKey(signature);
    bool verified = false;
    try {
        verified = verifyEd25519Signature(signature, message);
    } catch (const FormatError& error) {
        throw SignatureError(subject, "bad signature: " + std::string(error.what()), kBadSignatureStatus);
    }
    if (!verified)
        throw SignatureError(subject, "bad signature: the signature of " + key + " does not sign this launcher's digest",
                             kBadSignatureStatus);

    const AllowedSigners allowed = parseAllowedSigners(allowedSignersText);
    for (const std::string& skipped : allowed.skippedLines)
        std::cerr << "onefile: warning: " << allowedSignersPath << ":" << skipped << "; line skipped\n";
    const std::time_t now = std::time(nullptr);
    bool keyListed = false;
    std::string refusal;
    for (const AllowedSigner& signer : allowed.signers) {
        // A certificate authority's line allows the certificates it signed,
        // never the key itself.
        if (signer.certificateAuthority || signer.key != signature.publicKey) continue;
        keyListed = true;
        if (identity && !matchesPatternList(*identity, signer.principals)) continue;
        const std::string reason =
            refusalOf(signer, allowedSignersPath + ":" + std::to_string(signer.lineNumber), now);
        if (reason.empty()) return identity ? *identity : firstPrincipal(signer.principals);
        refusal = reason;
    }
    if (!refusal.empty()) throw SignatureError(subject, "no allowed signer: " + key + ": " + refusal, kNoAllowedSignerStatus);
    if (keyListed)
        throw SignatureError(subject,
                             "no allowed signer: " + key + " is not allowed for the identity " + *identity + " in " +
                                 allowedSignersPath,
                             kNoAllowedSignerStatus);
    throw SignatureError(subject, "no allowed signer: " + key + " is not in " + allowedSignersPath,
                         kNoAllowedSignerStatus);
}

std::string checkThroughSshKeygen(const SshSignature& signature, const std::string& message,
                                  const std::string& allowedSignersPath, const std::string& allowedSignersText,
                                  const std::optional<std::string>& identity, const std::string& subject) {
    const std::string key = describeSigningKey(signature);
    const std::string purpose = "checking a signature of " + signature.keyType;
    const std::vector<SshKeygenFile> files{
        {kSignatureArgument, armorSshSignature(signature.blob)},
        {kAllowedSignersArgument, allowedSignersText}};
    const SshKeygenResult check = runSshKeygen(
        {"-Y", "check-novalidate", "-n", kSignatureNamespace, "-s", kSignatureArgument}, message, purpose, files);
    if (check.status != 0)
        throw SignatureError(subject, "bad signature: " + key + ": ssh-keygen: " + lastErrorLine(check.errors),
                             kBadSignatureStatus);

    // The principals of the lines that allow the key; with --identity only
    // the identity asked for is tried, but the lines tell a key that is not
    // there from an identity it is not allowed for.
    std::vector<std::string> principals;
    const SshKeygenResult found = runSshKeygen(
        {"-Y", "find-principals", "-f", kAllowedSignersArgument, "-s", kSignatureArgument}, "", purpose, files);
    for (std::size_t begin = 0; found.status == 0 && begin < found.output.size();) {
        std::size_t end = found.output.find('\n', begin);
        if (end == std::string::npos) end = found.output.size();
        if (end > begin) principals.push_back(found.output.substr(begin, end - begin));
        begin = end + 1;
    }
    if (principals.empty())
        throw SignatureError(subject, "no allowed signer: " + key + " is not in " + allowedSignersPath,
                             kNoAllowedSignerStatus);
    if (identity) principals = {*identity};
    std::string refusal;
    for (const std::string& principal : principals) {
        const SshKeygenResult verified = runSshKeygen({"-Y", "verify", "-f", kAllowedSignersArgument, "-I", principal,
                                                       "-n", kSignatureNamespace, "-s", kSignatureArgument},
                                                      message, purpose, files);
        if (verified.status == 0) return principal;
        refusal = lastErrorLine(verified.errors.empty() ? verified.output : verified.errors);
    }
    throw SignatureError(subject,
                         "no allowed signer: " + key +
                             (identity ? " is not allowed for the identity " + *identity + " in " + allowedSignersPath
                                       : " is not allowed by " + allowedSignersPath) +
                             " (ssh-keygen: " + refusal + ")",
                         kNoAllowedSignerStatus);
}

}  // namespace

std::string describeSigningKey(const SshSignature& signature) {
    std::string fingerprint;
    try {
        fingerprint = sshKeyFingerprint(signature.publicKey);
    } catch (const FormatError&) {
        fingerprint = "(no fingerprint: the key is malformed)";
    }
    return signature.keyType + " key " + fingerprint;
}

std::string checkLauncherSignature(const SshSignature& signature, const std::string& message,
                                   const std::string& allowedSignersPath, const std::optional<std::string>& identity,
                                   const std::string& subject) {
    if (signature.signatureNamespace != kSignatureNamespace)
        throw SignatureError(subject,
                             "bad signature: made for the namespace \"" + signature.signatureNamespace + "\", not \"" +
                                 kSignatureNamespace + "\"",
                             kBadSignatureStatus);
    const std::string allowedSignersText = readAllowedSignersFile(allowedSignersPath);
    if (signature.keyType == kEd25519KeyType)
        return checkEd25519Signature(signature, message, allowedSignersPath, allowedSignersText, identity, subject);
    return checkThroughSshKeygen(signature, message, allowedSignersPath, allowedSignersText, identity, subject);
}

}  // namespace onefile::tool
