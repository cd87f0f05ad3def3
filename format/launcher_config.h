// Layout of the configuration area at the start of a launcher's payload
// section. The launcher reads it in place; the onefile tool fills it when it
// attaches a payload. The attached block (magic first) follows the area, so it
// starts on a page boundary of the file, like the section itself.
//
// There are two layouts, told apart by their signature. The first,
// "onefile-config-1", is one page: the signature and the three strings. The
// second, "onefile-config-2", keeps those four fields where they were and adds
// a page of records: the digest of what the launcher loads, the compression
// it was packed with and whether it keeps its unpacked tree between runs;
// the rest of that page is zero and reserved for later versions. A stub's
// code reads the block behind the area of its own build, so the stub decides
// the layout: the tool writes the layout the stub has and reads both.
#pragma once

#include <cstddef>

namespace onefile {

inline constexpr char kLauncherConfigSignature[] = "onefile-config-2";
inline constexpr char kFirstLayoutConfigSignature[] = "onefile-config-1";
inline constexpr std::size_t kLauncherConfigSignatureBytes = 16;
inline constexpr std::size_t kDirectoryTemplateBytes = 2048;
inline constexpr std::size_t kProductNameBytes = 1024;
inline constexpr std::size_t kVersionStringBytes = 1008;
inline constexpr std::size_t kLauncherDigestBytes = 32;

// Values of LauncherConfig::digestKind.
inline constexpr unsigned char kDigestNone = 0;
inline constexpr unsigned char kDigestSha256 = 1;
// Values of LauncherConfig::compressionCodec.
inline constexpr unsigned char kCompressionNone = 0;
inline constexpr unsigned char kCompressionZstd = 1;
// Values of LauncherConfig::treeMode. Zero, what launchers made before the
// field existed hold, keeps today's fresh directory per run.
inline constexpr unsigned char kTreeFreshPerRun = 0;
inline constexpr unsigned char kTreeReused = 1;
// The reused tree's directory is named after the first bytes of the digest:
// 16 hexadecimal digits.
inline constexpr std::size_t kVersionNameDigestBytes = 8;

// All strings are NUL-terminated within their field; unused bytes are zero.
struct LauncherConfig {
    // The first layout: all of it.
    char signature[kLauncherConfigSignatureBytes];  // not NUL-terminated
    char directoryTemplate[kDirectoryTemplateBytes];
    char productName[kProductNameBytes];
    char versionString[kVersionStringBytes];
    // The second layout's records.
    unsigned char digestKind;        // kDigestNone or kDigestSha256
    unsigned char compressionCodec;  // how `onefile pack` compressed the entries
    unsigned char compressionLevel;  // the codec's level, with kCompressionZstd
    unsigned char treeMode;          // kTreeFreshPerRun or kTreeReused (pack --reuse)
    unsigned char reservedFlags[28];
    unsigned char digest[kLauncherDigestBytes];
    unsigned char reserved[4096 - 32 - kLauncherDigestBytes];
};

inline constexpr std::size_t kFirstLayoutConfigBytes = 4096;
inline constexpr std::size_t kLauncherConfigBytes = 8192;
static_assert(sizeof(kLauncherConfigSignature) - 1 == kLauncherConfigSignatureBytes);
static_assert(sizeof(kFirstLayoutConfigSignature) - 1 == kLauncherConfigSignatureBytes);
static_assert(sizeof(LauncherConfig) == kLauncherConfigBytes,
              "the block must start on a page boundary of the section");
static_assert(offsetof(LauncherConfig, directoryTemplate) == kLauncherConfigSignatureBytes);
static_assert(offsetof(LauncherConfig, digestKind) == kFirstLayoutConfigBytes,
              "the second layout keeps the first one's fields where they were");
static_assert(offsetof(LauncherConfig, treeMode) == kFirstLayoutConfigBytes + 3,
              "the tree mode takes the first reserved byte of the records");
static_assert(kVersionNameDigestBytes <= kLauncherDigestBytes);

// Name of the section that holds the area and the block, and the size of the
// stand-in block a stub carries before anything is attached (zeros: no magic).
inline constexpr char kPayloadSectionName[] = "onefile_payload";
inline constexpr std::size_t kStubBlockBytes = 16;

}  // namespace onefile
