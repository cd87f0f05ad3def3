// Creation of the directories on the way to an entry, with a memo of the
// directories already known to exist.
#pragma once

namespace onefile {

// Most directory names the memo remembers; later ones are tested each time.
inline constexpr int kDirectoryMemoCapacity = 1024;

// Makes sure every directory above path exists, from the top down. Reports
// nothing: a missing directory shows when the entry is created.
void createParentDirectories(const char* path);

// true when path is remembered, exists, or was created now with mode 0700.
bool ensureDirectory(const char* path);

}  // namespace onefile
