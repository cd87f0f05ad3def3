#include "tool/tool_error.h"

#include <cstring>

namespace onefile::tool {

std::string systemErrorText(int errorNumber) { return std::strerror(errorNumber); }

}  // namespace onefile::tool
