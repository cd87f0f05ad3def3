#include <cstdio>
#include <cstdlib>

#include "runtime/launch_variables.h"

namespace onefile {

namespace {
constexpr std::size_t kNumberTextBytes = 128;
}

void setEnvironmentNumber(const char* name, std::int64_t value) {
    char text[kNumberTextBytes];
    snprintf(text, sizeof text, "%ld", static_cast<long>(value));
    setLaunchVariable(name, text);
}

}  // namespace onefile
