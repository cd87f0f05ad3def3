// The launcher's own file, as far as the run depends on it.
#pragma once

namespace onefile {

// Checks that the launcher's file holds the whole loaded segment that
// carries the block (its p_offset + p_filesz), so that reading the block
// never touches a page past the end of a file cut short by an interrupted
// download or copy. Otherwise: "Error, launcher file is incomplete (N of M
// bytes)." on standard error and the fatal exit status, nothing written.
void checkLauncherComplete();

}  // namespace onefile
