#include <cerrno>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "runtime/directory_entries.h"
#include "runtime/directory_removal.h"
#include "runtime/launcher_state.h"
#include "runtime/mount_placement.h"
#include "runtime/worker_threads.h"

// The first pass of the removal at the normal end of a run with many files:
// threads take the tree's directories from a queue, remove the files in
// each, and queue its subdirectories. They never enter another mount, by the
// walk's own test (mount_placement.h). What they pass over (directories,
// other mounts, entries of unknown type, anything that fails) is left to the
// walk that follows, with all its rules. Never called from a signal handler.

namespace onefile {

namespace {

constexpr int kMostThreads = 8;
constexpr std::uint32_t kQueueCapacity = 1024;
constexpr std::size_t kDirectoryEntryBufferBytes = 8192;
constexpr int kDirectoryOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

int queue[kQueueCapacity];
std::uint32_t queueHead;
std::uint32_t queueTail;
// Directories queued or being emptied; the pass ends when none is left.
std::uint32_t outstanding;
// The mount of the extraction directory.
Placement home;
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t changed = PTHREAD_COND_INITIALIZER;

// Queues the subdirectory, unless the queue is full: the walk gets it then.
void queueSubdirectory(int parent, const char* name) {
    // The look before the open passes a mount point over without opening
    // it, which would trigger an automount.
    Placement placement;
    if (!examine(parent, name, 0, &placement) || !placement.isDirectory || !samePlace(placement, home)) return;
    pthread_mutex_lock(&lock);
    bool room = queueTail - queueHead < kQueueCapacity;
    pthread_mutex_unlock(&lock);
    if (!room) return;
    int directory = openInPlace(parent, name, kDirectoryOpenFlags, home);
    if (directory < 0) return;
    pthread_mutex_lock(&lock);
    queue[queueTail++ % kQueueCapacity] = directory;
    ++outstanding;
    pthread_cond_signal(&changed);
    pthread_mutex_unlock(&lock);
}

void removeFilesOf(int directory) {
    alignas(DirectoryEntry64) char entries[kDirectoryEntryBufferBytes];
    for (;;) {
        long length = syscall(SYS_getdents64, directory, entries, sizeof entries);
        if (length <= 0) break;
        for (long position = 0; position < length;) {
            auto* entry = reinterpret_cast<DirectoryEntry64*>(entries + position);
            position += entry->d_reclen;
            if (isDotOrDotDot(entry->d_name)) continue;
            if (entry->d_type == DT_DIR) {
                queueSubdirectory(directory, entry->d_name);
            } else if (entry->d_type != DT_UNKNOWN) {
                (void)unlinkat(directory, entry->d_name, 0);
            }
        }
    }
    (void)close(directory);
}

void* removeFiles(void*) {
    pthread_mutex_lock(&lock);
    for (;;) {
        while (queueHead == queueTail && outstanding != 0) pthread_cond_wait(&changed, &lock);
        if (outstanding == 0) break;
        int directory = queue[queueHead++ % kQueueCapacity];
        pthread_mutex_unlock(&lock);
        removeFilesOf(directory);
        pthread_mutex_lock(&lock);
        if (--outstanding == 0) pthread_cond_broadcast(&changed);
    }
    pthread_mutex_unlock(&lock);
    return nullptr;
}

}  // namespace

void removeFilesInParallel() {
    // After a walk (a termination signal's cleanup) only what stays is
    // left, and the walk that follows sees to anything new.
    if (!gRemovalFlag || gTreeWalked) return;
    int processors = countUsableProcessors();
    if (processors < 2) return;
    int top = openat(gExtractionDescriptor, ".", kDirectoryOpenFlags);
    if (top < 0) return;
    if (!examine(top, "", AT_EMPTY_PATH, &home)) {
        (void)close(top);
        return;
    }
    queue[queueTail++ % kQueueCapacity] = top;
    outstanding = 1;

    pthread_t threads[kMostThreads];
    int wanted = processors - 1 < kMostThreads ? processors - 1 : kMostThreads;
    int threadCount = startWorkerThreads(threads, wanted, removeFiles);
    (void)removeFiles(nullptr);
    for (int i = 0; i < threadCount; ++i) pthread_join(threads[i], nullptr);
}

}  // namespace onefile
