#include <sys/stat.h>

#include <filesystem>

#include "tool/commands.h"
#include "tool/config_area.h"
#include "tool/launcher_digest.h"
#include "tool/launcher_signing.h"
#include "tool/mapped_file.h"
#include "tool/mapping_fault_guard.h"
#include "tool/output_stream.h"
#include "tool/payload_locate.h"
#include "tool/temporary_output.h"
#include "tool/tool_error.h"

namespace onefile::tool {
namespace {

inline constexpr mode_t kPermissionBits = 07777;
inline constexpr const char* kBecameShorter = "became shorter while being signed";

struct SignableLauncher {
    std::uint64_t sectionOffset = 0;
    LauncherDigest digest{};
};

// The digest to sign: the one the launcher records, once its bytes are
// found to match it. Signing a launcher that does not verify would vouch
// for something else than what was made.
SignableLauncher findSignableDigest(const MappedFile& launcher, const std::string& path) {
    const ByteSpan section = findPayloadSection(launcher.bytes());
    const LauncherSettings settings = readConfigArea(section);
    if (!settings.digest)
        throw ToolError(path, settings.layout == ConfigLayout::first
                                  ? "carries no digest to sign (its stub has the first configuration layout)"
                                  : "carries no digest to sign");
    SignableLauncher signable;
    signable.sectionOffset = static_cast<std::uint64_t>(section.data() - launcher.bytes().data());
    signable.digest = computeLauncherDigest(launcher.bytes(), signable.sectionOffset + kDigestFieldOffset);
    if (signable.digest != *settings.digest)
        throw ToolError(path, "digest does not match: what it loads has changed since it was made, and only a "
                              "launcher that verifies is signed");
    return signable;
}

}  // namespace

int runSign(const CommandLine& line) {
    // Through a symbolic link the file it leads to is signed, and stays where
    // it is.
    std::error_code ignored;
    const std::string path = std::filesystem::is_symlink(line.input, ignored)
                                 ? std::filesystem::canonical(line.input, ignored).string()
                                 : line.input;
    if (path.empty()) throw ToolError(line.input, "is a symbolic link that leads nowhere");
    const MappedFile launcher(path);
    SignableLauncher signable;
    {
        const MappingFaultGuard guard(launcher.bytes());
        try {
            signable = findSignableDigest(launcher, line.input);
        } catch (const FormatError& error) {
            if (MappingFaultGuard::faulted() || launcher.cutShort()) throw ToolError(line.input, kBecameShorter);
            throw ToolError(line.input, std::string("cannot be signed: ") + error.what());
        }
        if (MappingFaultGuard::faulted() || launcher.cutShort()) throw ToolError(line.input, kBecameShorter);
    }
    const std::vector<unsigned char> signatureArea = signLauncherDigest(signable.digest, *line.signKey);

    // The signed copy replaces the launcher in one rename, with its mode.
    struct stat status {};
    const FileDescriptor source = openRegularFile(path, status);
    if (FileIdentity::of(status) != launcher.identity())
        throw ToolError(line.input, "was replaced by another file while being signed");
    TemporaryOutput output(path);
    OutputStream stream(output.fd(), path);
    stream.copyFrom(source.get(), line.input, launcher.bytes().size());
    stream.flush();
    recordSignatureArea(output.fd(), path, signable.sectionOffset, signatureArea);
    output.commit(status.st_mode & kPermissionBits);
    return 0;
}

}  // namespace onefile::tool
