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

// A header within this reach after the header before it is read through
// the mapping: in a block of small files the fault of one header maps the
// pages around it (up to 64 KiB), which hold the next ones. A header
// farther away (behind a large file) is read through the launcher's file
// instead: a fault of its own for each, with the pages around it, would
// cost a second start more than all of the check's fstatat calls.
constexpr std::size_t kMappedReach = 16u << 10;
// An entry's header at most: name and NUL, flags, then the content's size
// and a frame header (at most 18 bytes), or a link text and NUL.
constexpr std::size_t kHeaderBytes = 2 * kNameBufferBytes + 1 + 32;

// Reads the block without copying where it can: every field is checked to
// lie before `end`.
class BlockReader {
public:
    // The block starts at `block` (its magic, which is checked already) and
    // ends before `end`.
    BlockReader(const unsigned char* block, const unsigned char* end)
        : block_(block), cursor_(block + kPayloadMagicBytes), end_(end),
          reach_(reinterpret_cast<std::uintptr_t>(cursor_)) {}
    ~BlockReader() {
        if (file_ >= 0) (void)close(file_);
    }
    BlockReader(const BlockReader&) = delete;
    BlockReader& operator=(const BlockReader&) = delete;

    // Makes the header at the cursor readable for text(), byte(), size()
    // and content(): kHeaderBytes of the block, fewer at its end.
    void loadHeader() {
        std::size_t left = static_cast<std::size_t>(end_ - cursor_);
        available_ = left < kHeaderBytes ? left : kHeaderBytes;
        header_ = cursor_;
        headerCursor_ = 0;
        std::uintptr_t at = reinterpret_cast<std::uintptr_t>(cursor_);
        if (at > reach_ && at - reach_ >= kMappedReach) (void)readFromFile();
        reach_ = at + kHeaderBytes;
    }

    // The NUL-terminated text at the header's cursor, of at most
    // kNameBufferBytes - 1 bytes; nullptr when it does not end within the
    // header.
    const char* text(std::size_t* length) {
        std::size_t left = available_ - headerCursor_;
        std::size_t limit = left < kNameBufferBytes ? left : kNameBufferBytes;
        const void* nul = memchr(header_ + headerCursor_, '\0', limit);
        if (nul == nullptr) return nullptr;
        const char* start = reinterpret_cast<const char*>(header_ + headerCursor_);
        *length = static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - (header_ + headerCursor_));
        take(*length + 1);
        return start;
    }

    bool byte(std::uint8_t* value) {
        if (headerCursor_ >= available_) return false;
        *value = header_[headerCursor_];
        take(1);
        return true;
    }

    bool size(std::uint64_t* value) {
        if (available_ - headerCursor_ < kContentSizeBytes) return false;
        *value = decodeBlockNumber(header_ + headerCursor_);
        take(kContentSizeBytes);
        return true;
    }

    // The content of `size` bytes at the cursor: what of its start the
    // header holds (for a frame's header), and where it lies in the mapped
    // block, then skipped. False when the block ends first.
    bool content(std::uint64_t size, const unsigned char** start, std::size_t* available,
                 const unsigned char** mapped) {
        if (size > static_cast<std::uint64_t>(end_ - cursor_)) return false;
        *mapped = cursor_;
        *start = header_ + headerCursor_;
        std::size_t held = available_ - headerCursor_;
        *available = size < held ? static_cast<std::size_t>(size) : held;
        cursor_ += size;
        return true;
    }

private:
    void take(std::size_t bytes) {
        headerCursor_ += bytes;
        cursor_ += bytes;
    }

    bool readFromFile() {
        if (file_ < 0) {
            // The running file itself, also when its name was removed.
            file_ = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
            if (file_ < 0) return false;
        }
        off_t offset = static_cast<off_t>(gPayloadFileOffset + static_cast<std::size_t>(cursor_ - block_));
        ssize_t read = pread(file_, buffer_, available_, offset);
        if (read < 0) return false;
        available_ = static_cast<std::size_t>(read);
        header_ = buffer_;
        return true;
    }

    // The block's first byte, at gPayloadFileOffset in the launcher's file.
    const unsigned char* block_;
    const unsigned char* cursor_;
    const unsigned char* end_;
    // The end of the previous header, at most.
    std::uintptr_t reach_;
    const unsigned char* header_ = nullptr;
    std::size_t available_ = 0;
    std::size_t headerCursor_ = 0;
    int file_ = -1;
    unsigned char buffer_[kHeaderBytes];
};

