#include "tests/support/run_process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

#include "tests/support/environment.h"

namespace onefile::testing {
namespace {

inline constexpr int kExecFailedStatus = 127;
inline constexpr std::size_t kReadChunkBytes = 65536;

struct Pipe {
    int read = -1;
    int write = -1;
};

Pipe makePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    return {fds[0], fds[1]};
}

void closeIfOpen(int& fd) {
    if (fd >= 0) (void)::close(fd);
    fd = -1;
}

// Runs in the child between fork and exec: async-signal-safe calls only.
[[noreturn]] void startChild(const ProcessOptions& options, const cpu_set_t* processors, const Pipe& input,
                             const Pipe& output, const Pipe& error, char* const* argv, char* const* envp) {
    auto failStep = [](const char* step) {
        const char* reason = std::strerror(errno);
        (void)!::write(STDERR_FILENO, step, std::strlen(step));
        (void)!::write(STDERR_FILENO, ": ", 2);
        (void)!::write(STDERR_FILENO, reason, std::strlen(reason));
        (void)!::write(STDERR_FILENO, "\n", 1);
        ::_exit(kExecFailedStatus);
    };
    if (::dup2(error.write, STDERR_FILENO) < 0) ::_exit(kExecFailedStatus);
    if (::dup2(input.read, STDIN_FILENO) < 0 || ::dup2(output.write, STDOUT_FILENO) < 0) failStep("dup2");
    // The parent ignores SIGPIPE while it feeds standard input; an ignored
    // signal would stay ignored across exec.
    (void)::signal(SIGPIPE, SIG_DFL);
    if (options.umask) (void)::umask(*options.umask);
    if (!options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0) failStep("chdir");
    if (options.groupId || options.userId) {
        if (::setgroups(0, nullptr) != 0) failStep("setgroups");
        if (options.groupId && ::setgid(*options.groupId) != 0) failStep("setgid");
        if (options.userId && ::setuid(*options.userId) != 0) failStep("setuid");
    }
    if (processors != nullptr && ::sched_setaffinity(0, sizeof *processors, processors) != 0)
        failStep("sched_setaffinity");
    if (options.addressSpaceBytes) {
        const rlimit limit{*options.addressSpaceBytes, *options.addressSpaceBytes};
        if (::setrlimit(RLIMIT_AS, &limit) != 0) failStep("setrlimit");
    }
    ::execvpe(argv[0], argv, envp);
    failStep(argv[0]);
    ::_exit(kExecFailedStatus);
}

void exchangeWithChild(const std::string& stdinText, int stdinFd, int stdoutFd, int stderrFd, ProcessResult& result) {
    std::size_t written = 0;
    if (stdinText.empty()) closeIfOpen(stdinFd);
    char chunk[kReadChunkBytes];
    while (stdinFd >= 0 || stdoutFd >= 0 || stderrFd >= 0) {
        pollfd fds[3] = {{stdinFd, POLLOUT, 0}, {stdoutFd, POLLIN, 0}, {stderrFd, POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
        }
        if (stdinFd >= 0 && fds[0].revents != 0) {
            const ssize_t n = ::write(stdinFd, stdinText.data() + written, stdinText.size() - written);
            if (n > 0) written += static_cast<std::size_t>(n);
            if (n < 0 && errno != EINTR && errno != EAGAIN) written = stdinText.size();  // child gone
            if (written == stdinText.size()) closeIfOpen(stdinFd);
        }
        for (int i = 1; i < 3; ++i) {
            int& fd = i == 1 ? stdoutFd : stderrFd;
            if (fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n > 0) (i == 1 ? result.out : result.err).append(chunk, static_cast<std::size_t>(n));
            else if (n == 0 || errno != EINTR) closeIfOpen(fd);
        }
    }
}

// The first `count` of the processors this process may use.
cpu_set_t firstProcessors(int count) {
    cpu_set_t available;
    if (::sched_getaffinity(0, sizeof available, &available) != 0)
        throw std::runtime_error(std::string("sched_getaffinity: ") + std::strerror(errno));
    cpu_set_t chosen;
    CPU_ZERO(&chosen);
    for (int cpu = 0, kept = 0; cpu < CPU_SETSIZE && kept < count; ++cpu) {
        if (!CPU_ISSET(cpu, &available)) continue;
        CPU_SET(cpu, &chosen);
        ++kept;
    }
    return chosen;
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
    if (argv.empty()) throw std::invalid_argument("runProcess: empty argv");
    std::vector<std::string> arguments = argv;
    std::vector<std::string> environment = composeEnvironment(options.setEnvironment, options.unsetEnvironment);
    const std::vector<char*> argumentPointers = pointersTo(arguments);
    const std::vector<char*> environmentPointers = pointersTo(environment);
    (void)::signal(SIGPIPE, SIG_IGN);
    const cpu_set_t processors = options.processors > 0 ? firstProcessors(options.processors) : cpu_set_t{};

    Pipe input = makePipe();
    Pipe output = makePipe();
    Pipe error = makePipe();
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (child == 0) {
        startChild(options, options.processors > 0 ? &processors : nullptr, input, output, error,
                   argumentPointers.data(), environmentPointers.data());
    }

    closeIfOpen(input.read);
    closeIfOpen(output.write);
    closeIfOpen(error.write);
    ProcessResult result;
    exchangeWithChild(options.stdinText, input.write, output.read, error.read, result);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error(std::string("waitpid: ") + std::strerror(errno));
    }
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

}  // namespace onefile::testing
