// What the onefile tool tests share: running the built tool, and reading a
// launcher's block back with the tool's own reader.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/run_process.h"
#include "tool/architecture.h"
#include "tool/block_reader.h"

namespace onefile::testing {

// A stub this build makes, with what its ELF header and segments must say.
struct BuiltStub {
    tool::Architecture architecture;
    std::string path;
    unsigned machine = 0;         // e_machine
    std::uint64_t pageBytes = 0;  // the alignment its loadable segments were linked with
};

// One for each architecture the tool makes launchers for.
const std::vector<BuiltStub>& builtStubs();

// How a test that runs on each stub names it: "aarch64 stub".
void PrintTo(const BuiltStub& stub, std::ostream* out);

// The name of `architecture` as --arch takes it.
std::string archName(tool::Architecture architecture);

// Runs the built onefile tool with `arguments`.
ProcessResult runTool(const std::vector<std::string>& arguments, const ProcessOptions& options = {});

// The bytes of a file as unsigned chars.
std::vector<unsigned char> readBytes(const std::string& path);

// The entries of the launcher at `path`, and the block they were read from.
struct LauncherContents {
    std::vector<unsigned char> file;
    std::uint64_t blockOffset = 0;
    std::uint64_t blockSize = 0;
    std::vector<tool::BlockEntryInfo> entries;

    // The content bytes of file entry `index`.
    std::string content(std::size_t index) const;
};
LauncherContents readLauncher(const std::string& path);

// Names in a directory, sorted; for checking that a refusal left nothing.
std::vector<std::string> listDirectory(const std::string& path);

// How startTool starts the tool: where its output goes and what limits it.
struct StartOptions {
    std::string stdoutPath = "/dev/null";
    std::string stderrPath = "/dev/null";
    std::optional<rlim_t> addressSpaceBytes;  // RLIMIT_AS
    bool noCoreDump = false;                  // RLIMIT_CORE 0
};

// Starts the built tool with `arguments` as a child that handles every signal
// in the default way and blocks none, and returns its process id.
pid_t startTool(const std::vector<std::string>& arguments, const StartOptions& options = {});

// How a child ended, or that it had not ended in time.
struct Ending {
    bool inTime = false;
    int exitCode = -1;  // when it exited
    int signal = 0;     // the signal that ended it
};

// Waits at most `seconds` for the child `pid` to end; one that has not ended
// by then is killed and reaped, and the ending says it was not in time.
Ending waitWithin(pid_t pid, double seconds);

// A launcher whose main is the probe, run with TMPDIR at `tmpDir` (made
// here) under `umask`: the probe reports what it found (PROBE_REPORT) and
// copies the unpacked files to `copies`.
struct ProbeRun {
    ProcessResult result;
    std::vector<std::string> tree;  // the probe's "tree=" lines
    std::string directoryMode;      // its "directory_mode=" line
    std::string copies;
};
ProbeRun runProbeLauncher(const std::string& launcher, const std::string& tmpDir, const std::string& reportPath,
                          const std::string& copies, mode_t umask);

}  // namespace onefile::testing
