// Layout of the configuration area at the start of a launcher's payload
// section. The launcher reads it in place; the onefile tool fills it when it
// attaches a payload. The attached block (magic first) follows the area, so it
// starts on a page boundary of the file, like the section itself.
//
// There are two layouts, told apart by their signature. The first,
// "onefile-config-1", is one page: the signature and the three strings. The
// second, "onefile-config-2", keeps those four fields where they were and adds
// a page of records: the digest of what the launcher loads, the compression
// it was packed with, whether it keeps its unpacked tree between runs and
// whether it reclaims the trees of dead runs, a message for a run that
// unpacks, and the signature area. The signature area is the only part of
// the page that the digest does not cover (besides the digest itself): a
// launcher can be signed, and signed again, without changing the digest. The
// launcher never reads it. Bytes not assigned are zero. A stub's
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
// Values of LauncherConfig::reclaimMode. Zero, what launchers made before the
// field existed hold, removes the abandoned trees that runs killed outright
// left behind; kReclaimNever leaves them (pack --no-reclaim).
inline constexpr unsigned char kReclaimAbandoned = 0;
inline constexpr unsigned char kReclaimNever = 1;
// The message written once to standard error by a run that unpacks (pack
// --first-run-message): at most 511 bytes and its NUL; empty for none.
inline constexpr std::size_t kFirstRunMessageBytes = 512;
// The signature area fills the rest of the page: a length (u64,
// little-endian, as every size of the block; 0 for a launcher that is not
// signed) and the SSH signature it counts, in the binary form whose base64
// the armored `SSH SIGNATURE` block carries, over the digest as 64
// lower-case hexadecimal digits and a newline, namespace "onefile"; zero
// after it. 3512 bytes hold the signature of an RSA-4096 key certified by
// an RSA-4096 authority (about 2.5 KB) with room for principals and
// extensions.
inline constexpr std::size_t kSignatureLengthBytes = 8;
inline constexpr std::size_t kSignatureAreaBytes = 3520;
inline constexpr std::size_t kSignatureBytes = kSignatureAreaBytes - kSignatureLengthBytes;

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
    unsigned char reclaimMode;       // kReclaimAbandoned or kReclaimNever (pack --no-reclaim)
    unsigned char reservedFlags[27];
    unsigned char digest[kLauncherDigestBytes];
    char firstRunMessage[kFirstRunMessageBytes];
    // Not covered by the digest, never read by the launcher.
    unsigned char sshSignatureLength[kSignatureLengthBytes];
    unsigned char sshSignature[kSignatureBytes];
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
static_assert(offsetof(LauncherConfig, reclaimMode) == kFirstLayoutConfigBytes + 4);
static_assert(offsetof(LauncherConfig, firstRunMessage) == kFirstLayoutConfigBytes + 64,
              "the first-run message takes the page's reserved bytes behind the digest");
static_assert(offsetof(LauncherConfig, sshSignatureLength) + kSignatureAreaBytes == kLauncherConfigBytes,
              "the signature area ends the configuration area");
static_assert(kVersionNameDigestBytes <= kLauncherDigestBytes);

// Name of the section that holds the area and the block, and the size of the
// stand-in block a stub carries before anything is attached (zeros: no magic).
inline constexpr char kPayloadSectionName[] = "onefile_payload";
inline constexpr std::size_t kStubBlockBytes = 16;

}  // namespace onefile
