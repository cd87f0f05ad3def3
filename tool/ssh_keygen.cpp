#include "tool/ssh_keygen.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "tool/file_descriptor.h"
#include "tool/tool_error.h"

extern char** environ;

namespace onefile::tool {
namespace {

inline constexpr char kProgram[] = "ssh-keygen";
// The child finds the files on the descriptors it inherits from this one
// on, by their names in /proc.
inline constexpr int kFirstChildFileFd = 3;
inline constexpr std::size_t kReadChunkBytes = 4096;

// A file in memory holding `bytes`, read from its start.
FileDescriptor memoryFile(const char* name, std::string_view bytes) {
    FileDescriptor fd(::memfd_create(name, MFD_CLOEXEC));
    if (!fd.valid()) throw ToolError(kProgram, std::string("cannot make its input: ") + systemErrorText(errno));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) throw ToolError(kProgram, std::string("cannot make its input: ") + systemErrorText(errno));
        done += static_cast<std::size_t>(written);
    }
    if (::lseek(fd.get(), 0, SEEK_SET) != 0)
        throw ToolError(kProgram, std::string("cannot make its input: ") + systemErrorText(errno));
    return fd;
}

// Reads both pipes to their ends, whichever the child fills first.
void drain(int outputFd, int errorFd, std::string& output, std::string& errors) {
    std::array<pollfd, 2> fds{{{outputFd, POLLIN, 0}, {errorFd, POLLIN, 0}}};
    std::array<std::string*, 2> texts{&output, &errors};
    int open = 2;
    char chunk[kReadChunkBytes];
    while (open > 0) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            throw ToolError(kProgram, "cannot read its output: " + systemErrorText(errno));
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t got = ::read(fds[i].fd, chunk, sizeof chunk);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                fds[i].fd = -1;
                --open;
                continue;
            }
            texts[i]->append(chunk, static_cast<std::size_t>(got));
        }
    }
}

struct Pipe {
    FileDescriptor read;
    FileDescriptor write;
};

Pipe makePipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw ToolError(kProgram, "cannot be started: " + systemErrorText(errno));
    return {FileDescriptor(ends[0]), FileDescriptor(ends[1])};
}

}  // namespace

SshKeygenResult runSshKeygen(const std::vector<std::string>& arguments, const std::string& input,
                             const std::string& purpose, const std::vector<SshKeygenFile>& files) {
    const FileDescriptor inputFd = memoryFile("onefile-input", input);
    std::vector<FileDescriptor> fileFds;
    for (const SshKeygenFile& file : files) fileFds.push_back(memoryFile("onefile-file", file.bytes));
    Pipe output = makePipe();
    Pipe errors = makePipe();

    std::vector<std::string> words{kProgram};
    for (const std::string& argument : arguments) {
        words.push_back(argument);
        for (std::size_t i = 0; i < files.size(); ++i) {
            if (argument == files[i].placeholder)
                words.back() = "/proc/self/fd/" + std::to_string(kFirstChildFileFd + static_cast<int>(i));
        }
    }
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // dup2 clears close-on-exec on the copy the child keeps.
    posix_spawn_file_actions_adddup2(&actions, inputFd.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output.write.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errors.write.get(), STDERR_FILENO);
    for (std::size_t i = 0; i < fileFds.size(); ++i)
        posix_spawn_file_actions_adddup2(&actions, fileFds[i].get(), kFirstChildFileFd + static_cast<int>(i));
    pid_t child = 0;
    const int spawnError = ::posix_spawnp(&child, kProgram, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawnError == ENOENT)
        throw ToolError(kProgram, "not found; " + purpose +
                                      " needs it (Debian package openssh-client: apt-get install openssh-client)");
    if (spawnError != 0) throw ToolError(kProgram, "cannot be started: " + systemErrorText(spawnError));
    output.write.reset();
    errors.write.reset();

    SshKeygenResult result;
    drain(output.read.get(), errors.read.get(), result.output, result.errors);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) throw ToolError(kProgram, "cannot be waited for: " + systemErrorText(errno));
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::string lastErrorLine(const std::string& errors) {
    std::string last;
    for (std::size_t begin = 0; begin < errors.size();) {
        std::size_t end = errors.find('\n', begin);
        if (end == std::string::npos) end = errors.size();
        std::string line = errors.substr(begin, end - begin);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (!line.empty()) last = std::move(line);
        begin = end + 1;
    }
    return last.empty() ? "no reason given" : last;
}

}  // namespace onefile::tool
