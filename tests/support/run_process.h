// Runs a program as a child process and collects what it wrote and how it
// ended.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace onefile::testing {

struct ProcessOptions {
    std::map<std::string, std::string> setEnvironment;  // added or replaced
    std::vector<std::string> unsetEnvironment;          // removed
    std::string workingDirectory;                       // empty: the caller's
    std::optional<mode_t> umask;                        // empty: the caller's
    std::string stdinText;                              // then end of input
    // Run as this user and group (the caller must be root); supplementary
    // groups are dropped.
    std::optional<uid_t> userId;
    std::optional<gid_t> groupId;
    // The child's address-space limit (RLIMIT_AS, soft and hard), in bytes
    // where `ulimit -v` counts KiB.
    std::optional<rlim_t> addressSpaceBytes;
    // When above 0, the child runs on at most this many of the processors
    // the caller may use (sched_setaffinity).
    int processors = 0;
};

struct ProcessResult {
    int exitCode = -1;  // when the child exited, else -1
    int signal = 0;     // the signal that ended the child, else 0
    std::string out;
    std::string err;
};

// Starts argv[0] (looked up in PATH when it has no "/") with `argv` and the
// caller's environment changed by `options`, feeds it stdinText and waits for
// it. A program that cannot be started ends with exit code 127 and says why
// on its standard error.
ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

}  // namespace onefile::testing
