#include "tests/hardening/hardening_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "tests/support/environment.h"
#include "tests/support/file_helpers.h"

namespace onefile::hardening {
namespace {

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

// FNV-1a over the bytes: enough to tell whether a file's content changed.
std::uint64_t digest(const std::string& bytes) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

std::string octalMode(mode_t mode) {
    char text[16];
    snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

void describeEntry(const std::string& root, const std::string& relative, bool withTimes,
                   std::vector<std::string>& lines) {
    const std::string path = relative == "." ? root : root + "/" + relative;
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) throw std::runtime_error("lstat " + path + ": " + std::strerror(errno));
    std::string line;
    if (S_ISDIR(status.st_mode)) line = "dir ";
    else if (S_ISREG(status.st_mode)) line = "file ";
    else if (S_ISLNK(status.st_mode)) line = "link ";
    else if (S_ISFIFO(status.st_mode)) line = "fifo ";
    else line = "other ";
    line += octalMode(status.st_mode) + " " + std::to_string(status.st_uid) + ":" + std::to_string(status.st_gid) +
            " " + relative;
    if (S_ISREG(status.st_mode)) {
        line += " size=" + std::to_string(status.st_size) + " digest=" +
                std::to_string(digest(onefile::testing::readFile(path)));
    } else if (S_ISLNK(status.st_mode)) {
        std::vector<char> text(static_cast<std::size_t>(status.st_size) + 1);
        const ssize_t length = readlink(path.c_str(), text.data(), text.size());
        if (length < 0) throw std::runtime_error("readlink " + path + ": " + std::strerror(errno));
        line += " -> " + std::string(text.data(), static_cast<std::size_t>(length));
    }
    if (withTimes) {
        line += " mtime=" + std::to_string(status.st_mtim.tv_sec) + "." + std::to_string(status.st_mtim.tv_nsec);
    }
    lines.push_back(line);
    if (!S_ISDIR(status.st_mode)) return;
    DIR* directory = opendir(path.c_str());
    if (directory == nullptr) throw std::runtime_error("opendir " + path + ": " + std::strerror(errno));
    std::vector<std::string> names;
    while (const dirent* entry = readdir(directory)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(directory);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        describeEntry(root, relative == "." ? name : relative + "/" + name, withTimes, lines);
    }
}

// Runs in the child between fork and exec: async-signal-safe calls only.
[[noreturn]] void failBackgroundStart(const char* step) {
    const char* reason = std::strerror(errno);
    (void)!write(STDERR_FILENO, step, std::strlen(step));
    (void)!write(STDERR_FILENO, ": ", 2);
    (void)!write(STDERR_FILENO, reason, std::strlen(reason));
    (void)!write(STDERR_FILENO, "\n", 1);
    _exit(127);
}

std::string readMemoryFile(int descriptor) {
    std::string text;
    char chunk[65536];
    off_t offset = 0;
    for (;;) {
        const ssize_t count = pread(descriptor, chunk, sizeof chunk, offset);
        if (count <= 0) break;
        text.append(chunk, static_cast<std::size_t>(count));
        offset += count;
    }
    return text;
}

}  // namespace

std::vector<std::string> describeTree(const std::string& root, bool withTimes) {
    std::vector<std::string> lines;
    struct stat status;
    if (lstat(root.c_str(), &status) != 0) return lines;
    describeEntry(root, ".", withTimes, lines);
    return lines;
}

void setOwnerAndMode(const std::string& path, uid_t user, gid_t group, mode_t mode) {
    if (lchown(path.c_str(), user, group) != 0) {
        throw std::runtime_error("lchown " + path + ": " + std::strerror(errno));
    }
    struct stat status;
    if (lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) return;
    if (chmod(path.c_str(), mode) != 0) throw std::runtime_error("chmod " + path + ": " + std::strerror(errno));
}

ProcessResult runShellAs(uid_t user, gid_t group, const std::string& script, const std::vector<std::string>& arguments,
                         const std::string& workingDirectory) {
    std::vector<std::string> argv = {"/bin/sh", "-c", script, "sh"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ProcessOptions options;
    options.userId = user;
    options.groupId = group;
    options.workingDirectory = workingDirectory;
    return runProcess(argv, options);
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
    if (argv.empty()) throw std::invalid_argument("BackgroundProcess: empty argv");
    std::vector<std::string> arguments = argv;
    std::vector<std::string> environment =
        onefile::testing::composeEnvironment(options.setEnvironment, options.unsetEnvironment);
    const std::vector<char*> argumentPointers = onefile::testing::pointersTo(arguments);
    const std::vector<char*> environmentPointers = onefile::testing::pointersTo(environment);
    output_ = memfd_create("background-stdout", MFD_CLOEXEC);
    error_ = memfd_create("background-stderr", MFD_CLOEXEC);
    const int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (output_ < 0 || error_ < 0 || input < 0) {
        throw std::runtime_error(std::string("BackgroundProcess: ") + std::strerror(errno));
    }
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid_ == 0) {
        if (dup2(error_, STDERR_FILENO) < 0) _exit(127);
        if (dup2(output_, STDOUT_FILENO) < 0 || dup2(input, STDIN_FILENO) < 0) failBackgroundStart("dup2");
        if (setpgid(0, 0) != 0) failBackgroundStart("setpgid");
        (void)signal(SIGPIPE, SIG_DFL);
        if (options.umask) (void)umask(*options.umask);
        if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) {
            failBackgroundStart("chdir");
        }
        if (options.groupId || options.userId) {
            if (setgroups(0, nullptr) != 0) failBackgroundStart("setgroups");
            if (options.groupId && setgid(*options.groupId) != 0) failBackgroundStart("setgid");
            if (options.userId && setuid(*options.userId) != 0) failBackgroundStart("setuid");
        }
        execvpe(argumentPointers[0], argumentPointers.data(), environmentPointers.data());
        failBackgroundStart(argumentPointers[0]);
    }
    // Both sides set the group, so it stands before either goes on.
    (void)setpgid(pid_, pid_);
    close(input);
}

