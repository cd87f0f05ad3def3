// Runs the built tool on a real pseudo-terminal, as a person at a terminal
// would: what pack shows there (the progress line, the summary) is drawn
// only when standard error is a terminal.
#pragma once

#include <sys/resource.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/support/run_process.h"

namespace onefile::testing {

// Runs the tool with standard output and standard error on a new
// pseudo-terminal, wide enough for a whole progress line, and returns what
// the terminal received (in `err`). With `fileSizeBytes` the tool may write
// no larger file (RLIMIT_FSIZE, SIGXFSZ ignored: the write fails instead).
ProcessResult runOnTerminal(const std::vector<std::string>& arguments, std::optional<rlim_t> fileSizeBytes = {});

}  // namespace onefile::testing
