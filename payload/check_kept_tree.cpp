#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "format/entry_rules.h"
#include "format/payload_format.h"
#include "payload/entry_decoder.h"
#include "payload/entry_directories.h"
#include "payload/extract_payload.h"
#include "payload/kept_entry_reader.h"
#include "payload/kept_entry_state.h"
#include "payload/reuse_steps.h"
#include "runtime/worker_threads.h"

// The check that makes a kept tree worth running, on every start: one
// fstatat per entry, relative to the directory that holds it (levels held
// open as the extraction holds them), and a readlinkat per link. Contents
// are never read: a file that lost bytes to a full disk or a temp cleaner
// shows in its size, a file replaced by the user's own hand does not, as
// with any installed program.

namespace onefile {

namespace {

// The check of a large tree is shared between threads: each takes the next
// batch of entries from the block (one at a time, under the lock), then
// checks them with directory levels of its own. Helpers join only once the
// main thread has checked this many entries and the block goes on: a tree of
// a few dozen entries is checked before a thread would have started.
constexpr std::uint32_t kEntriesBeforeHelpers = 256;
constexpr int kMostHelpers = 3;
constexpr int kSlots = kMostHelpers + 1;
constexpr std::size_t kBatchEntries = 32;

// What one thread checks at a time: the entries, their texts packed one
// after the other (a batch of short names touches one page), and the levels
// it holds. In static storage: worker stacks are small.
struct Slot {
    TakenEntry entries[kBatchEntries];
    char texts[kBatchEntries * 2 * kNameBufferBytes];
};

Slot slots[kSlots];
EntryDirectories slotDirectories[kSlots];

struct Check {
    pthread_mutex_t lock;
    BlockReader* reader;
    int top;
    bool ended;          // the end mark was taken
    bool stopped;        // an entry differs or a look failed, or the block cannot be read (atomic)
    bool damaged;        // under the lock
    int error;           // the first look the system refused, under the lock; 0 when none
};

Check check = {PTHREAD_MUTEX_INITIALIZER, nullptr, -1, false, false, false, 0};

bool stopped() { return __atomic_load_n(&check.stopped, __ATOMIC_RELAXED); }

// Ends the check: the tree is damaged, or (`error` not 0) a look failed.
void stopCheck(int error) {
    pthread_mutex_lock(&check.lock);
    if (error != 0 && check.error == 0) check.error = error;
    if (error == 0) check.damaged = true;
    pthread_mutex_unlock(&check.lock);
    __atomic_store_n(&check.stopped, true, __ATOMIC_RELAXED);
}

// Takes the next batch for `slot`; how many entries it holds.
std::size_t takeBatch(Slot& slot) {
    pthread_mutex_lock(&check.lock);
    std::size_t count = 0;
    char* storage = slot.texts;
    while (count < kBatchEntries && !check.ended && !stopped()) {
        TakeResult result = takeEntry(*check.reader, slot.entries[count], storage);
        if (result == TakeResult::end) {
            check.ended = true;
            break;
        }
        if (result == TakeResult::unreadable) {
            // A block that cannot be read to its end mark never matches.
            check.damaged = true;
            __atomic_store_n(&check.stopped, true, __ATOMIC_RELAXED);
            break;
        }
        const TakenEntry& taken = slot.entries[count];
        storage += taken.nameLength + 1 + (taken.text != nullptr ? taken.textLength + 1 : 0);
        ++count;
    }
    pthread_mutex_unlock(&check.lock);
    return count;
}

// Checks batches in slot `index` until the block ends, an entry differs or
// a look fails, or `enough` entries are checked; how many it checked.
std::uint32_t checkBatches(int index, std::uint32_t enough) {
    Slot& slot = slots[index];
    std::uint32_t checked = 0;
    while (checked < enough && !stopped()) {
        std::size_t count = takeBatch(slot);
        if (count == 0) break;
        for (std::size_t i = 0; i < count && !stopped(); ++i) {
            int error = 0;
            EntryState state = examineKeptEntry(slotDirectories[index], check.top, slot.entries[i], &error);
            if (state == EntryState::damaged) stopCheck(0);
            if (state == EntryState::failed) stopCheck(error);
        }
        checked += static_cast<std::uint32_t>(count);
    }
    return checked;
}

void* runHelper(void* number) {
    (void)checkBatches(static_cast<int>(reinterpret_cast<std::intptr_t>(number)), UINT32_MAX);
    return nullptr;
}

bool blockGoesOn() {
    pthread_mutex_lock(&check.lock);
    bool goesOn = !check.ended && !stopped();
    pthread_mutex_unlock(&check.lock);
    return goesOn;
}

}  // namespace

TreeVerdict checkKeptTree(int top, const unsigned char* block, const unsigned char* end, int* error) {
    BlockReader reader(block, end);
    check.reader = &reader;
    check.top = top;
    check.ended = false;
    check.stopped = false;
    check.damaged = false;
    check.error = 0;
    for (EntryDirectories& directories : slotDirectories) directories = kFreshEntryDirectories;
    pthread_t helpers[kMostHelpers];
    int helperCount = 0;
    if (checkBatches(0, kEntriesBeforeHelpers) >= kEntriesBeforeHelpers && blockGoesOn()) {
        int processors = countUsableProcessors();
        if (processors > 1) {
            int wanted = processors - 1 < kMostHelpers ? processors - 1 : kMostHelpers;
            helperCount = startWorkerThreads(helpers, wanted, runHelper);
        }
        (void)checkBatches(0, UINT32_MAX);
    }
    for (int i = 0; i < helperCount; ++i) pthread_join(helpers[i], nullptr);
    for (EntryDirectories& directories : slotDirectories) forgetEntryDirectories(directories);
    check.reader = nullptr;
    // A look that failed says nothing of the tree, even when another entry
    // was found damaged meanwhile: the run cannot trust its own looks.
    if (check.error != 0) {
        *error = check.error;
        return TreeVerdict::failed;
    }
    return check.ended && !check.damaged ? TreeVerdict::whole : TreeVerdict::damaged;
}

}  // namespace onefile
