#include "tool/compression_pool.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>

#include "runtime/worker_threads.h"
#include "tool/content_compressor.h"
#include "tool/signal_free_thread.h"

namespace onefile::tool {

namespace {

constexpr std::uint64_t kCompressorMemoryBytes = 128ull << 20;

}  // namespace

unsigned countCompressionThreads() {
    const unsigned processors = static_cast<unsigned>(std::max(1, countUsableProcessors()));
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageBytes = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageBytes <= 0) return processors;
    const std::uint64_t affordable =
        static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageBytes) / 4 / kCompressorMemoryBytes;
    return static_cast<unsigned>(std::clamp<std::uint64_t>(affordable, 1, processors));
}

CompressionPool::CompressionPool(int level, unsigned threads, ProgressCounters* counters) : counters_(counters) {
    if (threads == 0) threads = 1;
    // Made here, so that a context that cannot be had fails the pack at once.
    std::vector<std::unique_ptr<ContentCompressor>> compressors;
    for (unsigned i = 0; i < threads; ++i) {
        compressors.push_back(std::make_unique<ContentCompressor>(level));
        if (counters_) compressors.back()->countReadBytes(&counters_->bytesRead);
    }
    // Room first: a thread started and then not stored would end the process.
    threads_.reserve(threads);
    try {
        for (auto& compressor : compressors) {
            threads_.push_back(startSignalFreeThread(
                [this, owned = std::shared_ptr<ContentCompressor>(std::move(compressor))] { work(*owned); }));
        }
    } catch (...) {
        stop();
        throw;
    }
}

CompressionPool::~CompressionPool() { stop(); }

void CompressionPool::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    jobsAdded_.notify_all();
    for (std::thread& thread : threads_)
        if (thread.joinable()) thread.join();
    threads_.clear();
}

std::size_t CompressionPool::pending() const {
    std::lock_guard lock(mutex_);
    return slots_.size();
}

std::uint64_t CompressionPool::pendingBytes() const {
    std::lock_guard lock(mutex_);
    return pendingBytes_;
}

void CompressionPool::submit(FrameJob job) {
    auto slot = std::make_unique<Slot>();
    slot->job = std::move(job);
    {
        std::lock_guard lock(mutex_);
        pendingBytes_ += slot->job.length;
        slots_.push_back(std::move(slot));
    }
    jobsAdded_.notify_one();
}

CompressedFrame CompressionPool::takeNext() {
    std::unique_lock lock(mutex_);
    if (slots_.empty()) throw std::logic_error("a frame was taken that was never asked for");
    jobDone_.wait(lock, [this] { return slots_.front()->done; });
    std::unique_ptr<Slot> slot = std::move(slots_.front());
    slots_.pop_front();
    --started_;
    pendingBytes_ -= slot->job.length;
    lock.unlock();
    if (slot->failure) std::rethrow_exception(slot->failure);
    return std::move(slot->frame);
}

void CompressionPool::work(ContentCompressor& compressor) {
    std::unique_lock lock(mutex_);
    for (;;) {
        // The jobs not yet started follow those that are: the oldest first.
        jobsAdded_.wait(lock, [this] { return stopping_ || started_ < slots_.size(); });
        if (stopping_) return;
        Slot& slot = *slots_[started_++];
        lock.unlock();
        try {
            const FrameJob& job = slot.job;
            slot.frame.fits = compressor.compressFrame(job.source->get(), job.sourceName, job.offset, job.length,
                                                       job.limit, slot.frame.bytes);
            if (!slot.frame.fits) slot.frame.bytes = {};
            if (counters_) counters_->bytesDone += job.length;
        } catch (...) {
            slot.failure = std::current_exception();
        }
        lock.lock();
        slot.done = true;
        jobDone_.notify_all();
    }
}

}  // namespace onefile::tool
