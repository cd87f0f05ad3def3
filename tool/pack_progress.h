// The progress line of pack on standard error: entries and bytes done of the
// total, the rate and the time left, redrawn in place a few times a second
// and erased when the work ends, so that what follows starts on a clean line.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "tool/progress_counters.h"

namespace onefile::tool {

class PackProgress {
public:
    // Draws the line at once for `entryCount` entries holding `totalBytes`
    // bytes of content, then redraws it from `counters` on a thread of its own.
    PackProgress(const ProgressCounters& counters, std::uint64_t entryCount, std::uint64_t totalBytes);
    PackProgress(const PackProgress&) = delete;
    PackProgress& operator=(const PackProgress&) = delete;
    // Stops redrawing and erases the line, whether the work succeeded or not.
    ~PackProgress();

private:
    void run();
    void draw(bool final) const;

    const ProgressCounters& counters_;
    std::uint64_t entryCount_;
    std::uint64_t totalBytes_;
    std::chrono::steady_clock::time_point start_;
    std::mutex mutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;  // with the mutex
    std::thread thread_;
};

// The text of the progress line, `columns` wide at most when above 0.
std::string describeProgress(std::uint64_t entriesDone, std::uint64_t entryCount, std::uint64_t bytesDone,
                             std::uint64_t totalBytes, double seconds, std::size_t columns);

}  // namespace onefile::tool
