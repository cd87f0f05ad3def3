// What a pack has done so far, counted by the threads that do it and read by
// the one that shows it.
#pragma once

#include <atomic>
#include <cstdint>

namespace onefile::tool {

struct ProgressCounters {
    std::atomic<std::uint64_t> entries{0};  // entries written to the block
    // Files' content bytes read in, counted piece by piece as a compressing
    // thread reads them: this moves while a frame is still being made.
    std::atomic<std::uint64_t> bytesRead{0};
    // Content bytes finished: copied into the block, or in frames that are
    // done. The rate of the pack is measured on these.
    std::atomic<std::uint64_t> bytesDone{0};
};

}  // namespace onefile::tool
