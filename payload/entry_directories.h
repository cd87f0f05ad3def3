// The directories that hold the entries, below the extraction directory.
#pragma once

namespace onefile {

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

}  // namespace onefile
