#include "tests/tool/terminal_run.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

namespace onefile::testing {

ProcessResult runOnTerminal(const std::vector<std::string>& arguments, std::optional<rlim_t> fileSizeBytes) {
    int master = -1;
    int replica = -1;
    struct winsize size {};
    size.ws_row = 24;
    size.ws_col = 250;
    if (::openpty(&master, &replica, nullptr, nullptr, &size) != 0)
        throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
    std::vector<std::string> argv{ONEFILE_TOOL_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> pointers;
    for (std::string& argument : argv) pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (child == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        if (::setsid() < 0 || ::ioctl(replica, TIOCSCTTY, 0) != 0 || in < 0 || ::dup2(in, STDIN_FILENO) < 0 ||
            ::dup2(replica, STDOUT_FILENO) < 0 || ::dup2(replica, STDERR_FILENO) < 0)
            ::_exit(127);
        if (fileSizeBytes) {
            const rlimit limit{*fileSizeBytes, *fileSizeBytes};
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(127);
            (void)::signal(SIGXFSZ, SIG_IGN);
        }
        ::close(master);
        ::close(replica);
        ::execv(pointers[0], pointers.data());
        ::_exit(127);
    }
    ::close(replica);
    ProcessResult result;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // EIO once the child's side is closed
        result.err.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(master);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

}  // namespace onefile::testing
