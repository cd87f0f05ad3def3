// After a failed exec of the launch target: one more line that names the
// unpacked file and the likely cause, so that a user can act on it.
#pragma once

namespace onefile {

// Writes the line for `errorNumber` (ENOENT, EACCES, ENOEXEC) and `path`
// on standard error; nothing for other errors or an empty path. Runs in
// the child, after the exec failed.
void explainExecFailure(const char* path, int errorNumber);

}  // namespace onefile
