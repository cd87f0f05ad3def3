// Compresses ranges of files into zstd frames on a pool of threads, one per
// processor this process may use, and hands the frames back in the order
// they were asked for: what a block holds does not depend on how many
// threads made it, nor on which finished first.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tool/file_descriptor.h"
#include "tool/progress_counters.h"

namespace onefile::tool {

class ContentCompressor;

// How many threads compress: one per processor this process may run on (its
// affinity), but no more than a quarter of the machine's memory holds at
// kCompressorMemoryBytes each (a level-19 context with an 8 MiB window takes
// about 100 MB), and at least 1.
unsigned countCompressionThreads();

// One range of a file to compress into one frame.
struct FrameJob {
    std::shared_ptr<const FileDescriptor> source;  // read with pread, shared by the frames of a file
    std::string sourceName;                        // names the file in error messages
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    // A frame that would reach this many bytes is abandoned: the file is
    // then stored as it is.
    std::uint64_t limit = 0;
};

struct CompressedFrame {
    bool fits = false;                // false: the frame reached the limit
    std::vector<unsigned char> bytes;  // the frame, when it fits
};

class CompressionPool {
public:
    // `threads` threads compressing at zstd level `level`; `counters`, when
    // given, count the content bytes as each frame reads them in and again
    // as each frame is done.
    CompressionPool(int level, unsigned threads, ProgressCounters* counters);
    CompressionPool(const CompressionPool&) = delete;
    CompressionPool& operator=(const CompressionPool&) = delete;
    // Abandons the jobs not yet taken and waits for the threads.
    ~CompressionPool();

    // Jobs asked for and not yet taken, and the content bytes they cover;
    // the caller bounds these, which bounds the memory the frames hold.
    std::size_t pending() const;
    std::uint64_t pendingBytes() const;
    unsigned threads() const { return static_cast<unsigned>(threads_.size()); }

    void submit(FrameJob job);
    // The frame of the oldest job not yet taken, once it is done; rethrows
    // what went wrong in its making.
    CompressedFrame takeNext();

private:
    struct Slot {
        FrameJob job;
        bool started = false;
        bool done = false;
        CompressedFrame frame;
        std::exception_ptr failure;
    };

    void work(ContentCompressor& compressor);
    void stop();

    ProgressCounters* counters_;
    mutable std::mutex mutex_;
    std::condition_variable jobsAdded_;  // or stopping
    std::condition_variable jobDone_;
    std::deque<std::unique_ptr<Slot>> slots_;  // with the mutex, oldest first
    std::size_t started_ = 0;                  // with the mutex: the first slots, taken by a thread
    std::uint64_t pendingBytes_ = 0;           // with the mutex
    bool stopping_ = false;                    // with the mutex
    std::vector<std::thread> threads_;
};

}  // namespace onefile::tool
