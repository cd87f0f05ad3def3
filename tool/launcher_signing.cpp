#include "tool/launcher_signing.h"

#include <unistd.h>

#include <cerrno>

#include "tool/launcher_digest.h"
#include "tool/signature_area.h"
#include "tool/ssh_keygen.h"
#include "tool/ssh_signature.h"
#include "tool/tool_error.h"

namespace onefile::tool {

std::vector<unsigned char> signLauncherDigest(const LauncherDigest& digest, const std::string& keyPath) {
    const SshKeygenResult signing = runSshKeygen({"-Y", "sign", "-n", kSignatureNamespace, "-f", keyPath},
                                                 launcherSignedMessage(formatDigest(digest)), "signing");
    if (signing.status != 0) throw ToolError(keyPath, "cannot sign: ssh-keygen: " + lastErrorLine(signing.errors));
    try {
        const std::vector<unsigned char> blob = dearmorSshSignature(signing.output);
        const SshSignature signature = parseSshSignature(blob);
        if (signature.signatureNamespace != kSignatureNamespace)
            throw FormatError("it is for the namespace \"" + signature.signatureNamespace + "\"");
        return makeSignatureArea(blob);
    } catch (const FormatError& error) {
        throw ToolError(keyPath, std::string("ssh-keygen made no usable signature: ") + error.what());
    }
}

void recordSignatureArea(int fd, const std::string& path, std::uint64_t sectionOffset,
                         const std::vector<unsigned char>& signatureArea) {
    const ssize_t written = ::pwrite(fd, signatureArea.data(), signatureArea.size(),
                                     static_cast<off_t>(sectionOffset + kSignatureAreaOffset));
    if (written != static_cast<ssize_t>(signatureArea.size()))
        throw ToolError(path, written < 0 ? systemErrorText(errno) : "short write");
}

}  // namespace onefile::tool
