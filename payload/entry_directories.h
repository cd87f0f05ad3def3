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

// The same for a tree that exists, below the directory open at `top`:
// levels are opened, never made. -1 with errno set when a level is missing,
// is not a directory or is a symbolic link (ENOENT, ENOTDIR, ELOOP).
int findEntryDirectory(int top, const char* name, const char** leaf);

// Closes the levels the calls above hold, so that the next call starts from
// its top directory again; the top itself is not closed.
void forgetEntryDirectories();

}  // namespace onefile
