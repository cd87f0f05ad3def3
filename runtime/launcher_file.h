// The launcher's own file, as far as the run depends on it: where the
// attached block lies in memory, and whether the file holds all of it.
#pragma once

namespace onefile {

// Address of the attached block's first byte (its magic).
const unsigned char* getPayloadStart();

// End of the memory that holds the attached block, taken from the loaded
// segment that contains it.
const unsigned char* getPayloadEnd();

// Offset of the block's first byte in the launcher's file, for reads of the
// block through the file (/proc/self/exe) instead of the mapping.
unsigned long long getPayloadFileOffset();

// Checks that the launcher's file holds the whole loaded segment that
// carries the block (its p_offset + p_filesz), so that reading the block
// never touches a page past the end of a file cut short by an interrupted
// download or copy. Otherwise: "Error, launcher file is incomplete (N of M
// bytes)." on standard error and the fatal exit status, nothing written.
void checkLauncherComplete();

}  // namespace onefile
