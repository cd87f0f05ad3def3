#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "format/entry_rules.h"
#include "format/payload_format.h"
#include "payload/entry_decoder.h"
#include "payload/entry_directories.h"
#include "payload/reuse_steps.h"

// The check that makes a kept tree worth running, on every start: one
// fstatat per entry, relative to the directory that holds it (levels held
// open as the extraction holds them), and a readlinkat per link. Contents
// are never read: a file that lost bytes to a full disk or a temp cleaner
// shows in its size, a file replaced by the user's own hand does not, as
// with any installed program.

namespace onefile {

namespace {

// Reads the block without copying: every field is checked to lie before
// `end`.
struct BlockReader {
    const unsigned char* cursor;
    const unsigned char* end;

    // The NUL-terminated text at the cursor, of at most kNameBufferBytes - 1
    // bytes; nullptr when it does not end within the block.
    const char* text(std::size_t* length) {
        std::size_t left = static_cast<std::size_t>(end - cursor);
        std::size_t limit = left < kNameBufferBytes ? left : kNameBufferBytes;
        const void* nul = memchr(cursor, '\0', limit);
        if (nul == nullptr) return nullptr;
        const char* start = reinterpret_cast<const char*>(cursor);
        *length = static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - cursor);
        cursor += *length + 1;
        return start;
    }

    bool byte(std::uint8_t* value) {
        if (cursor >= end) return false;
        *value = *cursor++;
        return true;
    }

    bool size(std::uint64_t* value) {
        if (static_cast<std::size_t>(end - cursor) < kContentSizeBytes) return false;
        *value = 0;
        for (std::size_t i = 0; i < kContentSizeBytes; ++i) *value |= static_cast<std::uint64_t>(cursor[i]) << (8 * i);
        cursor += kContentSizeBytes;
        return true;
    }
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
        if (!block.size(&size) || size > static_cast<std::uint64_t>(block.end - block.cursor)) return false;
        const unsigned char* content = block.cursor;
        block.cursor += size;
        // A compressed entry's unpacked size is in its frame's header.
        if ((flags & kEntryFlagCompressed) && !readUnpackedSize(content, size, &size)) return false;
        if (!fileMatches(directory, leaf, size, (flags & kEntryFlagExecutable) != 0)) return false;
    }
}

}  // namespace

bool treeMatchesBlock(int top, const unsigned char* block, const unsigned char* end) {
    BlockReader reader{block + kPayloadMagicBytes, end};
    bool matches = entriesMatch(top, reader);
    forgetEntryDirectories();
    return matches;
}

}  // namespace onefile
