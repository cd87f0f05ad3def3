// The machines a launcher can be made for, and how the tool names them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace onefile::tool {

enum class Architecture { x86_64, aarch64 };

inline constexpr Architecture kArchitectures[] = {Architecture::x86_64, Architecture::aarch64};

// "x86_64" or "aarch64", as --arch takes it and as messages print it.
std::string_view architectureName(Architecture architecture);

// The architecture `name` names; none for any other text.
std::optional<Architecture> parseArchitecture(std::string_view name);

// The architecture of an ELF file's e_machine; none for any other machine.
std::optional<Architecture> architectureOfMachine(unsigned machine);

// Every name --arch takes, for messages: "x86_64 or aarch64".
std::string acceptedArchitectureNames();

// The architecture of a launcher or stub with this e_machine; any other
// machine throws FormatError naming it and the accepted ones.
Architecture requireLauncherMachine(unsigned machine);

}  // namespace onefile::tool
