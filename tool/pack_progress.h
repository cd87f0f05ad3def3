// The progress line of pack on standard error: entries and bytes done of the
// total, the rate and the time left, redrawn in place a few times a second
// and erased when the work ends, so that what follows starts on a clean line.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
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
    void draw();
    void erase() const;

    const ProgressCounters& counters_;
    std::uint64_t entryCount_;
    std::uint64_t totalBytes_;
    std::chrono::steady_clock::time_point start_;
    // The finished bytes when the line last saw them change, and the time it
    // saw it: the rate is measured up to that moment. With the drawing thread.
    std::uint64_t bytesDoneSeen_ = 0;
    double secondsAtBytesDone_ = 0;
    std::mutex mutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;  // with the mutex
    std::thread thread_;
};

// The speed the line tells: bytes a second, and the seconds left.
struct ProgressEstimate {
    double bytesPerSecond = 0;
    double secondsLeft = 0;
};

// The estimate when `bytesDone` of `totalBytes` were finished
// `secondsAtBytesDone` after the start, and it is now `secondsNow`: the rate
// of the bytes finished so far, and the bytes left at that rate less the
// time since that count was reached. Between two counts, while a frame is
// being made, the time left counts down instead of growing. None before
// there is a rate worth telling.
std::optional<ProgressEstimate> estimateProgress(std::uint64_t bytesDone, std::uint64_t totalBytes,
                                                 double secondsAtBytesDone, double secondsNow);

// The text of the progress line with `bytesRead` bytes shown as done,
// `columns` wide at most when above 0.
std::string describeProgress(std::uint64_t entriesDone, std::uint64_t entryCount, std::uint64_t bytesRead,
                             std::uint64_t totalBytes, const std::optional<ProgressEstimate>& estimate,
                             std::size_t columns);

}  // namespace onefile::tool
