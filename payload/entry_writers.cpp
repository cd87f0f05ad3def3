#include "payload/entry_writers.h"

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <pthread.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include "payload/copy_stored_content.h"
#include "payload/entry_decoder.h"
#include "payload/extract_payload.h"
#include "runtime/launcher_state.h"
#include "runtime/worker_threads.h"

// The entries go to the writers in batches of a few files. Batches and
// entries live in fixed rings in static storage; the main thread reuses a
// ring's slots once the batches that held them are written, and writes a
// batch itself while the writers are busy. Each entry in a ring holds an
// open file, so the ring is kept well below the limit of open files.

namespace onefile {

namespace {

// Threads besides the main thread, at most: each has a decoding slot (the
// main thread uses the first).
constexpr int kMaxWriterThreads = kDecoderSlots - 1;
constexpr std::uint32_t kJobCapacity = 512;
constexpr std::uint32_t kBatchCapacity = 512;
constexpr std::uint32_t kBatchMostJobs = 16;
constexpr std::uint64_t kBatchMostBytes = 4u << 20;
// Below this a block is written faster than threads start.
constexpr std::uint64_t kParallelBlockBytes = 1u << 20;
// Pages of a large file already written are given back in steps of this
// size, as the single-threaded path does.
constexpr std::uintptr_t kReleaseStepBytes = 4u << 20;
// Longest wait of the main thread before it looks at the stop flag again.
constexpr long kWaitNanoseconds = 20000000;

struct Batch {
    std::uint32_t first;
    std::uint32_t count;
    bool done;
};

FileEntryJob jobs[kJobCapacity];
Batch batches[kBatchCapacity];
// Entries a ring may hold at once: its capacity, or less under a low limit
// of open files.
std::uint32_t jobsInFlight = kJobCapacity;

// Counters only grow; a slot is the counter modulo its ring's capacity.
std::uint32_t jobsQueued;
std::uint32_t jobsReclaimed;
std::uint32_t batchesPublished;
std::uint32_t batchesTaken;
std::uint32_t batchesCompleted;
std::uint32_t oldestOpenBatch;
// Where the entries of the next batch to be published start.
std::uint32_t publishedJobsEnd;

// The batch the main thread is filling.
std::uint32_t openFirst;
std::uint32_t openCount;
std::uint64_t openBytes;

pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t workQueued = PTHREAD_COND_INITIALIZER;
pthread_cond_t workDone = PTHREAD_COND_INITIALIZER;
bool ending;
int stopRequested;  // read without the lock: atomics
WriterFailure firstFailure = {WriterFailureKind::none, 0, nullptr, 0};
std::uint32_t firstFailureSequence;

// Decoded chunks handed over by a decoding thread, in the order of its
// round buffer: a thread with nothing else to do writes them, so that a
// large compressed entry is decoded on one processor and written on another.
// The decoder writes a chunk itself when it needs that part of its buffer
// back before anyone took it.
enum class ChunkState : std::uint8_t { queued, writing, written };

struct HandedChunk {
    ChunkState state;
    int descriptor;
    const unsigned char* data;
    std::size_t size;
    std::uint64_t offset;
    int error;
};

// More than a round buffer holds: chunks are at least half of
// kWriteChunkBytes, but for the last one before the buffer starts again.
constexpr std::uint32_t kHandedChunksPerSlot = 128;

// A decoding slot's chunks, oldest first; the counters only grow. Chunks
// before `taken` are taken by a writer or written.
struct HandedChunks {
    HandedChunk chunks[kHandedChunksPerSlot];
    std::uint32_t head;
    std::uint32_t tail;
    std::uint32_t taken;
};

HandedChunks handedChunks[kDecoderSlots];
std::uint32_t chunksQueued;  // written with the lock held, read without it too
pthread_cond_t chunkWritten = PTHREAD_COND_INITIALIZER;
// Threads decoding an entry whose chunks they hand over, and threads
// looking for such chunks without sleeping (with the lock held).
int decodersRunning;
int spinningThreads;
// Counts, with the lock held, every change a waiting thread may wait for, so
// that a thread that looked for work without the lock knows whether it may
// sleep.
std::uint32_t workEvents;

// How long a thread without work looks for a handed-over chunk before it
// sleeps, while a decoder runs: a few chunks' worth of decoding. A thread
// that sleeps is woken, on a virtual machine whose other processors are
// idle, on the processor of the decoder that wakes it, and the two then take
// turns there instead of running side by side.
constexpr long kChunkSpinNanoseconds = 1000000;

// The decoding thread's side of its chunks.
struct ChunkOwner {
    int slot;
    int descriptor;
    std::uint64_t offset;  // of the frame's content in the file
    bool dropping;  // the decoding failed or stopped: queued chunks go unwritten
};

pthread_t threads[kMaxWriterThreads];
int threadCount;
bool writersUsed;
// Writers that take files: those numbered up to this one. All of them until
// the workspaces are reserved, then those that got one.
int fileTakers;
bool writerWorkspacesReserved;

std::uintptr_t pageMask;

bool stopping() {
    return __atomic_load_n(&stopRequested, __ATOMIC_RELAXED) != 0 ||
           __atomic_load_n(&gStopSignal, __ATOMIC_RELAXED) != 0;
}

// With the lock held.
void countEvent() { __atomic_store_n(&workEvents, workEvents + 1, __ATOMIC_RELAXED); }

void recordFailure(WriterFailureKind kind, int error, const FileEntryJob& job, std::uint64_t fileEnd = 0) {
    pthread_mutex_lock(&lock);
    if (firstFailure.kind == WriterFailureKind::none || job.sequence < firstFailureSequence) {
        firstFailure = {kind, error, job.name, fileEnd};
        firstFailureSequence = job.sequence;
    }
    __atomic_store_n(&stopRequested, 1, __ATOMIC_RELAXED);
    countEvent();
    pthread_cond_broadcast(&workQueued);
    pthread_cond_broadcast(&workDone);
    pthread_mutex_unlock(&lock);
}

void releasePages(const unsigned char* from, const unsigned char* to) {
    std::uintptr_t start = (reinterpret_cast<std::uintptr_t>(from) + pageMask) & ~pageMask;
    std::uintptr_t end = reinterpret_cast<std::uintptr_t>(to) & ~pageMask;
    if (end > start) (void)madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
}

struct ReleaseProgress {
    const unsigned char* releasedUpTo;
};

void releaseConsumed(void* context, const unsigned char* consumed) {
    auto* progress = static_cast<ReleaseProgress*>(context);
    if (!gPayloadPagesReleasable || static_cast<std::uintptr_t>(consumed - progress->releasedUpTo) < kReleaseStepBytes) {
        return;
    }
    releasePages(progress->releasedUpTo, consumed);
    progress->releasedUpTo = consumed;
}

void pauseBriefly() {
#if defined(__x86_64__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield");
#endif
}

long nanosecondsSince(const struct timespec& start) {
    struct timespec now;
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000000000L + (now.tv_nsec - start.tv_nsec);
}

// With the lock held, which it gives up meanwhile: while a decoder runs,
// looks for a change a waiting thread waits for (a chunk handed over, a
// batch, a stop) for a little while. True when one came, or may have come:
// the caller looks again instead of sleeping. False when the caller may
// sleep on its condition now.
bool spinForWork() {
    // One looking thread for each decoder is enough to take its chunks.
    if (spinningThreads >= __atomic_load_n(&decodersRunning, __ATOMIC_RELAXED)) return false;
    ++spinningThreads;
    const std::uint32_t seen = workEvents;
    pthread_mutex_unlock(&lock);
    struct timespec start;
    (void)clock_gettime(CLOCK_MONOTONIC, &start);
    for (unsigned round = 1;; ++round) {
        if (__atomic_load_n(&workEvents, __ATOMIC_RELAXED) != seen || stopping() ||
            __atomic_load_n(&decodersRunning, __ATOMIC_RELAXED) == 0) {
            break;
        }
        if (round % 64 == 0 && nanosecondsSince(start) > kChunkSpinNanoseconds) break;
        pauseBriefly();
    }
    pthread_mutex_lock(&lock);
    --spinningThreads;
    return workEvents != seen || stopping();
}

int writeAt(const HandedChunk& chunk) {
    const unsigned char* data = chunk.data;
    std::size_t size = chunk.size;
    std::uint64_t offset = chunk.offset;
    while (size > 0) {
        ssize_t written = pwrite(chunk.descriptor, data, size, static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return written < 0 ? errno : EIO;
        data += written;
        size -= static_cast<std::size_t>(written);
        offset += static_cast<std::uint64_t>(written);
    }
    return 0;
}

// With the lock held: writes a queued chunk without the lock. After a stop
// it is dropped instead.
void writeHandedChunk(HandedChunk& chunk) {
    chunk.state = ChunkState::writing;
    __atomic_store_n(&chunksQueued, chunksQueued - 1, __ATOMIC_RELAXED);
    pthread_mutex_unlock(&lock);
    int error = stopping() ? 0 : writeAt(chunk);
    pthread_mutex_lock(&lock);
    chunk.error = error;
    chunk.state = ChunkState::written;
    pthread_cond_broadcast(&chunkWritten);
}

// With the lock held, on the decoding thread: the oldest chunk, written by
// now, leaves the slot's queue. Returns its write's errno value, or 0.
int retireOldestChunk(HandedChunks& queue, bool dropping) {
    HandedChunk& chunk = queue.chunks[queue.head % kHandedChunksPerSlot];
    if (chunk.state == ChunkState::queued && dropping) {
        chunk.state = ChunkState::written;
        __atomic_store_n(&chunksQueued, chunksQueued - 1, __ATOMIC_RELAXED);
    }
    if (chunk.state == ChunkState::queued) writeHandedChunk(chunk);
    while (chunk.state == ChunkState::writing) pthread_cond_wait(&chunkWritten, &lock);
    ++queue.head;
    if (queue.taken < queue.head) queue.taken = queue.head;
    return chunk.error;
}

int handOverChunk(void* context, const unsigned char* data, std::size_t size, std::uint64_t offset) {
    const auto* owner = static_cast<const ChunkOwner*>(context);
    HandedChunks& queue = handedChunks[owner->slot];
    pthread_mutex_lock(&lock);
    int error = queue.tail - queue.head == kHandedChunksPerSlot ? retireOldestChunk(queue, owner->dropping) : 0;
    queue.chunks[queue.tail % kHandedChunksPerSlot] = {ChunkState::queued, owner->descriptor, data, size,
                                                       owner->offset + offset, 0};
    ++queue.tail;
    __atomic_store_n(&chunksQueued, chunksQueued + 1, __ATOMIC_RELAXED);
    countEvent();
    // A writer waiting for work, or the main thread waiting for the writers.
    pthread_cond_signal(&workQueued);
    pthread_cond_broadcast(&workDone);
    pthread_mutex_unlock(&lock);
    return error;
}

int reclaimChunks(void* context, const unsigned char* from, const unsigned char* to) {
    const auto* owner = static_cast<const ChunkOwner*>(context);
    HandedChunks& queue = handedChunks[owner->slot];
    int firstError = 0;
    pthread_mutex_lock(&lock);
    // The chunks lie in the buffer in the order they were handed over,
    // behind the part to be reclaimed: the oldest ones overlap it first.
    while (queue.head != queue.tail) {
        const HandedChunk& oldest = queue.chunks[queue.head % kHandedChunksPerSlot];
        if (oldest.data >= to || oldest.data + oldest.size <= from) break;
        int error = retireOldestChunk(queue, owner->dropping);
        if (firstError == 0) firstError = error;
    }
    pthread_mutex_unlock(&lock);
    return firstError;
}

void dropQueuedChunks(void* context) { static_cast<ChunkOwner*>(context)->dropping = true; }

// With the lock held: writes one chunk a decoding thread handed over;
// false when none is queued.
bool writeSomeHandedChunk() {
    if (chunksQueued == 0) return false;
    for (HandedChunks& queue : handedChunks) {
        for (; queue.taken != queue.tail; ++queue.taken) {
            HandedChunk& chunk = queue.chunks[queue.taken % kHandedChunksPerSlot];
            if (chunk.state == ChunkState::queued) {
                ++queue.taken;
                writeHandedChunk(chunk);
                return true;
            }
        }
    }
    return false;
}

// True when the whole content is written.
bool decodeJob(int descriptor, const FileEntryJob& job, int slot) {
    ReleaseProgress progress = {job.content};
    ChunkOwner owner = {slot, descriptor, job.offset, false};
    const DecodedChunkSink sink = {handOverChunk, reclaimChunks, dropQueuedChunks, &owner};
    __atomic_add_fetch(&decodersRunning, 1, __ATOMIC_RELAXED);
    DecodeOutcome outcome = decodeEntryChunks(sink, job.content, job.size, slot, stopping, releaseConsumed, &progress);
    __atomic_sub_fetch(&decodersRunning, 1, __ATOMIC_RELAXED);
    if (outcome.result == DecodeResult::damaged) recordFailure(WriterFailureKind::damaged, 0, job);
    if (outcome.result == DecodeResult::writeFailed) recordFailure(WriterFailureKind::write, outcome.error, job);
    if (outcome.result == DecodeResult::noWorkspace) recordFailure(WriterFailureKind::noWorkspace, outcome.error, job);
    return outcome.result == DecodeResult::done;
}

void writeJob(const FileEntryJob& job, int slot) {
    int descriptor = job.descriptor;
    if (job.compressed) {
        const bool written = decodeJob(descriptor, job, slot);
        if (close(descriptor) != 0 && written) recordFailure(WriterFailureKind::write, errno, job);
        return;
    }
    ReleaseProgress progress = {job.content};
    const StoredContent content = {job.content, job.source, job.sourceOffset, job.size};
    const CopyOutcome outcome = copyStoredContent(descriptor, content, stopping, releaseConsumed, &progress);
    if (outcome.result == CopyResult::failed) recordFailure(WriterFailureKind::write, outcome.error, job);
    if (outcome.result == CopyResult::cutShort) recordFailure(WriterFailureKind::cutShort, 0, job, outcome.fileEnd);
    if (close(descriptor) != 0 && outcome.result == CopyResult::done) {
        recordFailure(WriterFailureKind::write, errno, job);
    }
}

void writeBatch(const Batch& batch, int slot) {
    for (std::uint32_t i = 0; i < batch.count; ++i) {
        const FileEntryJob& job = jobs[(batch.first + i) % kJobCapacity];
        // After a stop the files of the batch are only closed.
        if (stopping()) {
            (void)close(job.descriptor);
        } else {
            writeJob(job, slot);
        }
    }
}

// With the lock held: marks the batch done and frees the slots of the
// batches done in a row from the oldest.
void completeBatch(std::uint32_t index) {
    batches[index % kBatchCapacity].done = true;
    ++batchesCompleted;
    while (oldestOpenBatch != batchesPublished && batches[oldestOpenBatch % kBatchCapacity].done) {
        const Batch& oldest = batches[oldestOpenBatch % kBatchCapacity];
        jobsReclaimed = oldest.first + oldest.count;
        ++oldestOpenBatch;
    }
    if (oldestOpenBatch == batchesPublished) jobsReclaimed = publishedJobsEnd;
    countEvent();
    pthread_cond_broadcast(&workDone);
}

// With the lock held: takes the next batch and writes it without the lock,
// decoding with workspace `slot`.
void takeAndWrite(int slot) {
    std::uint32_t index = batchesTaken++;
    Batch batch = batches[index % kBatchCapacity];
    pthread_mutex_unlock(&lock);
    writeBatch(batch, slot);
    pthread_mutex_lock(&lock);
    completeBatch(index);
}

// With the lock held: whether writer `slot` may take the next batch.
bool batchFor(int slot) { return batchesTaken != batchesPublished && slot <= fileTakers; }

void* runWriter(void* slotNumber) {
    int slot = static_cast<int>(reinterpret_cast<std::intptr_t>(slotNumber));
    pthread_mutex_lock(&lock);
    for (;;) {
        while (!batchFor(slot) && chunksQueued == 0 && !ending && !stopping()) {
            if (!spinForWork()) pthread_cond_wait(&workQueued, &lock);
        }
        if (ending || stopping()) break;
        // A file of its own first: more of the block goes on at once.
        if (batchFor(slot)) {
            // Handed-over chunks then wait for another thread.
            if (chunksQueued != 0) pthread_cond_signal(&workQueued);
            takeAndWrite(slot);
        } else {
            (void)writeSomeHandedChunk();
        }
    }
    pthread_mutex_unlock(&lock);
    return nullptr;
}

// With the lock held, on the main thread: writes a batch, or a chunk a
// writer decoded, while the writers are busy, or waits a little for them.
void helpOrWait() {
    if (batchesTaken != batchesPublished && !stopping()) {
        takeAndWrite(kMainDecoderSlot);
        return;
    }
    if (!stopping() && writeSomeHandedChunk()) return;
    if (spinForWork()) return;
    struct timespec until;
    (void)clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += kWaitNanoseconds;
    if (until.tv_nsec >= 1000000000) {
        until.tv_nsec -= 1000000000;
        ++until.tv_sec;
    }
    (void)pthread_cond_timedwait(&workDone, &lock, &until);
}

void publishOpenBatch() {
    if (openCount == 0) return;
    pthread_mutex_lock(&lock);
    while (batchesPublished - oldestOpenBatch >= kBatchCapacity && !stopping()) helpOrWait();
    batches[batchesPublished % kBatchCapacity] = {openFirst, openCount, false};
    ++batchesPublished;
    publishedJobsEnd = openFirst + openCount;
    openCount = 0;
    countEvent();
    // The one woken might be a writer that takes no files.
    if (fileTakers < threadCount) {
        pthread_cond_broadcast(&workQueued);
    } else {
        pthread_cond_signal(&workQueued);
    }
    // More waiting than the writers can take: the main thread writes one.
    if (batchesPublished - batchesTaken > static_cast<std::uint32_t>(fileTakers) && !stopping()) {
        takeAndWrite(kMainDecoderSlot);
    }
    pthread_mutex_unlock(&lock);
}

}  // namespace

bool startEntryWriters(std::uint64_t blockBytes) {
    // A small block is written at once on this thread: no threads, and not
    // even the question how many processors there are.
    if (blockBytes < kParallelBlockBytes) return false;
    int processors = countUsableProcessors();
    if (processors < 2) return false;
    pageMask = getauxval(AT_PAGESZ) - 1;
    // Every entry in the ring holds an open file: a quarter of the limit at
    // most, so that the main thread can still open directories and files.
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur / 4 < kJobCapacity) {
        jobsInFlight = static_cast<std::uint32_t>(files.rlim_cur / 4);
        if (jobsInFlight < 2 * kBatchMostJobs) return false;
    }
    int wanted = processors - 1 < kMaxWriterThreads ? processors - 1 : kMaxWriterThreads;
    // Each writer's number is its decoder slot; the main thread has slot 0.
    threadCount = startWorkerThreads(threads, wanted, runWriter);
    if (threadCount == 0) return false;
    fileTakers = threadCount;
    gStopWriters = stopEntryWriters;
    writersUsed = true;
    return true;
}

void reserveWriterWorkspaces() {
    if (writerWorkspacesReserved) return;
    writerWorkspacesReserved = true;
    // In the order of the writers' numbers, so that those that decode are
    // the first ones.
    int reserved = 0;
    while (reserved < threadCount && reserveDecoderWorkspace(reserved + 1)) ++reserved;
    pthread_mutex_lock(&lock);
    fileTakers = reserved;
    pthread_mutex_unlock(&lock);
}

bool queueFileEntry(const FileEntryJob& job) {
    if (stopping()) {
        (void)close(job.descriptor);
        return false;
    }
    // The frames of one entry go to as many writers as there are.
    if (openCount >= kBatchMostJobs || openBytes >= kBatchMostBytes || job.frameOfMany) publishOpenBatch();
    if (openCount == 0) {
        openFirst = jobsQueued;
        openBytes = 0;
    }
    pthread_mutex_lock(&lock);
    while (jobsQueued - jobsReclaimed >= jobsInFlight && !stopping()) helpOrWait();
    pthread_mutex_unlock(&lock);
    if (stopping()) {
        (void)close(job.descriptor);
        return false;
    }
    jobs[jobsQueued % kJobCapacity] = job;
    ++jobsQueued;
    ++openCount;
    openBytes += job.size;
    if (job.frameOfMany) publishOpenBatch();
    return true;
}

WriterFailure waitForEntryWriters() {
    publishOpenBatch();
    pthread_mutex_lock(&lock);
    while (batchesCompleted != batchesPublished && !stopping()) helpOrWait();
    WriterFailure failure = firstFailure;
    pthread_mutex_unlock(&lock);
    if (failure.kind == WriterFailureKind::none && stopping()) stopEntryWriters();
    return failure;
}

void stopEntryWriters() {
    if (threadCount == 0) return;
    // The files of batches not yet taken stay empty; the removal that
    // follows takes them.
    pthread_mutex_lock(&lock);
    __atomic_store_n(&stopRequested, 1, __ATOMIC_RELAXED);
    countEvent();
    pthread_cond_broadcast(&workQueued);
    while (batchesCompleted != batchesTaken) pthread_cond_wait(&workDone, &lock);
    pthread_mutex_unlock(&lock);
}

bool extractedInParallel() { return writersUsed; }

void endEntryWriters() {
    if (threadCount == 0) return;
    pthread_mutex_lock(&lock);
    ending = true;
    countEvent();
    pthread_cond_broadcast(&workQueued);
    pthread_mutex_unlock(&lock);
    for (int i = 0; i < threadCount; ++i) pthread_join(threads[i], nullptr);
    threadCount = 0;
    gStopWriters = nullptr;
}

}  // namespace onefile