bool linkMatches(int directory, const char* leaf, const char* text, std::size_t length) {
    struct stat status;
    if (fstatat(directory, leaf, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(status.st_mode) ||
        static_cast<std::size_t>(status.st_size) != length) {
        return false;
    }
    char actual[kNameBufferBytes];
    ssize_t read = readlinkat(directory, leaf, actual, sizeof actual);
    return read == static_cast<ssize_t>(length) && memcmp(actual, text, length) == 0;
}

bool fileMatches(int directory, const char* leaf, std::uint64_t size, bool executable) {
    struct stat status;
    return fstatat(directory, leaf, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode) &&
           static_cast<std::uint64_t>(status.st_size) == size && ((status.st_mode & S_IXUSR) != 0) == executable;
}

// The check of a large tree is shared between threads: each takes the next
// batch of entries from the block (one at a time, under the lock), then
// checks them with directory levels of its own. Helpers join only once the
// main thread has checked this many entries and the block goes on: a tree of
// a few dozen entries is checked before a thread would have started.
constexpr std::uint32_t kEntriesBeforeHelpers = 256;
constexpr int kMostHelpers = 3;
constexpr int kSlots = kMostHelpers + 1;
constexpr std::size_t kBatchEntries = 32;

// An entry as taken from the block: its name and link text copied, its
// file's unpacked size.
struct TakenEntry {
    const char* name;
    std::size_t nameLength;
    const char* text;
    std::size_t textLength;
    std::uint8_t flags;
    std::uint64_t size;
};

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
    bool failed;         // an entry differs, or the block cannot be read (atomic)
};

Check check = {PTHREAD_MUTEX_INITIALIZER, nullptr, -1, false, false};

bool failed() { return __atomic_load_n(&check.failed, __ATOMIC_RELAXED); }
void fail() { __atomic_store_n(&check.failed, true, __ATOMIC_RELAXED); }

// Takes the next entry from the block into `entry`, its texts into
// `storage` (room for two texts); false at the end mark or when the block
// cannot be read.
bool takeEntry(BlockReader& block, TakenEntry& entry, char* storage) {
    block.loadHeader();
    const char* name = block.text(&entry.nameLength);
    if (name == nullptr) {
        fail();
        return false;
    }
    if (entry.nameLength == 0) {
        check.ended = true;
        return false;
    }
    memcpy(storage, name, entry.nameLength + 1);
    entry.name = storage;
    entry.text = nullptr;
    entry.textLength = 0;
    entry.size = 0;
    if (!block.byte(&entry.flags)) {
        fail();
        return false;
    }
    if (entry.flags & kEntryFlagLink) {
        const char* text = block.text(&entry.textLength);
        if (text == nullptr) {
            fail();
            return false;
        }
        memcpy(storage + entry.nameLength + 1, text, entry.textLength + 1);
        entry.text = storage + entry.nameLength + 1;
        return true;
    }
    const unsigned char* frame = nullptr;
    const unsigned char* mapped = nullptr;
    std::size_t frameHeld = 0;
    if (!block.size(&entry.size) || !block.content(entry.size, &frame, &frameHeld, &mapped)) {
        fail();
        return false;
    }
    // A compressed entry's unpacked size is in its frame's header, or the
    // sum of its frames' when the first one holds a whole frame's content:
    // only then are the frames walked, through the mapped block.
    const std::uint64_t storedSize = entry.size;
    if ((entry.flags & kEntryFlagCompressed) &&
        (!readUnpackedSize(frame, frameHeld, &entry.size) ||
         (entry.size == kCompressedFrameBytes && !measureFrames(mapped, storedSize, &entry.size)))) {
        fail();
        return false;
    }
    return true;
}

// Takes the next batch for `slot`; how many entries it holds.
std::size_t takeBatch(Slot& slot) {
    pthread_mutex_lock(&check.lock);
    std::size_t count = 0;
    char* storage = slot.texts;
    while (count < kBatchEntries && !check.ended && !failed() && takeEntry(*check.reader, slot.entries[count], storage)) {
        const TakenEntry& taken = slot.entries[count];
        storage += taken.nameLength + 1 + (taken.text != nullptr ? taken.textLength + 1 : 0);
        ++count;
    }
    pthread_mutex_unlock(&check.lock);
    return count;
}

bool entryMatches(EntryDirectories& directories, const TakenEntry& entry) {
    if (!isContainedName(entry.name, entry.nameLength)) return false;
    const char* leaf = nullptr;
    int directory = findEntryDirectory(directories, check.top, entry.name, &leaf);
    if (directory < 0) return false;
    if (entry.flags & kEntryFlagLink) return linkMatches(directory, leaf, entry.text, entry.textLength);
    return fileMatches(directory, leaf, entry.size, (entry.flags & kEntryFlagExecutable) != 0);
}

// Checks batches in slot `index` until the block ends or an entry differs,
// or `enough` entries are checked; how many it checked.
std::uint32_t checkBatches(int index, std::uint32_t enough) {
    Slot& slot = slots[index];
    std::uint32_t checked = 0;
    while (checked < enough && !failed()) {
        std::size_t count = takeBatch(slot);
        if (count == 0) break;
        for (std::size_t i = 0; i < count && !failed(); ++i) {
            if (!entryMatches(slotDirectories[index], slot.entries[i])) fail();
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
    bool goesOn = !check.ended && !failed();
    pthread_mutex_unlock(&check.lock);
    return goesOn;
}

}  // namespace

bool treeMatchesBlock(int top, const unsigned char* block, const unsigned char* end) {
    BlockReader reader(block, end);
    check.reader = &reader;
    check.top = top;
    check.ended = false;
    check.failed = false;
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
    return check.ended && !failed();
}

}  // namespace onefile
