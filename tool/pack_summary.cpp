#include "tool/pack_summary.h"

#include <cstdio>

#include "tool/quantity_text.h"

namespace onefile::tool {
namespace {

std::string describeNumberOf(std::uint64_t count, const char* singular, const char* plural) {
    return describeCount(count) + " " + (count == 1 ? singular : plural);
}

}  // namespace

std::string describePackedLauncher(const PackedLauncher& launcher) {
    std::string text = "onefile: wrote " + launcher.output + ": " +
                       describeNumberOf(launcher.files, "file", "files") + ", " +
                       describeNumberOf(launcher.links, "link", "links") + ", " +
                       describeBytes(launcher.unpackedBytes) + " unpacked, " +
                       describeBytes(launcher.launcherBytes) + " launcher";
    if (launcher.compressed && launcher.unpackedBytes > 0) {
        char ratio[32];
        std::snprintf(ratio, sizeof ratio, " (%.2f)",
                      static_cast<double>(launcher.launcherBytes) / static_cast<double>(launcher.unpackedBytes));
        text += ratio;
    }
    return text + ", " + describeSeconds(launcher.seconds);
}

}  // namespace onefile::tool
