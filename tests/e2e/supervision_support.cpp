#include "tests/e2e/supervision_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "tests/support/environment.h"
#include "tests/support/file_helpers.h"

namespace onefile::e2e {
namespace {

using onefile::testing::composeEnvironment;
using onefile::testing::pointersTo;

using Clock = std::chrono::steady_clock;

constexpr int kStartFailedStatus = 127;
constexpr int kLastStandardSignal = 31;
// How often a wait for the launcher's end looks again.
constexpr auto kExitPollInterval = std::chrono::microseconds(500);

const char* const kProtocolVariables[] = {
    "TAVMIR_ONEFILE_START",  "TAVMIR_ONEFILE_TIME_US",   "TAVMIR_ONEFILE_RANDOM",
    "TAVMIR_ONEFILE_PARENT", "TAVMIR_ONEFILE_DIRECTORY", "TAVMIR_ORIGINAL_ARGV0",
};

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

int makeCapture(const char* name) {
    int descriptor = memfd_create(name, MFD_CLOEXEC);
    if (descriptor < 0) fail("memfd_create");
    return descriptor;
}

std::string readCapture(int descriptor) {
    std::string text;
    if (descriptor < 0) return text;
    char chunk[65536];
    off_t offset = 0;
    for (;;) {
        ssize_t count = pread(descriptor, chunk, sizeof chunk, offset);
        if (count <= 0) break;
        text.append(chunk, static_cast<std::size_t>(count));
        offset += count;
    }
    return text;
}

// Runs in the child between fork and exec: async-signal-safe calls only.
[[noreturn]] void failStart(const char* step) {
    const char* reason = std::strerror(errno);
    (void)!write(STDERR_FILENO, step, std::strlen(step));
    (void)!write(STDERR_FILENO, ": ", 2);
    (void)!write(STDERR_FILENO, reason, std::strlen(reason));
    (void)!write(STDERR_FILENO, "\n", 1);
    _exit(kStartFailedStatus);
}

// Moves `descriptor` to `target` without close-on-exec.
void placeDescriptor(int descriptor, int target) {
    if (descriptor == target) {
        if (fcntl(target, F_SETFD, 0) != 0) failStart("fcntl");
    } else if (dup2(descriptor, target) < 0) {
        failStart("dup2");
    }
}

struct ChildSetup {
    const StartOptions* options;
    int input;
    int output;
    int error;
    int ready;
    const char* terminalName;
    const sigset_t* mask;
    const cpu_set_t* processors;  // null: the caller's
    char* const* argv;
    char* const* envp;
};

[[noreturn]] void startChild(const ChildSetup& setup) {
    const StartOptions& options = *setup.options;
    // Descriptors above the readiness descriptor may be any of ours; move
    // the sources out of the way of the targets first.
    int moved[4] = {setup.input, setup.output, setup.error, setup.ready};
    for (int& descriptor : moved) {
        if (descriptor >= 0 && descriptor <= kReadyDescriptor) {
            descriptor = fcntl(descriptor, F_DUPFD_CLOEXEC, kReadyDescriptor + 1);
            if (descriptor < 0) failStart("fcntl");
        }
    }
    placeDescriptor(moved[2], STDERR_FILENO);
    placeDescriptor(moved[1], STDOUT_FILENO);
    placeDescriptor(moved[3], kReadyDescriptor);
    if (setup.terminalName != nullptr) {
        if (setsid() < 0) failStart("setsid");
        int terminal = open(setup.terminalName, O_RDWR);
        if (terminal < 0) failStart("open terminal");
        if (ioctl(terminal, TIOCSCTTY, 0) != 0) failStart("TIOCSCTTY");
        placeDescriptor(terminal, STDIN_FILENO);
        if (terminal != STDIN_FILENO) close(terminal);
    } else {
        placeDescriptor(moved[0], STDIN_FILENO);
    }
    for (int number = 1; number <= kLastStandardSignal; ++number) {
        if (number != SIGKILL && number != SIGSTOP) (void)signal(number, SIG_DFL);
    }
    if (options.privateMountNamespace) {
        if (unshare(CLONE_NEWNS) != 0) failStart("unshare");
        if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) failStart("mount");
    }
    if (setup.processors != nullptr && sched_setaffinity(0, sizeof *setup.processors, setup.processors) != 0) {
        failStart("sched_setaffinity");
    }
    if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) failStart("chdir");
    if (options.groupId || options.userId) {
        if (setgroups(0, nullptr) != 0) failStart("setgroups");
        if (options.groupId && setgid(*options.groupId) != 0) failStart("setgid");
        if (options.userId && setuid(*options.userId) != 0) failStart("setuid");
    }
    sigprocmask(SIG_SETMASK, setup.mask, nullptr);
    execve(setup.argv[0], setup.argv, setup.envp);
    failStart(setup.argv[0]);
}

