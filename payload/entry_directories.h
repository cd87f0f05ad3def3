// The directories that hold the entries, below the extraction directory.
#pragma once

#include <cstddef>

#include "format/payload_format.h"

namespace onefile {

// Levels of the current entry's directory held open. Entries come sorted by
// name, so the next entry's directory shares most of them; deeper levels are
// reached from the deepest one held each time.
inline constexpr int kHeldEntryLevels = 32;

// What one walker of a tree holds: the directory path of its previous
// entry, relative to the top, and descriptors of its first levels: held[i]
// is the level that ends at heldEnd[i] in heldPath; the top itself is level
// 0. Zero-filled but for deepDirectory, which starts at -1
// (kFreshEntryDirectories).
struct EntryDirectories {
    char heldPath[kNameBufferBytes];
    int held[kHeldEntryLevels + 1];
    std::size_t heldEnd[kHeldEntryLevels + 1];
    int heldCount;
    // The previous entry's directory when it lies deeper than the held levels.
    int deepDirectory;
    std::size_t heldPathLength;
};

inline constexpr EntryDirectories kFreshEntryDirectories = {{}, {}, {}, 0, -1, 0};

// Returns a descriptor of the directory that holds the entry `name` (relative
// to the extraction directory), making missing levels with mode 0700 (less
// the umask), and points `leaf` at the name's last component. Every level is
// reached from the one above it with O_NOFOLLOW, never by path, so no level
// can lead out of the extraction directory. On failure returns -1 with errno
// set; ELOOP when a level is a symbolic link. The descriptor stays valid
// until the next call; the caller does not close it.
int openEntryDirectory(const char* name, const char** leaf);

// Closes the levels that openEntryDirectory holds open (never the extraction
// directory itself). A failed extraction gives them back before the removal,
// which needs descriptors of its own even when the failure was running out
// of them.
void closeEntryDirectories();

// The same for a tree that exists, below the directory open at `top`, with
// the levels that `directories` holds: levels are opened, never made. -1
// with errno set when a level is missing, is not a directory or is a
// symbolic link (ENOENT, ENOTDIR, ELOOP). Each thread that walks a tree has
// directories of its own.
int findEntryDirectory(EntryDirectories& directories, int top, const char* name, const char** leaf);

// Closes the levels `directories` holds (not its top) and makes it fresh.
void forgetEntryDirectories(EntryDirectories& directories);

}  // namespace onefile
