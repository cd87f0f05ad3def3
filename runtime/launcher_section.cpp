#include "runtime/launcher_section.h"

#include <cstring>

#include "format/launcher_config.h"
#include "runtime/fatal_stops.h"

// Start of the payload section, defined by the linker. Its __stop_ symbol and
// _end describe the stub as linked and are stale once a payload is attached:
// only the start is used.
extern "C" const unsigned char __start_onefile_payload[]
    __attribute__((visibility("hidden")));

namespace onefile {
namespace {

const LauncherConfig& launcherConfig() {
    return *reinterpret_cast<const LauncherConfig*>(__start_onefile_payload);
}

// The tool writes terminated strings; a launcher edited by other means must
// still never read past a field.
const char* checkedField(const char* field, std::size_t bytes, const char* what) {
    if (memchr(field, '\0', bytes) == nullptr) stopOnBrokenLimit(what);
    return field;
}

}  // namespace

const char* getDirectoryTemplate() {
    return checkedField(launcherConfig().directoryTemplate, kDirectoryTemplateBytes,
                        "directory template");
}

const char* getNextDirectoryTemplate(const char* current) {
    const char* field = launcherConfig().directoryTemplate;
    const char* next = current + strlen(current) + 1;
    if (next >= field + kDirectoryTemplateBytes || *next == '\0') return nullptr;
    return checkedField(next, static_cast<std::size_t>(field + kDirectoryTemplateBytes - next),
                        "directory template");
}

const char* getProductName() {
    return checkedField(launcherConfig().productName, kProductNameBytes, "product name");
}

const char* getVersionString() {
    return checkedField(launcherConfig().versionString, kVersionStringBytes, "version string");
}

const unsigned char* getAttachedBlock() { return __start_onefile_payload + kLauncherConfigBytes; }

bool launcherReusesTree() { return launcherConfig().treeMode == kTreeReused; }

const char* getFirstRunMessage() {
    const LauncherConfig& config = launcherConfig();
    // The tool ends the text within its field; a field without its NUL is
    // not a message.
    if (config.firstRunMessage[kFirstRunMessageBytes - 1] != '\0') return "";
    return config.firstRunMessage;
}
bool launcherReclaimsTrees() { return launcherConfig().reclaimMode == kReclaimAbandoned; }

const unsigned char* getLauncherDigest() {
    const LauncherConfig& config = launcherConfig();
    return config.digestKind == kDigestSha256 ? config.digest : nullptr;
}

}  // namespace onefile
