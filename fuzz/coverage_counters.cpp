// This file must itself be built without coverage instrumentation: the
// compiler would otherwise declare the same section bounds for its own
// counters, and the two declarations would not be merged.
#include "fuzz/coverage_counters.h"

extern "C" {
// Defined by the linker around the counters' section when it exists.
__attribute__((weak, visibility("hidden"))) extern std::uint8_t __start___sancov_cntrs[];
__attribute__((weak, visibility("hidden"))) extern std::uint8_t __stop___sancov_cntrs[];
}

namespace onefile::fuzz {

std::span<std::uint8_t> coverageCounters() {
    if (__start___sancov_cntrs == nullptr || +__stop___sancov_cntrs <= +__start___sancov_cntrs) return {};
    return {__start___sancov_cntrs, __stop___sancov_cntrs};
}

}  // namespace onefile::fuzz
