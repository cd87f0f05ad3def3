// The rules of an entry's name that the launcher and `onefile extract` both
// apply, so that a block unpacks to the same tree either way. Header-only and
// free of the heap: the launcher calls them too.
#pragma once

#include <cstddef>

namespace onefile {

// One level of an entry name: the bytes [start, start + length).
struct NameLevel {
    std::size_t start;
    std::size_t length;
};

// Finds the next level of `name` (its first `length` bytes) at or after
// *cursor and moves the cursor behind it. Empty and "." levels ("a//b",
// "./a") are passed over, as a path lookup would. False at the end.
constexpr bool nextNameLevel(const char* name, std::size_t length, std::size_t* cursor, NameLevel* level) {
    std::size_t start = *cursor;
    for (;;) {
        while (start < length && name[start] == '/') ++start;
        if (start >= length) {
            *cursor = length;
            return false;
        }
        std::size_t end = start;
        while (end < length && name[end] != '/') ++end;
        if (end - start == 1 && name[start] == '.') {
            start = end;
            continue;
        }
        *level = {start, end - start};
        *cursor = end;
        return true;
    }
}

// A name stays below the directory it is unpacked to when it is relative and
// none of its levels is "..".
constexpr bool isContainedName(const char* name, std::size_t length) {
    if (length > 0 && name[0] == '/') return false;
    std::size_t cursor = 0;
    NameLevel level{0, 0};
    while (nextNameLevel(name, length, &cursor, &level)) {
        if (level.length == 2 && name[level.start] == '.' && name[level.start + 1] == '.') return false;
    }
    return true;
}

static_assert(isContainedName("lib/x.so", 8) && isContainedName("./a//b", 6));
static_assert(!isContainedName("/etc", 4) && !isContainedName("a/../b", 6) && !isContainedName("..", 2));

}  // namespace onefile