ExitState exitStateOf(int status) {
    ExitState state;
    if (WIFEXITED(status)) state.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) state.signal = WTERMSIG(status);
    return state;
}

// Whether `pid` runs the probe: its executable's name starts with "probe"
// (the file is usually deleted by then).
bool isProbe(pid_t pid) {
    char link[64];
    char target[4096];
    snprintf(link, sizeof link, "/proc/%d/exe", static_cast<int>(pid));
    ssize_t length = readlink(link, target, sizeof target - 1);
    if (length < 0) return false;
    target[length] = '\0';
    const char* name = strrchr(target, '/');
    return name != nullptr && strncmp(name + 1, "probe", 5) == 0;
}

}  // namespace

std::string describe(const ExitState& state) {
    if (state.signal != 0) return "ended by signal " + std::to_string(state.signal);
    return "exited with " + std::to_string(state.exitCode);
}

StartedLauncher::StartedLauncher(const std::vector<std::string>& argv, const StartOptions& options) {
    if (argv.empty()) throw std::invalid_argument("StartedLauncher: empty argv");
    std::vector<std::string> arguments = argv;
    std::vector<std::string> environment = composeEnvironment(options.setEnvironment, options.unsetEnvironment);
    const std::vector<char*> argumentPointers = pointersTo(arguments);
    const std::vector<char*> environmentPointers = pointersTo(environment);

    sigset_t mask;
    sigemptyset(&mask);
    for (int number : options.blockedSignals) sigaddset(&mask, number);

    int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (input < 0) fail("open /dev/null");
    output_ = makeCapture("launcher-stdout");
    if (options.standardError < 0) error_ = makeCapture("launcher-stderr");
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) fail("pipe2");
    readyRead_ = ready[0];

    // The first options.processors of the processors this process may use.
    cpu_set_t processors;
    CPU_ZERO(&processors);
    if (options.processors > 0) {
        cpu_set_t available;
        if (sched_getaffinity(0, sizeof available, &available) != 0) fail("sched_getaffinity");
        int kept = 0;
        for (int cpu = 0; cpu < CPU_SETSIZE && kept < options.processors; ++cpu) {
            if (!CPU_ISSET(cpu, &available)) continue;
            CPU_SET(cpu, &processors);
            ++kept;
        }
    }

    std::string terminalName;
    if (options.withTerminal) {
        terminal_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (terminal_ < 0 || grantpt(terminal_) != 0 || unlockpt(terminal_) != 0) fail("posix_openpt");
        terminalName = ptsname(terminal_);
    }

    ChildSetup setup{&options,
                     input,
                     output_,
                     options.standardError >= 0 ? options.standardError : error_,
                     ready[1],
                     options.withTerminal ? terminalName.c_str() : nullptr,
                     &mask,
                     options.processors > 0 ? &processors : nullptr,
                     argumentPointers.data(),
                     environmentPointers.data()};
    started_ = Clock::now();
    pid_ = fork();
    if (pid_ < 0) fail("fork");
    if (pid_ == 0) startChild(setup);
    close(input);
    close(ready[1]);
}

StartedLauncher::~StartedLauncher() {
    if (!reaped_) kill();
    for (int descriptor : {readyRead_, output_, error_, terminal_}) {
        if (descriptor >= 0) close(descriptor);
    }
}

bool StartedLauncher::waitUntilReady(Milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::string received;
    for (;;) {
        const auto left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd descriptor{readyRead_, POLLIN, 0};
        int result = poll(&descriptor, 1, static_cast<int>(left.count()));
        if (result < 0 && errno == EINTR) continue;
        if (result <= 0) return false;
        char chunk[64];
        ssize_t count = read(readyRead_, chunk, sizeof chunk);
        if (count <= 0) return false;
        received.append(chunk, static_cast<std::size_t>(count));
        if (received.find("ready\n") != std::string::npos) return true;
    }
}

void StartedLauncher::sendSignal(int number) const {
    if (!reaped_) (void)::kill(pid_, number);
}

