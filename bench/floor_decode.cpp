// The floor of a compressed launch: the least work that decodes the frames
// of a launcher's compressed entries and writes them, with one thread per
// usable processor. The main thread walks the frames of each entry by their
// headers (ZSTD_findFrameCompressedSize) and queues them; each thread
// decodes a frame block by block into a buffer of its own that holds the
// whole frame, with no copy, and writes it as floor_launch writes a file, in
// writes of 256 KiB as they are decoded, with pwrite at the frame's offset. Each frame's job holds a
// descriptor of its own for the file (dup), closed when the frame is written.
#include "bench/floor_decode.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#define ZSTD_STATIC_LINKING_ONLY  // the buffer-less decoder
#include <zstd.h>

namespace {

constexpr std::size_t kWriteChunkBytes = 256 * 1024;
constexpr int kMostThreads = 64;
constexpr unsigned kQueueCapacity = 1024;
constexpr int kFailureStatus = 2;

struct FrameJob {
    int descriptor;
    const unsigned char* frame;
    std::size_t frameBytes;
    std::uint64_t offset;
};

FrameJob queue[kQueueCapacity];
unsigned queued;
unsigned taken;
unsigned finished;
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
pthread_t threads[kMostThreads];
int threadCount;

[[noreturn]] void failDecoding(const char* what) {
    fprintf(stderr, "floor_decode: %s: %s\n", what, strerror(errno));
    exit(kFailureStatus);
}

void writeAt(int descriptor, const unsigned char* data, std::size_t size, std::uint64_t offset) {
    while (size > 0) {
        std::size_t request = size < kWriteChunkBytes ? size : kWriteChunkBytes;
        ssize_t written = pwrite(descriptor, data, request, static_cast<off_t>(offset));
        if (written < 0) {
            if (errno == EINTR) continue;
            failDecoding("pwrite");
        }
        data += written;
        size -= static_cast<std::size_t>(written);
        offset += static_cast<std::uint64_t>(written);
    }
}

// Decodes the frame block by block (zstd's buffer-less API) straight into
// the buffer, which holds the whole frame, and writes each 256 KiB as soon as
// it is there, while it is still in the cache.
void decodeAndWrite(ZSTD_DCtx* context, const FrameJob& job, unsigned char* buffer, std::size_t contentBytes) {
    if (ZSTD_isError(ZSTD_decompressBegin(context))) failDecoding("ZSTD_decompressBegin");
    const unsigned char* input = job.frame;
    const unsigned char* const inputEnd = job.frame + job.frameBytes;
    std::size_t produced = 0;
    std::size_t written = 0;
    for (std::size_t need = ZSTD_nextSrcSizeToDecompress(context); need != 0;
         need = ZSTD_nextSrcSizeToDecompress(context)) {
        if (need > static_cast<std::size_t>(inputEnd - input)) {
            errno = EINVAL;
            failDecoding("frame cut short");
        }
        std::size_t bytes = ZSTD_decompressContinue(context, buffer + produced, contentBytes - produced, input, need);
        if (ZSTD_isError(bytes)) {
            errno = EINVAL;
            failDecoding("frame");
        }
        input += need;
        produced += bytes;
        if (produced - written >= kWriteChunkBytes) {
            std::size_t chunk = (produced - written) / kWriteChunkBytes * kWriteChunkBytes;
            writeAt(job.descriptor, buffer + written, chunk, job.offset + written);
            written += chunk;
        }
    }
    if (produced != contentBytes) {
        errno = EINVAL;
        failDecoding("frame size");
    }
    writeAt(job.descriptor, buffer + written, produced - written, job.offset + written);
}

void* decodeFrames(void*) {
    ZSTD_DCtx* context = ZSTD_createDCtx();
    unsigned char* buffer = nullptr;
    std::size_t bufferBytes = 0;
    if (context == nullptr) failDecoding("ZSTD_createDCtx");
    pthread_mutex_lock(&lock);
    for (;;) {
        while (taken == queued) pthread_cond_wait(&changed, &lock);
        FrameJob job = queue[taken++ % kQueueCapacity];
        pthread_mutex_unlock(&lock);
        if (job.frame == nullptr) break;  // the end
        unsigned long long contentBytes = ZSTD_getFrameContentSize(job.frame, job.frameBytes);
        if (contentBytes == ZSTD_CONTENTSIZE_ERROR || contentBytes == ZSTD_CONTENTSIZE_UNKNOWN) {
            errno = EINVAL;
            failDecoding("frame header");
        }
        if (contentBytes > bufferBytes) {
            free(buffer);
            bufferBytes = contentBytes;
            buffer = static_cast<unsigned char*>(malloc(bufferBytes));
            if (buffer == nullptr) failDecoding("malloc");
        }
        decodeAndWrite(context, job, buffer, contentBytes);
        if (close(job.descriptor) != 0) failDecoding("close");
        pthread_mutex_lock(&lock);
        ++finished;
        pthread_cond_broadcast(&changed);
    }
    ZSTD_freeDCtx(context);
    free(buffer);
    return nullptr;
}

void queueJob(const FrameJob& job) {
    pthread_mutex_lock(&lock);
    while (queued - finished >= kQueueCapacity) pthread_cond_wait(&changed, &lock);
    queue[queued++ % kQueueCapacity] = job;
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&lock);
}

void startThreads() {
    cpu_set_t processors;
    int count = sched_getaffinity(0, sizeof processors, &processors) == 0 ? CPU_COUNT(&processors) : 1;
    if (count > kMostThreads) count = kMostThreads;
    for (; threadCount < count; ++threadCount) {
        if (pthread_create(&threads[threadCount], nullptr, decodeFrames, nullptr) != 0) failDecoding("pthread_create");
    }
}

}  // namespace

void decodeFile(int directory, const char* leaf, const unsigned char* content, std::uint64_t size, bool executable) {
    if (threadCount == 0) startThreads();
    int descriptor = openat(directory, leaf, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, executable ? 0755 : 0644);
    if (descriptor < 0) failDecoding(leaf);
    std::uint64_t offset = 0;
    for (std::uint64_t used = 0; used < size;) {
        std::size_t frameBytes = ZSTD_findFrameCompressedSize(content + used, size - used);
        unsigned long long contentBytes = ZSTD_getFrameContentSize(content + used, size - used);
        if (ZSTD_isError(frameBytes) || contentBytes == ZSTD_CONTENTSIZE_ERROR ||
            contentBytes == ZSTD_CONTENTSIZE_UNKNOWN) {
            errno = EINVAL;
            failDecoding(leaf);
        }
        int frameDescriptor = used + frameBytes == size ? descriptor : fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
        if (frameDescriptor < 0) failDecoding("dup");
        queueJob({frameDescriptor, content + used, frameBytes, offset});
        used += frameBytes;
        offset += contentBytes;
    }
}

void waitForDecoders() {
    for (int i = 0; i < threadCount; ++i) queueJob({-1, nullptr, 0, 0});
    for (int i = 0; i < threadCount; ++i) pthread_join(threads[i], nullptr);
    threadCount = 0;
}
