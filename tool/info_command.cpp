#include <iostream>
#include <optional>
#include <string>

#include "tool/architecture.h"
#include "tool/block_reader.h"
#include "tool/commands.h"
#include "tool/config_area.h"
#include "tool/guarded_mapping.h"
#include "tool/launcher_digest.h"
#include "tool/payload_locate.h"
#include "tool/signature_area.h"
#include "tool/ssh_public_key.h"
#include "tool/text_escape.h"
#include "tool/tool_error.h"

namespace onefile::tool {
namespace {

// The key of a launcher's signature.
struct SignatureKey {
    std::string type;
    std::string fingerprint;
};

std::optional<SignatureKey> readSignatureKey(ByteSpan section) {
    const std::optional<SshSignature> signature = readSignatureArea(section);
    if (!signature) return std::nullopt;
    return SignatureKey{signature->keyType, sshKeyFingerprint(signature->publicKey)};
}

struct LauncherInfo {
    Architecture architecture = Architecture::x86_64;
    LauncherSettings settings;
    std::uint64_t files = 0;
    std::uint64_t links = 0;
    std::uint64_t storedBytes = 0;    // content bytes as the block holds them
    std::uint64_t unpackedBytes = 0;  // content bytes once unpacked
    bool anyCompressed = false;
    std::optional<SignatureKey> signature;
};

LauncherInfo readLauncherInfo(ByteSpan launcher) {
    LauncherInfo info;
    info.architecture = requireLauncherMachine(readElfHeader(launcher).e_machine);
    const ByteSpan section = findPayloadSection(launcher);
    info.settings = readConfigArea(section);
    info.signature = readSignatureKey(section);
    (void)visitBlock(section.subspan(configAreaBytes(info.settings.layout)), [&info](const BlockEntryInfo& entry) {
        if (entry.kind == EntryKind::link) {
            ++info.links;
            return;
        }
        ++info.files;
        // Neither sum wraps: the stored sizes lie within the block, and
        // visitBlock refuses a block whose unpacked sizes add up to more
        // than 64 bits count before it hands over the entry that would.
        info.storedBytes += entry.size;
        info.unpackedBytes += entry.unpackedSize;
        info.anyCompressed = info.anyCompressed || entry.compressed;
    });
    return info;
}

// "zstd" with the level pack recorded; a block with compressed entries but
// no recorded level (attach --decoder) has no level to tell.
std::optional<std::string> compressionLevelText(const LauncherInfo& info) {
    if (info.settings.compressionLevel) return std::to_string(*info.settings.compressionLevel);
    if (info.anyCompressed) return std::string();
    return std::nullopt;
}

void printText(const LauncherInfo& info) {
    const LauncherStrings& strings = info.settings.strings;
    const std::optional<std::string> level = compressionLevelText(info);
    std::cout << "arch: " << architectureName(info.architecture) << "\n"
              << "template: " << escapeField(strings.directoryTemplate) << "\n";
    for (const std::string& fallback : strings.fallbackTemplates)
        std::cout << "fallback_template: " << escapeField(fallback) << "\n";
    std::cout
              << "product: " << escapeField(strings.productName) << "\n"
              << "version: " << escapeField(strings.versionString) << "\n"
              << "files: " << info.files << "\n"
              << "links: " << info.links << "\n"
              << "stored_bytes: " << info.storedBytes << "\n"
              << "unpacked_bytes: " << info.unpackedBytes << "\n"
              << "compression: "
              << (!level ? "none" : level->empty() ? "zstd, level not recorded" : "zstd level " + *level) << "\n"
              << "digest: " << (info.settings.digest ? "sha256 " + formatDigest(*info.settings.digest) : "none")
              << "\n"
              << "reuse: " << (info.settings.reuse ? "true" : "false") << "\n"
              << "reclaim: " << (info.settings.reclaim ? "true" : "false") << "\n"
              << "first_run_message: " << escapeField(info.settings.strings.firstRunMessage) << "\n"
              << "signature: "
              << (info.signature ? info.signature->type + " key " + info.signature->fingerprint : "unsigned") << "\n";
}

std::string jsonStringList(const std::vector<std::string>& texts) {
    std::string list = "[";
    for (const std::string& text : texts) list += (list.size() > 1 ? ", " : "") + jsonString(text);
    return list + "]";
}

void printJson(const LauncherInfo& info) {
    const LauncherStrings& strings = info.settings.strings;
    const std::optional<std::string> level = compressionLevelText(info);
    std::string compression = "null";
    if (level) compression = std::string("{\"codec\": \"zstd\", \"level\": ") + (level->empty() ? "null" : *level) + "}";
    std::cout << "{\"arch\": " << jsonString(architectureName(info.architecture))
              << ", \"template\": " << jsonString(strings.directoryTemplate)
              << ", \"fallback_templates\": " << jsonStringList(strings.fallbackTemplates)
              << ", \"product\": " << jsonString(strings.productName)
              << ", \"version\": " << jsonString(strings.versionString) << ", \"files\": " << info.files
              << ", \"links\": " << info.links << ", \"stored_bytes\": " << info.storedBytes
              << ", \"unpacked_bytes\": " << info.unpackedBytes << ", \"compression\": " << compression
              << ", \"digest\": "
              << (info.settings.digest ? jsonString(formatDigest(*info.settings.digest)) : std::string("null"))
              << ", \"reuse\": " << (info.settings.reuse ? "true" : "false")
              << ", \"reclaim\": " << (info.settings.reclaim ? "true" : "false")
              << ", \"first_run_message\": " << jsonString(info.settings.strings.firstRunMessage) << ", \"signature\": "
              << (info.signature ? "{\"key_type\": " + jsonString(info.signature->type) +
                                       ", \"fingerprint\": " + jsonString(info.signature->fingerprint) + "}"
                                 : std::string("null"))
              << "}\n";
}

}  // namespace

int runInfo(const CommandLine& line) {
    const GuardedMapping launcher(line.input);
    LauncherInfo info;
    launcher.read("read", [&launcher, &line, &info] {
        try {
            info = readLauncherInfo(launcher.bytes());
        } catch (const FormatError& error) {
            throw ToolError(line.input, error.what());
        }
    });
    if (line.json) printJson(info);
    else printText(info);
    std::cout << std::flush;
    if (!std::cout) throw ToolError("standard output", "cannot write");
    return 0;
}

}  // namespace onefile::tool
