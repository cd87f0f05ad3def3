#include "tests/tool/tool_test_helpers.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/file_helpers.h"
#include "tool/payload_locate.h"

namespace onefile::testing {

// x86-64 stubs are linked for 4 KiB pages; aarch64 kernels may use pages of
// up to 64 KiB, so aarch64 stubs are linked for those.
const std::vector<BuiltStub>& builtStubs() {
    static const std::vector<BuiltStub> stubs = {
        {tool::Architecture::x86_64, ONEFILE_STUB_PATH, EM_X86_64, 4096},
        {tool::Architecture::aarch64, ONEFILE_STUB_AARCH64_PATH, EM_AARCH64, 65536},
    };
    return stubs;
}

void PrintTo(const BuiltStub& stub, std::ostream* out) {
    *out << tool::architectureName(stub.architecture) << " stub";
}

std::string archName(tool::Architecture architecture) { return std::string(tool::architectureName(architecture)); }

ProcessResult runTool(const std::vector<std::string>& arguments, const ProcessOptions& options) {
    std::vector<std::string> argv{ONEFILE_TOOL_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runProcess(argv, options);
}

std::vector<unsigned char> readBytes(const std::string& path) {
    const std::string text = readFile(path);
    return {text.begin(), text.end()};
}

std::string LauncherContents::content(std::size_t index) const {
    const tool::BlockEntryInfo& entry = entries.at(index);
    const auto* start = file.data() + blockOffset + entry.contentOffset;
    return std::string(reinterpret_cast<const char*>(start), entry.size);
}

LauncherContents readLauncher(const std::string& path) {
    LauncherContents contents;
    contents.file = readBytes(path);
    const tool::ByteSpan block = tool::findAttachedBlock(contents.file);
    contents.blockOffset = static_cast<std::uint64_t>(block.data() - contents.file.data());
    contents.blockSize = block.size();
    contents.entries = tool::readBlock(block);
    return contents;
}

std::vector<std::string> listDirectory(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& item : std::filesystem::directory_iterator(path)) names.push_back(item.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

pid_t startTool(const std::vector<std::string>& arguments, const StartOptions& options) {
    std::vector<std::string> argv{ONEFILE_TOOL_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> pointers;
    for (std::string& argument : argv) pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (child != 0) return child;

    // The child: async-signal-safe calls only, and out with status 127 when
    // a step fails.
    const int out = ::open(options.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(options.stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || ::dup2(out, STDOUT_FILENO) < 0 || ::dup2(err, STDERR_FILENO) < 0) ::_exit(127);
    const int in = ::open("/dev/null", O_RDONLY);
    if (in < 0 || ::dup2(in, STDIN_FILENO) < 0) ::_exit(127);
    if (options.addressSpaceBytes) {
        const rlimit limit{*options.addressSpaceBytes, *options.addressSpaceBytes};
        if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(127);
    }
    if (options.noCoreDump) {
        const rlimit none{0, 0};
        if (::setrlimit(RLIMIT_CORE, &none) != 0) ::_exit(127);
    }
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) (void)::signal(signalNumber, SIG_DFL);
    sigset_t nothing;
    sigemptyset(&nothing);
    (void)::sigprocmask(SIG_SETMASK, &nothing, nullptr);
    ::execv(pointers[0], pointers.data());
    ::_exit(127);
}

Ending waitWithin(pid_t pid, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    Ending ending;
    int status = 0;
    while (true) {
        const pid_t reaped = ::waitpid(pid, &status, WNOHANG);
        if (reaped < 0 && errno != EINTR) throw std::runtime_error(std::string("waitpid: ") + std::strerror(errno));
        if (reaped == pid) {
            ending.inTime = true;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            (void)::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return ending;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (WIFEXITED(status)) ending.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) ending.signal = WTERMSIG(status);
    return ending;
}

ProbeRun runProbeLauncher(const std::string& launcher, const std::string& tmpDir, const std::string& reportPath,
                          const std::string& copies, mode_t umask) {
    ProbeRun run;
    run.copies = copies;
    makeDirectories(tmpDir);
    ProcessOptions options;
    options.umask = umask;
    options.setEnvironment = {{"TMPDIR", tmpDir}, {"PROBE_REPORT", reportPath}, {"PROBE_COPY_TO", copies}};
    run.result = runProcess({launcher}, options);
    if (std::filesystem::exists(reportPath)) {
        std::istringstream lines(readFile(reportPath));
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("tree=", 0) == 0) run.tree.push_back(line.substr(5));
            if (line.rfind("directory_mode=", 0) == 0) run.directoryMode = line.substr(15);
        }
    }
    return run;
}

}  // namespace onefile::testing
