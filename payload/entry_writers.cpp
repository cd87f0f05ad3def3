#include "payload/entry_writers.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <pthread.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include "launcher/launcher_state.h"
#include "launcher/shared_operations.h"
#include "payload/entry_decoder.h"
#include "payload/extract_payload.h"

// The entries go to the writers in batches of a few files. Batches and
// entries live in fixed rings in static storage; the main thread reuses a
// ring's slots once the batches that held them are written, and writes a
// batch itself while the writers are busy. Each entry in a ring holds an
// open file, so the ring is kept well below the limit of open files.

namespace onefile {

namespace {

// Threads besides the main thread, at most: each has a decoding workspace
// (the main thread uses the first).
constexpr int kMaxWriterThreads = kDecoderSlots - 1;
constexpr std::uint32_t kJobCapacity = 512;
constexpr std::uint32_t kBatchCapacity = 512;
constexpr std::uint32_t kBatchMostJobs = 16;
constexpr std::uint64_t kBatchMostBytes = 4u << 20;
// Below this a block is written faster than threads start.
constexpr std::uint64_t kParallelBlockBytes = 1u << 20;
constexpr std::size_t kWriterStackBytes = 64u << 10;
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
WriterFailure firstFailure = {WriterFailureKind::none, 0, nullptr};
std::uint32_t firstFailureSequence;

pthread_t threads[kMaxWriterThreads];
int threadCount;
bool writersUsed;

std::uintptr_t pageMask;

bool stopping() {
    return __atomic_load_n(&stopRequested, __ATOMIC_RELAXED) != 0 ||
           __atomic_load_n(&gStopSignal, __ATOMIC_RELAXED) != 0;
}

void recordFailure(WriterFailureKind kind, int error, const FileEntryJob& job) {
    pthread_mutex_lock(&lock);
    if (firstFailure.kind == WriterFailureKind::none || job.sequence < firstFailureSequence) {
        firstFailure = {kind, error, job.name};
        firstFailureSequence = job.sequence;
    }
    __atomic_store_n(&stopRequested, 1, __ATOMIC_RELAXED);
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

void releaseDecoded(void* context, const unsigned char* consumed) {
    auto* progress = static_cast<ReleaseProgress*>(context);
    if (!gPayloadPagesReleasable || static_cast<std::uintptr_t>(consumed - progress->releasedUpTo) < kReleaseStepBytes) {
        return;
    }
    releasePages(progress->releasedUpTo, consumed);
    progress->releasedUpTo = consumed;
}

void decodeJob(int descriptor, const FileEntryJob& job, int slot) {
    ReleaseProgress progress = {job.content};
    DecodeOutcome outcome = decodeEntryContent(descriptor, job.content, job.size, slot, stopping, releaseDecoded,
                                               &progress);
    if (outcome.result == DecodeResult::damaged) recordFailure(WriterFailureKind::damaged, 0, job);
    if (outcome.result == DecodeResult::writeFailed) recordFailure(WriterFailureKind::write, outcome.error, job);
}

void writeJob(const FileEntryJob& job, int slot) {
    int descriptor = job.descriptor;
    if (job.compressed) {
        decodeJob(descriptor, job, slot);
        (void)close(descriptor);
        return;
    }
    const unsigned char* cursor = job.content;
    const unsigned char* releasedUpTo = job.content;
    std::uint64_t remaining = job.size;
    while (remaining > 0) {
        if (stopping()) break;
        std::size_t chunk = remaining < kWriteChunkBytes ? static_cast<std::size_t>(remaining) : kWriteChunkBytes;
        ssize_t written = write(descriptor, cursor, chunk);
        if (written <= 0) {
            if (written < 0 && errno == EINTR) continue;
            recordFailure(WriterFailureKind::write, written < 0 ? errno : EIO, job);
            break;
        }
        cursor += written;
        remaining -= static_cast<std::uint64_t>(written);
        if (gPayloadPagesReleasable && static_cast<std::uintptr_t>(cursor - releasedUpTo) >= kReleaseStepBytes) {
            releasePages(releasedUpTo, cursor);
            releasedUpTo = cursor;
        }
    }
    if (close(descriptor) != 0 && remaining == 0) recordFailure(WriterFailureKind::write, errno, job);
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

void* runWriter(void* slotNumber) {
    int slot = static_cast<int>(reinterpret_cast<std::intptr_t>(slotNumber));
    pthread_mutex_lock(&lock);
    for (;;) {
        while (batchesTaken == batchesPublished && !ending && !stopping()) pthread_cond_wait(&workQueued, &lock);
        if (ending || stopping()) break;
        takeAndWrite(slot);
    }
    pthread_mutex_unlock(&lock);
    return nullptr;
}

// With the lock held, on the main thread: writes a batch while the writers
// are busy, or waits a little for them.
void helpOrWait() {
    if (batchesTaken != batchesPublished && !stopping()) {
        takeAndWrite(kMainDecoderSlot);
        return;
    }
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
    pthread_cond_signal(&workQueued);
    // More waiting than the writers can take: the main thread writes one.
    if (batchesPublished - batchesTaken > static_cast<std::uint32_t>(threadCount) && !stopping()) takeAndWrite(kMainDecoderSlot);
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
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kWriterStackBytes);
    // Writers start with every signal blocked, so each one reaches the main
    // thread.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    for (int i = 0; i < wanted; ++i) {
        void* slot = reinterpret_cast<void*>(static_cast<std::intptr_t>(threadCount + 1));
        if (pthread_create(&threads[threadCount], &attributes, runWriter, slot) != 0) break;
        ++threadCount;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attributes);
    if (threadCount == 0) return false;
    gStopWriters = stopEntryWriters;
    writersUsed = true;
    return true;
}

bool queueFileEntry(const FileEntryJob& job) {
    if (stopping()) {
        (void)close(job.descriptor);
        return false;
    }
    if (openCount >= kBatchMostJobs || openBytes >= kBatchMostBytes) publishOpenBatch();
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
    pthread_cond_broadcast(&workQueued);
    while (batchesCompleted != batchesTaken) pthread_cond_wait(&workDone, &lock);
    pthread_mutex_unlock(&lock);
}

bool extractedInParallel() { return writersUsed; }

void endEntryWriters() {
    if (threadCount == 0) return;
    pthread_mutex_lock(&lock);
    ending = true;
    pthread_cond_broadcast(&workQueued);
    pthread_mutex_unlock(&lock);
    for (int i = 0; i < threadCount; ++i) pthread_join(threads[i], nullptr);
    threadCount = 0;
    gStopWriters = nullptr;
}

}  // namespace onefile
