#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "format/entry_rules.h"
#include "format/payload_format.h"
#include "payload/entry_decoder.h"
#include "payload/entry_directories.h"
#include "payload/extract_payload.h"
#include "payload/reuse_steps.h"

// The check that makes a kept tree worth running, on every start: one
// fstatat per entry, relative to the directory that holds it (levels held
// open as the extraction holds them), and a readlinkat per link. Contents
// are never read: a file that lost bytes to a full disk or a temp cleaner
// shows in its size, a file replaced by the user's own hand does not, as
// with any installed program.

namespace onefile {

namespace {

// Headers within this reach after what the check last read through the
// mapping are read there too: the fault that mapped that page mapped the
// pages around it (the kernel maps up to 64 KiB around a fault), and a
// block of small files is read page by page anyway. A header farther away
// (behind a large file) is read through the launcher's file instead: a
// fault of its own for each would cost a second start more than all of the
// check's fstatat calls.
constexpr std::size_t kMappedReach = 64u << 10;
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
        : block_(block), cursor_(block + kPayloadMagicBytes), end_(end), reach_(cursor_) {}
    ~BlockReader() {
        if (file_ >= 0) (void)close(file_);
    }
    BlockReader(const BlockReader&) = delete;
    BlockReader& operator=(const BlockReader&) = delete;

    // Makes the header at the cursor readable: header() then holds
    // headerBytes() bytes of it (fewer only at the end of the block).
    void loadHeader() {
        std::size_t left = static_cast<std::size_t>(end_ - cursor_);
        available_ = left < kHeaderBytes ? left : kHeaderBytes;
        header_ = cursor_;
        headerCursor_ = 0;
        bool near = cursor_ <= reach_ || static_cast<std::size_t>(cursor_ - reach_) < kMappedReach;
        if (near || !readFromFile()) reach_ = cursor_ + available_;
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
        *value = 0;
        for (std::size_t i = 0; i < kContentSizeBytes; ++i)
            *value |= static_cast<std::uint64_t>(header_[headerCursor_ + i]) << (8 * i);
        take(kContentSizeBytes);
        return true;
    }

    // The content of `size` bytes at the cursor: what of its start the
    // header holds (for a frame's header), then skipped. False when the
    // block ends first.
    bool content(std::uint64_t size, const unsigned char** start, std::size_t* available) {
        if (size > static_cast<std::uint64_t>(end_ - cursor_)) return false;
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
    // The end of what was last read through the mapping.
    const unsigned char* reach_;
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

bool entriesMatch(int top, BlockReader& block) {
    for (;;) {
        block.loadHeader();
        std::size_t nameLength = 0;
        const char* name = block.text(&nameLength);
        if (name == nullptr) return false;
        if (nameLength == 0) return true;
        std::uint8_t flags = 0;
        if (!isContainedName(name, nameLength) || !block.byte(&flags)) return false;
        const char* leaf = nullptr;
        int directory = findEntryDirectory(top, name, &leaf);
        if (directory < 0) return false;
        if (flags & kEntryFlagLink) {
            std::size_t textLength = 0;
            const char* text = block.text(&textLength);
            if (text == nullptr || !linkMatches(directory, leaf, text, textLength)) return false;
            continue;
        }
        std::uint64_t size = 0;
        const unsigned char* frame = nullptr;
        std::size_t frameHeld = 0;
        if (!block.size(&size) || !block.content(size, &frame, &frameHeld)) return false;
        // A compressed entry's unpacked size is in its frame's header.
        if ((flags & kEntryFlagCompressed) && !readUnpackedSize(frame, frameHeld, &size)) return false;
        if (!fileMatches(directory, leaf, size, (flags & kEntryFlagExecutable) != 0)) return false;
    }
}

}  // namespace

bool treeMatchesBlock(int top, const unsigned char* block, const unsigned char* end) {
    BlockReader reader(block, end);
    bool matches = entriesMatch(top, reader);
    forgetEntryDirectories();
    return matches;
}

}  // namespace onefile