void StartedLauncher::type(const std::string& text) const {
    if (terminal_ < 0) throw std::logic_error("the launcher has no terminal");
    if (write(terminal_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) fail("write terminal");
}

std::optional<ExitState> StartedLauncher::pollExit() {
    if (reaped_) return exit_;
    int status = 0;
    pid_t result = waitpid(pid_, &status, WNOHANG);
    if (result < 0 && errno != EINTR) fail("waitpid");
    if (result != pid_) return std::nullopt;
    reaped_ = true;
    exit_ = exitStateOf(status);
    return exit_;
}

std::optional<ExitState> StartedLauncher::waitForExit(Milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (auto state = pollExit()) return state;
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(kExitPollInterval);
    }
}

void StartedLauncher::kill() {
    if (reaped_) return;
    (void)::kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    exit_ = exitStateOf(status);
    if (!probePidFile_.empty()) {
        pid_t probe = readProbePid(probePidFile_);
        if (probe > 0 && isProbe(probe)) (void)::kill(probe, SIGKILL);
    }
}

std::string StartedLauncher::standardOutput() const { return readCapture(output_); }
std::string StartedLauncher::standardError() const { return readCapture(error_); }

std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

pid_t readProbePid(const std::string& path) {
    std::vector<std::string> lines = readLines(path);
    if (lines.empty() || lines[0].empty()) return 0;
    return static_cast<pid_t>(std::stol(lines[0]));
}

bool privateMountNamespaceAvailable() {
    pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        bool ok = unshare(CLONE_NEWNS) == 0 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool bindMountInNamespaceOf(pid_t pid, const std::string& source, const std::string& target) {
    const std::string namespacePath = "/proc/" + std::to_string(pid) + "/ns/mnt";
    pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        int space = open(namespacePath.c_str(), O_RDONLY | O_CLOEXEC);
        bool ok = space >= 0 && setns(space, CLONE_NEWNS) == 0 &&
                  mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::vector<std::string> directoryOrder(const std::string& directory) {
    std::vector<std::string> names;
    DIR* stream = opendir(directory.c_str());
    if (stream == nullptr) fail("opendir " + directory);
    while (dirent* entry = readdir(stream)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(stream);
    return names;
}

std::string blockedSystemCall(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
    std::string number;
    std::string first;
    if (!(in >> number)) return "";
    if (!(in >> first)) return number;
    return number + " " + first;
}

std::string probeVariable(const ProbeReport& report, const std::string& name) {
    return report.variable(name).value_or("");
}

bool isExtractionDirectory(const std::string& path, const std::string& tmpDir) {
    const std::string prefix = tmpDir + "/onefile_";
    if (path.compare(0, prefix.size(), prefix) != 0) return false;
    // PID, then six digits of microseconds, then an 11-character token.
    const std::string rest = path.substr(prefix.size());
    const std::size_t first = rest.find('_');
    if (first == std::string::npos || first == 0) return false;
    const std::string pid = rest.substr(0, first);
    const std::string tail = rest.substr(first + 1);
    auto digits = [](const std::string& text) {
        return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    auto tokenCharacter = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_'; };
    return digits(pid) && tail.size() == 6 + 1 + 11 && digits(tail.substr(0, 6)) && tail[6] == '_' &&
           std::all_of(tail.begin() + 7, tail.end(), tokenCharacter);
}

std::optional<std::string> entryThatFailedToOpen(const std::string& error, const std::string& tmpDir) {
    const std::string head = "Error, failed to open '";
    const std::string end = "' for writing.\n";
    if (error.size() < head.size() + end.size() || error.compare(0, head.size(), head) != 0 ||
        error.compare(error.size() - end.size(), end.size(), end) != 0) {
        return std::nullopt;
    }
    const std::string path = error.substr(head.size(), error.size() - head.size() - end.size());
    // The directory's own name has no "/"; the entry may have several.
    const std::size_t directoryEnd = path.find('/', tmpDir.size() + 1);
    if (directoryEnd == std::string::npos || !isExtractionDirectory(path.substr(0, directoryEnd), tmpDir)) {
        return std::nullopt;
    }
    return path.substr(directoryEnd + 1);
}

StartOptions SupervisionTest::startOptions() const {
    StartOptions options;
    for (const char* name : kProtocolVariables) options.unsetEnvironment.push_back(name);
    options.setEnvironment = {
        {"TMPDIR", tmpDir()},
        {"PROBE_REPORT", reportPath()},
        {"PROBE_SIGNALS", signalsPath()},
        {"PROBE_PID_FILE", probePidPath()},
        {"PROBE_READY_FD", std::to_string(kReadyDescriptor)},
    };
    options.workingDirectory = temp().path();
    return options;
}

ProbeReport SupervisionTest::readReport() const {
    std::ifstream in(reportPath());
    if (!in) return {};
    return parseProbeReport(onefile::testing::readFile(reportPath()));
}

}  // namespace onefile::e2e
