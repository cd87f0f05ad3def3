// Layout of the configuration area at the start of a launcher's payload
// section. The launcher reads it in place; the onefile tool fills it when it
// attaches a payload. The attached block (magic first) follows the area, so it
// starts on a page boundary of the file, like the section itself.
#pragma once

#include <cstddef>

namespace onefile {

inline constexpr char kLauncherConfigSignature[] = "onefile-config-1";
inline constexpr std::size_t kLauncherConfigSignatureBytes = 16;
inline constexpr std::size_t kDirectoryTemplateBytes = 2048;
inline constexpr std::size_t kProductNameBytes = 1024;
inline constexpr std::size_t kVersionStringBytes = 1008;

// All strings are NUL-terminated within their field; unused bytes are zero.
struct LauncherConfig {
    char signature[kLauncherConfigSignatureBytes];  // not NUL-terminated
    char directoryTemplate[kDirectoryTemplateBytes];
    char productName[kProductNameBytes];
    char versionString[kVersionStringBytes];
};

inline constexpr std::size_t kLauncherConfigBytes = 4096;
static_assert(sizeof(kLauncherConfigSignature) - 1 == kLauncherConfigSignatureBytes);
static_assert(sizeof(LauncherConfig) == kLauncherConfigBytes,
              "the block must start one page into the section");
static_assert(offsetof(LauncherConfig, directoryTemplate) == kLauncherConfigSignatureBytes);

// Name of the section that holds the area and the block, and the size of the
// stand-in block a stub carries before anything is attached (zeros: no magic).
inline constexpr char kPayloadSectionName[] = "onefile_payload";
inline constexpr std::size_t kStubBlockBytes = 16;

}  // namespace onefile
