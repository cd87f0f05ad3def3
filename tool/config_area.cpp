#include "tool/config_area.h"

#include <cstring>
#include <string>

#include "tool/content_compressor.h"
#include "tool/tool_error.h"

namespace onefile::tool {
namespace {

bool hasSignature(ByteSpan section, const char* signature) {
    return section.size() >= kLauncherConfigSignatureBytes &&
           std::memcmp(section.data(), signature, kLauncherConfigSignatureBytes) == 0;
}

std::string readField(const unsigned char* field, std::size_t bytes, const char* what) {
    const void* end = std::memchr(field, '\0', bytes);
    if (end == nullptr) throw FormatError(std::string("the ") + what + " fills its field without a terminating NUL");
    return {reinterpret_cast<const char*>(field), static_cast<std::size_t>(static_cast<const unsigned char*>(end) - field)};
}

void copyField(unsigned char* area, std::size_t offset, const std::string& text) {
    std::memcpy(area + offset, text.data(), text.size());
}

}  // namespace

std::size_t configAreaBytes(ConfigLayout layout) {
    return layout == ConfigLayout::first ? kFirstLayoutConfigBytes : kLauncherConfigBytes;
}

ConfigLayout recognizeConfigArea(ByteSpan section) {
    ConfigLayout layout;
    if (hasSignature(section, kLauncherConfigSignature)) layout = ConfigLayout::second;
    else if (hasSignature(section, kFirstLayoutConfigSignature)) layout = ConfigLayout::first;
    else throw FormatError("no launcher configuration area where the payload section should be");
    if (section.size() < configAreaBytes(layout)) throw FormatError("the configuration area is cut short");
    return layout;
}

LauncherSettings readConfigArea(ByteSpan section) {
    LauncherSettings settings;
    settings.layout = recognizeConfigArea(section);
    const unsigned char* area = section.data();
    settings.strings.directoryTemplate = readField(area + offsetof(LauncherConfig, directoryTemplate),
                                                   kDirectoryTemplateBytes, "directory template");
    // The templates tried after the first follow it, up to an empty one.
    const unsigned char* field = area + offsetof(LauncherConfig, directoryTemplate);
    for (std::size_t at = settings.strings.directoryTemplate.size() + 1; at < kDirectoryTemplateBytes && field[at] != 0;) {
        std::string fallback = readField(field + at, kDirectoryTemplateBytes - at, "directory template");
        at += fallback.size() + 1;
        settings.strings.fallbackTemplates.push_back(std::move(fallback));
    }
    settings.strings.productName =
        readField(area + offsetof(LauncherConfig, productName), kProductNameBytes, "product name");
    settings.strings.versionString =
        readField(area + offsetof(LauncherConfig, versionString), kVersionStringBytes, "version string");
    if (settings.layout == ConfigLayout::first) return settings;

    const unsigned char digestKind = area[offsetof(LauncherConfig, digestKind)];
    if (digestKind == kDigestSha256) {
        LauncherDigest digest;
        std::memcpy(digest.data(), area + kDigestFieldOffset, digest.size());
        settings.digest = digest;
    } else if (digestKind != kDigestNone) {
        throw FormatError("unknown digest kind " + std::to_string(digestKind));
    }
    const unsigned char codec = area[offsetof(LauncherConfig, compressionCodec)];
    const int level = area[offsetof(LauncherConfig, compressionLevel)];
    if (codec == kCompressionZstd) {
        if (level < kLowestCompressionLevel || level > kHighestCompressionLevel)
            throw FormatError("unknown zstd level " + std::to_string(level));
        settings.compressionLevel = level;
    } else if (codec != kCompressionNone) {
        throw FormatError("unknown compression codec " + std::to_string(codec));
    }
    const unsigned char treeMode = area[offsetof(LauncherConfig, treeMode)];
    if (treeMode != kTreeFreshPerRun && treeMode != kTreeReused)
        throw FormatError("unknown tree mode " + std::to_string(treeMode));
    settings.reuse = treeMode == kTreeReused;
    settings.strings.firstRunMessage =
        readField(area + offsetof(LauncherConfig, firstRunMessage), kFirstRunMessageBytes, "first-run message");
    const unsigned char reclaimMode = area[offsetof(LauncherConfig, reclaimMode)];
    if (reclaimMode != kReclaimAbandoned && reclaimMode != kReclaimNever)
        throw FormatError("unknown reclaim mode " + std::to_string(reclaimMode));
    settings.reclaim = reclaimMode == kReclaimAbandoned;
    return settings;
}

std::vector<unsigned char> makeConfigArea(const LauncherSettings& settings) {
    std::vector<unsigned char> area(configAreaBytes(settings.layout), 0);
    const char* signature =
        settings.layout == ConfigLayout::first ? kFirstLayoutConfigSignature : kLauncherConfigSignature;
    std::memcpy(area.data(), signature, kLauncherConfigSignatureBytes);
    copyField(area.data(), offsetof(LauncherConfig, directoryTemplate), encodeTemplates(settings.strings));
    copyField(area.data(), offsetof(LauncherConfig, productName), settings.strings.productName);
    copyField(area.data(), offsetof(LauncherConfig, versionString), settings.strings.versionString);
    if (settings.layout == ConfigLayout::second && settings.digest) {
        area[offsetof(LauncherConfig, digestKind)] = kDigestSha256;
        std::memcpy(area.data() + kDigestFieldOffset, settings.digest->data(), settings.digest->size());
    }
    if (settings.layout == ConfigLayout::second && settings.compressionLevel) {
        area[offsetof(LauncherConfig, compressionCodec)] = kCompressionZstd;
        area[offsetof(LauncherConfig, compressionLevel)] = static_cast<unsigned char>(*settings.compressionLevel);
    }
    if (settings.layout == ConfigLayout::second && settings.reuse)
        area[offsetof(LauncherConfig, treeMode)] = kTreeReused;
    if (settings.layout == ConfigLayout::second)
        copyField(area.data(), offsetof(LauncherConfig, firstRunMessage), settings.strings.firstRunMessage);
    if (settings.layout == ConfigLayout::second && !settings.reclaim)
        area[offsetof(LauncherConfig, reclaimMode)] = kReclaimNever;
    return area;
}

}  // namespace onefile::tool
