#include "tool/digest_follower.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "tool/signal_free_thread.h"
#include "tool/tool_error.h"

namespace onefile::tool {
namespace {

// The thread maps and hashes the file in pieces of this size at most, and
// waits for at least this much (or the end) before it maps again.
constexpr std::uint64_t kPieceBytes = std::uint64_t{8} << 20;

std::uint64_t pageSize() { return static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)); }

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

void DigestFollower::hashMapped(std::uint64_t from, std::uint64_t to) {
    const std::uint64_t mapStart = from - from % pageSize();
    const std::size_t mapLength = static_cast<std::size_t>(to - mapStart);
    void* address = ::mmap(nullptr, mapLength, PROT_READ, MAP_SHARED | MAP_POPULATE, fd_, static_cast<off_t>(mapStart));
    if (address == MAP_FAILED) throw ToolError(outputPath_, systemErrorText(errno));
    const auto* bytes = static_cast<const unsigned char*>(address);
    try {
        digester_.add(ByteSpan(bytes + (from - mapStart), static_cast<std::size_t>(to - from)));
    } catch (...) {
        ::munmap(address, mapLength);
        throw;
    }
    ::munmap(address, mapLength);
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
            hashMapped(hashed, target);
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
