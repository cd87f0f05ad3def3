// libFuzzer's inline coverage counters of this executable, for a harness
// that runs the code under test in a forked child and has to carry the
// child's coverage back.
#pragma once

#include <cstdint>
#include <span>

namespace onefile::fuzz {

// Empty in a build without coverage instrumentation.
std::span<std::uint8_t> coverageCounters();

}  // namespace onefile::fuzz
