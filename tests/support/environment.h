// The environment a test starts a child with: the test's own, with some
// variables removed and others added or replaced.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace onefile::testing {

// "NAME=value" texts of the caller's environment less `unset`, then `set`.
std::vector<std::string> composeEnvironment(const std::map<std::string, std::string>& set,
                                            const std::vector<std::string>& unset);

// Pointers to the texts, null-terminated, for execve; valid while texts lives.
std::vector<char*> pointersTo(std::vector<std::string>& texts);

}  // namespace onefile::testing