BackgroundProcess::~BackgroundProcess() {
    (void)kill(-pid_, SIGKILL);
    if (!reaped_) {
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    for (const int descriptor : {output_, error_}) {
        if (descriptor >= 0) close(descriptor);
    }
}

std::optional<ProcessResult> BackgroundProcess::wait(std::chrono::milliseconds timeout) {
    if (reaped_) return result_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t ended = waitpid(pid_, &status, WNOHANG);
        if (ended < 0 && errno != EINTR) throw std::runtime_error(std::string("waitpid: ") + std::strerror(errno));
        if (ended == pid_) {
            reaped_ = true;
            if (WIFEXITED(status)) result_.exitCode = WEXITSTATUS(status);
            if (WIFSIGNALED(status)) result_.signal = WTERMSIG(status);
            result_.out = readMemoryFile(output_);
            result_.err = readMemoryFile(error_);
            return result_;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

bool waitForPath(const std::string& path, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        struct stat status;
        if (lstat(path.c_str(), &status) == 0) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

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

void packScriptApp(const std::string& appDir, const std::string& main, const std::string& launcher,
                   const std::vector<std::string>& toolOptions) {
    writeFile(appDir + "/main", main, 0755);
    writeFile(appDir + "/data/file", "data\n");
    makeDirectories(std::filesystem::path(launcher).parent_path());
    packLauncher(appDir, launcher, toolOptions);
}

RecordedRun parseRun(const std::string& line) {
    const std::size_t space = line.rfind(' ');
    if (space == std::string::npos) return {line, ""};
    return {line.substr(0, space), line.substr(space + 1)};
}

std::string keptVersionOf(const std::string& launcher) {
    const ProcessResult info = runProcess({ONEFILE_TOOL_PATH, "info", launcher});
    const std::string key = "\ndigest: sha256 ";
    const std::size_t at = info.out.find(key);
    if (info.exitCode != 0 || at == std::string::npos) throw std::runtime_error("onefile info: " + info.err);
    return info.out.substr(at + key.size(), 16);
}

ProcessOptions recordingOptions(const std::string& tmpDir, const std::string& runs) {
    ProcessOptions options = launcherOptions(tmpDir);
    options.setEnvironment["ONEFILE_TEST_RUNS"] = runs;
    return options;
}

std::vector<std::string> linesOf(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string octal(mode_t mode) {
    std::ostringstream text;
    text << std::oct << mode;
    return text.str();
}

std::string createFailure(const std::string& path, const std::string& reason) {
    return "Error, couldn't create extraction directory '" + path + "': " + reason + ".\n";
}

std::string notSafe(const std::string& path, const std::string& reason) {
    return "Error, directory '" + path + "' is not safe to use: " + reason + ".\n";
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
