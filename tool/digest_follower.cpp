#include "tool/digest_follower.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "tool/signal_free_thread.h"
#include "tool/tool_error.h"

namespace onefile::tool {
namespace {

// The thread hashes the file in pieces of this size at most, and waits for
// at least this much (or the end) before it reads again.
constexpr std::uint64_t kPieceBytes = std::uint64_t{8} << 20;
// Read back through a buffer this small, which stays in the processor's
// cache while it is hashed.
constexpr std::size_t kReadBytes = std::size_t{128} << 10;

}  // namespace

DigestFollower::DigestFollower(int fd, std::string outputPath, std::uint64_t digestFieldOffset)
    : fd_(fd), outputPath_(std::move(outputPath)), digester_(digestFieldOffset) {
    thread_ = startSignalFreeThread([this] { run(); });
}

DigestFollower::~DigestFollower() {
    {
        std::lock_guard lock(mutex_);
        abandoned_ = true;
    }
    progressed_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void DigestFollower::advance(std::uint64_t end) {
    {
        std::lock_guard lock(mutex_);
        if (end <= available_) return;
        available_ = end;
    }
    progressed_.notify_one();
}

void DigestFollower::hashRead(std::uint64_t from, std::uint64_t to) {
    if (buffer_.empty()) buffer_.resize(kReadBytes);
    while (from < to) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(to - from, buffer_.size()));
        const ssize_t n = ::pread(fd_, buffer_.data(), want, static_cast<off_t>(from));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw ToolError(outputPath_, "cannot read back: " + systemErrorText(errno));
        if (n == 0) throw ToolError(outputPath_, "became shorter while being written");
        digester_.add(ByteSpan(buffer_.data(), static_cast<std::size_t>(n)));
        from += static_cast<std::uint64_t>(n);
    }
}

void DigestFollower::run() {
    std::uint64_t hashed = 0;
    try {
        for (;;) {
            std::uint64_t target = 0;
            {
                std::unique_lock lock(mutex_);
                progressed_.wait(lock, [&] { return abandoned_ || ended_ || available_ - hashed >= kPieceBytes; });
                if (abandoned_) return;
                if (ended_ && available_ == hashed) return;
                target = std::min(available_, hashed + kPieceBytes);
            }
            hashRead(hashed, target);
            hashed = target;
        }
    } catch (...) {
        failure_ = std::current_exception();
    }
}

LauncherDigest DigestFollower::finish(std::uint64_t size) {
    {
        std::lock_guard lock(mutex_);
        available_ = size;
        ended_ = true;
    }
    progressed_.notify_one();
    thread_.join();
    try {
        if (failure_) std::rethrow_exception(failure_);
        return digester_.finish();
    } catch (const FormatError& error) {
        throw ToolError(outputPath_, error.what());
    }
}

}  // namespace onefile::tool
