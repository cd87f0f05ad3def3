// What the hardening tests share: launchers packed by the real tool from
// small shell-script applications, the record such an application keeps of
// its starts, the launcher's reports of a refused run, and runs inside a
// private mount namespace on a fresh tmpfs whose size and options a test
// chooses.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/file_helpers.h"
#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"

namespace onefile::hardening {

// The test support that every hardening test uses.
using onefile::testing::makeDirectories;
using onefile::testing::ProcessOptions;
using onefile::testing::ProcessResult;
using onefile::testing::runProcess;
using onefile::testing::TempDir;
using onefile::testing::writeFile;

// The launch protocol's variables; no run inherits them from the test.
inline const std::vector<std::string> kProtocolVariables = {
    "TAVMIR_ONEFILE_PARENT", "TAVMIR_ONEFILE_DIRECTORY", "TAVMIR_ORIGINAL_ARGV0",
    "TAVMIR_ONEFILE_TIME_US", "TAVMIR_ONEFILE_RANDOM",   "TAVMIR_ONEFILE_START",
};

// Options for running a launcher: the protocol's variables removed, TMPDIR
// set to `tmpDir`.
onefile::testing::ProcessOptions launcherOptions(const std::string& tmpDir);

// Runs the real onefile tool; throws with its standard error when it fails.
void runToolOrThrow(const std::vector<std::string>& arguments);

// Packs appDir (whose main executable is appDir/main) into `launcher`;
// `toolOptions` are added after the output.
void packLauncher(const std::string& appDir, const std::string& launcher,
                  const std::vector<std::string>& toolOptions = {});

// Writes the application appDir, the shell script `main` as its main
// executable beside a small data file data/file, and packs it into
// `launcher`, whose missing parent directories are made first;
// `toolOptions` are added after the output.
void packScriptApp(const std::string& appDir, const std::string& main, const std::string& launcher,
                   const std::vector<std::string>& toolOptions = {});

// The name of the version directory of a launcher made with pack --reuse:
// the first 16 hexadecimal digits of the digest that `onefile info` shows.
std::string keptVersionOf(const std::string& launcher);

// The start of an application that records every start in
// $ONEFILE_TEST_RUNS: its directory (physical) and the run's token, one line
// each. A test may add steps of its own; they find the directory in "$d".
inline constexpr char kRecordingMain[] =
    "#!/bin/sh\n"
    "d=$(cd \"${0%/*}\" && pwd -P) || exit 90\n"
    "printf '%s %s\\n' \"$d\" \"$TAVMIR_ONEFILE_RANDOM\" >> \"$ONEFILE_TEST_RUNS\"\n";

// What a line of kRecordingMain's record holds: the application's directory
// and the run's token.
struct RecordedRun {
    std::string directory;
    std::string token;
};

RecordedRun parseRun(const std::string& line);

// Options for running a launcher of kRecordingMain: launcherOptions(tmpDir),
// with the record in the file `runs`.
onefile::testing::ProcessOptions recordingOptions(const std::string& tmpDir, const std::string& runs);

// The lines of the file at `path`; none when there is no such file.
std::vector<std::string> linesOf(const std::string& path);

// The permission bits in octal, without leading zeros, as stat -c '%a'
// prints them.
std::string octal(mode_t mode);

// The launcher's reports that end a run before its application starts: the
// extraction directory could not be made at `path`, for `reason` (the
// system's words for the error), or the level at `path` is not safe to use.
std::string createFailure(const std::string& path, const std::string& reason);
std::string notSafe(const std::string& path, const std::string& reason);

// True for the 11 characters of a random token: 8 bytes in base64url, so
// the last character carries 4 bits and two zero bits.
bool isRandomToken(const std::string& text);

// True for the name that the default template "{TEMP}/onefile_{PID}_
// {TIME_US}_{RANDOM}" gives the extraction directory below TMPDIR.
bool isDefaultDirectoryName(const std::string& name);

// A shell script run as root of a private mount namespace.
struct MountedRun {
    // False when this machine does not let the test mount a tmpfs in a
    // namespace of its own; skipReason then says why.
    bool mounted = false;
    std::string skipReason;
    // The script's end and output. The script finds the mount point in
    // "$mnt" and its own arguments in "$@".
    onefile::testing::ProcessResult process;
};

// Mounts a fresh tmpfs with `mountOptions` (as for mount -o) on the
// existing directory mountPoint, visible only inside a private mount
// namespace, and runs `script` there with `arguments`. The mount is gone
// when the script ends.
MountedRun runOnTmpfs(const std::string& mountPoint, const std::string& mountOptions,
                      const std::string& script, const std::vector<std::string>& arguments = {},
                      const onefile::testing::ProcessOptions& options = {});

// The other user of the machine: the one who plants directories, links and
// fifos where a launcher of someone else will meet them.
inline constexpr uid_t kOtherUser = 65534;
inline constexpr gid_t kOtherGroup = 65534;

// One line per entry of the tree at `root`, the root itself first as ".",
// then everything below it sorted by path; links are described, never
// followed. A line holds the kind, mode, owner, size and content digest of a
// file, the text of a link, and with `withTimes` the modification time, so
// that two descriptions differ when anything in the tree was written,
// created, removed or changed mode or owner. A missing root gives no lines.
std::vector<std::string> describeTree(const std::string& root, bool withTimes = true);

// Sets the owner (of a link itself, not its target) and, except on a link,
// exactly `mode`; throws naming the path when that fails.
void setOwnerAndMode(const std::string& path, uid_t user, gid_t group, mode_t mode);

// Runs `script` with /bin/sh as `user`/`group` (no supplementary groups)
// in `workingDirectory` (empty: the caller's); "$@" holds `arguments`.
onefile::testing::ProcessResult runShellAs(uid_t user, gid_t group, const std::string& script,
                                           const std::vector<std::string>& arguments = {},
                                           const std::string& workingDirectory = "");

// A process started in the background, as the leader of its own process
// group, with the caller's environment changed as `options` says (standard
// input is empty; stdinText is not used). Its standard output and error are
// collected in memory files. The destructor kills the whole process group,
// so children that outlive it go too, and reaps the process.
class BackgroundProcess {
public:
    BackgroundProcess(const std::vector<std::string>& argv, const onefile::testing::ProcessOptions& options);
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;
    ~BackgroundProcess();

    pid_t pid() const { return pid_; }
    // Waits for the process to end and returns how it ended and what it
    // wrote; nothing when it still runs after `timeout`.
    std::optional<onefile::testing::ProcessResult> wait(std::chrono::milliseconds timeout);

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int output_ = -1;
    int error_ = -1;
    onefile::testing::ProcessResult result_;
};

// Waits until `path` exists (lstat), looking every few milliseconds; false
// after `timeout`.
bool waitForPath(const std::string& path, std::chrono::milliseconds timeout);

}  // namespace onefile::hardening
