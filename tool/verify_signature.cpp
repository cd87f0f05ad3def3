#include "tool/verify_signature.h"

#include <optional>

#include "tool/launcher_digest.h"
#include "tool/signature_area.h"
#include "tool/signature_check.h"
#include "tool/tool_error.h"

namespace onefile::tool {

std::string verifyLauncherSignature(const CommandLine& line, ByteSpan section, const LauncherDigest& digest) {
    std::optional<SshSignature> signature;
    try {
        signature = readSignatureArea(section);
    } catch (const FormatError& error) {
        throw SignatureError(line.input, std::string("bad signature: ") + error.what(), kBadSignatureStatus);
    }
    if (!line.allowedSigners) {
        if (!signature) return {};
        return ", signed with " + describeSigningKey(*signature) + " (not checked: no --allowed-signers)";
    }
    if (!signature)
        throw SignatureError(line.input, "is not signed: its digest matches, but no signature is there to check",
                             kUnsignedStatus);
    const std::string principal = checkLauncherSignature(*signature, launcherSignedMessage(formatDigest(digest)),
                                                         *line.allowedSigners, line.identity, line.input);
    return ", signed by " + principal + " with " + describeSigningKey(*signature);
}

}  // namespace onefile::tool
