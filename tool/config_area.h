// The configuration area of a launcher or stub, in either layout
// (format/launcher_config.h): recognised by its signature, read into the
// settings it records, and made from them.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <vector>

#include "format/launcher_config.h"
#include "tool/elf_reader.h"
#include "tool/launcher_strings.h"

namespace onefile::tool {

enum class ConfigLayout { first, second };

using LauncherDigest = std::array<unsigned char, kLauncherDigestBytes>;

// What a configuration area records. The first layout records only the
// strings.
struct LauncherSettings {
    ConfigLayout layout = ConfigLayout::second;
    LauncherStrings strings;
    std::optional<int> compressionLevel;  // the zstd level `onefile pack --compress` used
    std::optional<LauncherDigest> digest;
    bool reuse = false;  // the unpacked tree is kept between runs (pack --reuse)
    // Runs remove the trees that runs killed outright left behind (not with
    // pack --no-reclaim); the first layout records nothing of it.
    bool reclaim = false;
};

// Size of an area of `layout`: the block follows it.
std::size_t configAreaBytes(ConfigLayout layout);

// Offset of the digest field from the start of an area of the second layout.
inline constexpr std::size_t kDigestFieldOffset = offsetof(LauncherConfig, digest);

// The layout whose signature starts `section` (the payload section's bytes),
// which must hold that layout's whole area; throws FormatError otherwise.
ConfigLayout recognizeConfigArea(ByteSpan section);

// The settings of the area that starts `section`. A string without its NUL
// within its field, or a record with a value this tool does not know, throws
// FormatError; reserved bytes are not looked at.
LauncherSettings readConfigArea(ByteSpan section);

// The area of `settings.layout` recording `settings`, zero-filled elsewhere;
// the digest field is written later, once the launcher is complete. The
// first layout has no room for the compression level or the tree mode.
std::vector<unsigned char> makeConfigArea(const LauncherSettings& settings);

}  // namespace onefile::tool
