// Reading a block's entries for the check and the repair of a kept tree:
// names, flags, sizes and link texts, without copying where it can, and
// without touching the pages of the contents between them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "format/payload_format.h"
#include "payload/entry_decoder.h"
#include "payload/extract_payload.h"

namespace onefile {

// A header within this reach after the header before it is read through
// the mapping: in a block of small files the fault of one header maps the
// pages around it (up to 64 KiB), which hold the next ones. A header
// farther away (behind a large file) is read through the launcher's file
// instead: a fault of its own for each, with the pages around it, would
// cost a second start more than all of the check's fstatat calls.
inline constexpr std::size_t kMappedReach = 16u << 10;
// An entry's header at most: name and NUL, flags, then the content's size
// and a frame header (at most 18 bytes), or a link text and NUL.
inline constexpr std::size_t kHeaderBytes = 2 * kNameBufferBytes + 1 + 32;

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

enum class TakeResult { entry, end, unreadable };

// Takes the next entry from the block into `entry`, its texts into
// `storage` (room for two texts of kNameBufferBytes).
inline TakeResult takeEntry(BlockReader& block, TakenEntry& entry, char* storage) {
    block.loadHeader();
    const char* name = block.text(&entry.nameLength);
    if (name == nullptr) return TakeResult::unreadable;
    if (entry.nameLength == 0) return TakeResult::end;
    memcpy(storage, name, entry.nameLength + 1);
    entry.name = storage;
    entry.text = nullptr;
    entry.textLength = 0;
    entry.size = 0;
    if (!block.byte(&entry.flags)) return TakeResult::unreadable;
    if (entry.flags & kEntryFlagLink) {
        const char* text = block.text(&entry.textLength);
        if (text == nullptr) return TakeResult::unreadable;
        memcpy(storage + entry.nameLength + 1, text, entry.textLength + 1);
        entry.text = storage + entry.nameLength + 1;
        return TakeResult::entry;
    }
    const unsigned char* frame = nullptr;
    const unsigned char* mapped = nullptr;
    std::size_t frameHeld = 0;
    if (!block.size(&entry.size) || !block.content(entry.size, &frame, &frameHeld, &mapped)) {
        return TakeResult::unreadable;
    }
    // A compressed entry's unpacked size is in its frame's header, or the
    // sum of its frames' when the first one holds a whole frame's content:
    // only then are the frames walked, through the mapped block.
    const std::uint64_t storedSize = entry.size;
    if ((entry.flags & kEntryFlagCompressed) &&
        (!readUnpackedSize(frame, frameHeld, &entry.size) ||
         (entry.size == kCompressedFrameBytes && !measureFrames(mapped, storedSize, &entry.size)))) {
        return TakeResult::unreadable;
    }
    return TakeResult::entry;
}

}  // namespace onefile
