// What a pack has done so far, counted by the threads that do it and read by
// the one that shows it.
#pragma once

#include <atomic>
#include <cstdint>

namespace onefile::tool {

struct ProgressCounters {
    std::atomic<std::uint64_t> entries{0};  // entries written to the block
    std::atomic<std::uint64_t> bytes{0};    // files' content bytes read
};

}  // namespace onefile::tool
