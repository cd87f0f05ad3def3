// Small file operations for tests; each throws std::runtime_error naming the
// path when it fails.
#pragma once

#include <sys/types.h>

#include <string>

namespace onefile::testing {

// Writes `content` to `path`, creating missing parent directories, and sets
// exactly `mode` (the umask does not apply).
void writeFile(const std::string& path, const std::string& content, mode_t mode = 0644);

// Creates a symbolic link at `linkPath` with the text `target`, creating
// missing parent directories.
void makeSymlink(const std::string& target, const std::string& linkPath);

// Creates the directory and its missing parents.
void makeDirectories(const std::string& path);

std::string readFile(const std::string& path);

}  // namespace onefile::testing
