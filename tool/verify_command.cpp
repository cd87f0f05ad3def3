#include <iostream>

#include "tool/commands.h"
#include "tool/config_area.h"
#include "tool/guarded_mapping.h"
#include "tool/launcher_digest.h"
#include "tool/payload_locate.h"
#include "tool/tool_error.h"
#include "tool/verify_signature.h"

namespace onefile::tool {

int runVerify(const CommandLine& line) {
    const GuardedMapping launcher(line.input);
    LauncherSettings settings;
    LauncherDigest computed{};
    ByteSpan section;
    launcher.read("read", [&launcher, &line, &settings, &computed, &section] {
        try {
            section = findPayloadSection(launcher.bytes());
            settings = readConfigArea(section);
            if (!settings.digest)
                throw ToolError(line.input,
                                settings.layout == ConfigLayout::first
                                    ? "carries no digest to verify (its stub has the first configuration layout)"
                                    : "carries no digest to verify");
            const auto sectionOffset = static_cast<std::uint64_t>(section.data() - launcher.bytes().data());
            computed = computeLauncherDigest(launcher.bytes(), sectionOffset + kDigestFieldOffset);
        } catch (const FormatError& error) {
            throw ToolError(line.input, std::string("cannot be verified: ") + error.what());
        }
    });
    if (computed != *settings.digest)
        throw ToolError(line.input, "digest does not match: what it loads has changed since it was made (recorded " +
                                        formatDigest(*settings.digest) + ", found " + formatDigest(computed) + ")");
    std::string signature;
    launcher.read("read", [&] { signature = verifyLauncherSignature(line, section, computed); });
    std::cout << line.input << ": OK" << signature << "\n" << std::flush;
    if (!std::cout) throw ToolError("standard output", "cannot write");
    return 0;
}

}  // namespace onefile::tool
