#include "tests/hardening/hardening_support.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>

namespace onefile::hardening {
namespace {

using onefile::testing::ProcessOptions;
using onefile::testing::ProcessResult;
using onefile::testing::runProcess;

// Exit status and message with which the wrapper says that the tmpfs could
// not be mounted.
constexpr int kNotMountedStatus = 77;
constexpr char kNotMountedMessage[] = "onefile-hardening: no tmpfs: ";

// Runs in the new namespace: $1 mount options, $2 mount point, then the
// test's arguments.
std::string wrapperScript(const std::string& script) {
    return std::string("if ! reason=$(mount -t tmpfs -o \"$1\" onefile-hardening \"$2\" 2>&1); then\n") +
           "  printf '%s%s\\n' '" + kNotMountedMessage + "' \"$reason\" >&2\n" +
           "  exit " + std::to_string(kNotMountedStatus) + "\n" +
           "fi\n" +
           "mnt=$2\n" +
           "shift 2\n" + script;
}

constexpr std::string_view kTokenAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr std::string_view kTokenLastCharacters = "AEIMQUYcgkosw048";
constexpr std::size_t kTokenLength = 11;
constexpr std::size_t kMicrosecondDigits = 6;

bool isDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

bool isRandomToken(const std::string& text) {
    return text.size() == kTokenLength && text.find_first_not_of(kTokenAlphabet) == std::string::npos &&
           kTokenLastCharacters.find(text.back()) != std::string_view::npos;
}

bool isDefaultDirectoryName(const std::string& name) {
    // onefile_PID_MICROSECONDS_TOKEN; the token may itself hold "_".
    constexpr std::string_view kPrefix = "onefile_";
    if (!name.starts_with(kPrefix) || name.size() < kPrefix.size() + kTokenLength) return false;
    const std::string token = name.substr(name.size() - kTokenLength);
    const std::string_view middle(name.data() + kPrefix.size(), name.size() - kPrefix.size() - kTokenLength);
    const std::size_t underscore = middle.find('_');
    if (underscore == std::string_view::npos) return false;
    const std::string_view processId = middle.substr(0, underscore);
    const std::string_view rest = middle.substr(underscore + 1);
    return isDigits(processId) && rest.size() == kMicrosecondDigits + 1 &&
           isDigits(rest.substr(0, kMicrosecondDigits)) && rest.back() == '_' && isRandomToken(token);
}

ProcessOptions launcherOptions(const std::string& tmpDir) {
    ProcessOptions options;
    options.unsetEnvironment = kProtocolVariables;
    options.setEnvironment["TMPDIR"] = tmpDir;
    return options;
}

void runToolOrThrow(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {ONEFILE_TOOL_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const ProcessResult result = runProcess(argv);
    if (result.exitCode != 0) throw std::runtime_error("onefile failed: " + result.err);
}

void packLauncher(const std::string& appDir, const std::string& launcher,
                  const std::vector<std::string>& toolOptions) {
    std::vector<std::string> arguments = {"pack", appDir, "-o", launcher, "--main", "main"};
    arguments.insert(arguments.end(), toolOptions.begin(), toolOptions.end());
    runToolOrThrow(arguments);
}

MountedRun runOnTmpfs(const std::string& mountPoint, const std::string& mountOptions,
                      const std::string& script, const std::vector<std::string>& arguments,
                      const ProcessOptions& options) {
    std::vector<std::string> argv = {"unshare", "--mount", "--propagation", "private", "/bin/sh",
                                     "-c",      wrapperScript(script), "onefile-hardening",
                                     mountOptions, mountPoint};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    MountedRun run;
    run.process = runProcess(argv, options);
    const ProcessResult& process = run.process;
    if (process.exitCode == kNotMountedStatus && process.err.find(kNotMountedMessage) != std::string::npos) {
        run.skipReason = process.err;
    } else if (process.exitCode != 0 && process.err.rfind("unshare", 0) == 0) {
        // unshare itself failed (no permission for a mount namespace), or
        // is not installed.
        run.skipReason = process.err;
    } else {
        run.mounted = true;
    }
    return run;
}

}  // namespace onefile::hardening
