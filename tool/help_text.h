// The texts of --help.
#pragma once

#include <string>

#include "tool/command_line.h"

namespace onefile::tool {

// The help of `command`, or of the tool as a whole for Command::none.
std::string helpText(Command command);

}  // namespace onefile::tool
