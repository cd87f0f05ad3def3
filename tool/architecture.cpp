#include "tool/architecture.h"

#include <elf.h>

#include "tool/tool_error.h"

namespace onefile::tool {

std::string_view architectureName(Architecture architecture) {
    return architecture == Architecture::aarch64 ? "aarch64" : "x86_64";
}

std::optional<Architecture> parseArchitecture(std::string_view name) {
    if (name == "x86_64") return Architecture::x86_64;
    if (name == "aarch64") return Architecture::aarch64;
    return std::nullopt;
}

std::optional<Architecture> architectureOfMachine(unsigned machine) {
    if (machine == EM_X86_64) return Architecture::x86_64;
    if (machine == EM_AARCH64) return Architecture::aarch64;
    return std::nullopt;
}

std::string acceptedArchitectureNames() {
    std::string names;
    for (const Architecture architecture : kArchitectures) {
        if (!names.empty()) names += architecture == kArchitectures[std::size(kArchitectures) - 1] ? " or " : ", ";
        names += architectureName(architecture);
    }
    return names;
}

Architecture requireLauncherMachine(unsigned machine) {
    const std::optional<Architecture> architecture = architectureOfMachine(machine);
    if (!architecture)
        throw FormatError("made for ELF machine " + std::to_string(machine) + ", not for " +
                          acceptedArchitectureNames());
    return *architecture;
}

}  // namespace onefile::tool
