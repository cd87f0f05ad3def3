// What the hardening tests share: launchers packed by the real tool from
// small shell-script applications, and runs inside a private mount
// namespace on a fresh tmpfs whose size and options a test chooses.
#pragma once

#include <string>
#include <vector>

#include "tests/support/run_process.h"

namespace onefile::hardening {

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

}  // namespace onefile::hardening
