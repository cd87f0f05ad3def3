#include "tool/pack_progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "tool/quantity_text.h"
#include "tool/signal_free_thread.h"

namespace onefile::tool {
namespace {

// Often enough to look alive, seldom enough to cost nothing and to stay
// readable in a terminal's scrollback.
inline constexpr std::chrono::milliseconds kRedrawInterval{200};
// A rate measured over less than this jumps about too much to be told.
inline constexpr double kFirstRateSeconds = 0.5;
// Carriage return and erase to the end of the line.
inline constexpr char kEraseLine[] = "\r\033[K";

void writeAll(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // a progress line is not worth failing the pack over
        done += static_cast<std::size_t>(n);
    }
}

// The width of the terminal on standard error; 0 when it is none.
std::size_t terminalColumns() {
    struct winsize size {};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

}  // namespace

std::optional<ProgressEstimate> estimateProgress(std::uint64_t bytesDone, std::uint64_t totalBytes,
                                                 double secondsAtBytesDone, double secondsNow) {
    if (secondsAtBytesDone < kFirstRateSeconds || bytesDone == 0) return std::nullopt;
    const double rate = static_cast<double>(bytesDone) / secondsAtBytesDone;
    const double bytesLeft = static_cast<double>(totalBytes - std::min(bytesDone, totalBytes));
    const double since = std::max(0.0, secondsNow - secondsAtBytesDone);
    return ProgressEstimate{rate, std::max(0.0, bytesLeft / rate - since)};
}

std::string describeProgress(std::uint64_t entriesDone, std::uint64_t entryCount, std::uint64_t bytesRead,
                             std::uint64_t totalBytes, const std::optional<ProgressEstimate>& estimate,
                             std::size_t columns) {
    std::string text = "onefile: packing " + describeCount(entriesDone) + " of " + describeCount(entryCount) +
                       " entries, " + describeBytes(std::min(bytesRead, totalBytes)) + " of " +
                       describeBytes(totalBytes);
    if (estimate) {
        text += ", " + describeBytes(static_cast<std::uint64_t>(estimate->bytesPerSecond)) + "/s, " +
                describeSeconds(estimate->secondsLeft) + " left";
    }
    // A line wider than the terminal would wrap, and \r would redraw only
    // its last part.
    if (columns > 1 && text.size() > columns - 1) text.resize(columns - 1);
    return text;
}

PackProgress::PackProgress(const ProgressCounters& counters, std::uint64_t entryCount, std::uint64_t totalBytes)
    : counters_(counters), entryCount_(entryCount), totalBytes_(totalBytes), start_(std::chrono::steady_clock::now()) {
    draw();
    thread_ = startSignalFreeThread([this] { run(); });
}

PackProgress::~PackProgress() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stopped_.notify_one();
    if (thread_.joinable()) thread_.join();
    erase();
}

void PackProgress::run() {
    std::unique_lock lock(mutex_);
    while (!stopped_.wait_for(lock, kRedrawInterval, [this] { return stopping_; })) draw();
}

void PackProgress::erase() const { writeAll(kEraseLine); }

void PackProgress::draw() {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const std::uint64_t bytesDone = counters_.bytesDone.load(std::memory_order_relaxed);
    if (bytesDone != bytesDoneSeen_) {
        bytesDoneSeen_ = bytesDone;
        secondsAtBytesDone_ = seconds;
    }
    writeAll(kEraseLine + describeProgress(counters_.entries.load(std::memory_order_relaxed), entryCount_,
                                           counters_.bytesRead.load(std::memory_order_relaxed), totalBytes_,
                                           estimateProgress(bytesDone, totalBytes_, secondsAtBytesDone_, seconds),
                                           terminalColumns()));
}

}  // namespace onefile::tool
