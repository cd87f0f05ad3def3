#include "tool/temporary_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tool/tool_error.h"

namespace onefile::tool {
namespace {

inline constexpr mode_t kLauncherModeBits = 0777;
// The signals that end the tool by default and are sent to end it: from the
// keyboard (INT, QUIT), from a closed terminal (HUP), or by kill (TERM).
inline constexpr int kCleanedUpSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
inline constexpr std::size_t kPendingPathBytes = 4096;

// The temporary file a termination signal has to remove; empty when there
// is none. The handler may only read it, so it is a plain buffer.
char pendingPath[kPendingPathBytes];
volatile std::sig_atomic_t pendingPathSet = 0;

extern "C" void removePendingOnSignal(int signalNumber) {
    if (pendingPathSet != 0) (void)::unlink(pendingPath);
    // Dying of the same signal tells the parent what happened.
    (void)std::signal(signalNumber, SIG_DFL);
    (void)std::raise(signalNumber);
}

sigset_t cleanedUpSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (const int signalNumber : kCleanedUpSignals) sigaddset(&signals, signalNumber);
    return signals;
}

// Holds the cleaned-up signals back while the pending path and the files
// disagree: between creating the temporary file and recording it, between
// renaming or removing it and forgetting it. A signal that came meanwhile
// is handled when the guard goes.
class SignalsHeld {
public:
    SignalsHeld() {
        const sigset_t signals = cleanedUpSignals();
        (void)::sigprocmask(SIG_BLOCK, &signals, &previous_);
    }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;
    ~SignalsHeld() { (void)::sigprocmask(SIG_SETMASK, &previous_, nullptr); }

private:
    sigset_t previous_;
};

void installHandlers() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    for (const int signalNumber : kCleanedUpSignals) {
        struct sigaction current {};
        // A signal the tool was started with ignored (nohup, a background
        // job of a shell) cannot end it and stays ignored.
        if (::sigaction(signalNumber, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = removePendingOnSignal;
        action.sa_mask = cleanedUpSignals();
        (void)::sigaction(signalNumber, &action, nullptr);
    }
}

void registerPendingPath(const std::string& path) {
    if (path.size() >= kPendingPathBytes) return;
    std::memcpy(pendingPath, path.c_str(), path.size() + 1);
    pendingPathSet = 1;
}

void forgetPendingPath() { pendingPathSet = 0; }

mode_t currentUmask() {
    const mode_t mask = ::umask(0);
    (void)::umask(mask);
    return mask;
}

}  // namespace

TemporaryOutput::TemporaryOutput(std::string outputPath) : outputPath_(std::move(outputPath)) {
    struct stat status {};
    if (::stat(outputPath_.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
        throw ToolError(outputPath_, "is a directory");
    std::string pattern = outputPath_ + ".tmp-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    installHandlers();
    const SignalsHeld held;
    fd_ = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd_ < 0) throw ToolError(outputPath_, "cannot create a temporary file beside it: " + systemErrorText(errno));
    temporaryPath_ = name.data();
    registerPendingPath(temporaryPath_);
}

TemporaryOutput::~TemporaryOutput() {
    if (committed_) return;
    if (fd_ >= 0) (void)::close(fd_);
    const SignalsHeld held;
    (void)::unlink(temporaryPath_.c_str());
    forgetPendingPath();
}

void TemporaryOutput::commit(std::optional<mode_t> mode) {
    if (::fchmod(fd_, mode.value_or(kLauncherModeBits & ~currentUmask())) != 0)
        throw ToolError(outputPath_, "cannot set the mode: " + systemErrorText(errno));
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw ToolError(outputPath_, "cannot write: " + systemErrorText(errno));
    const SignalsHeld held;
    if (::rename(temporaryPath_.c_str(), outputPath_.c_str()) != 0)
        throw ToolError(outputPath_, "cannot be put in place: " + systemErrorText(errno));
    committed_ = true;
    forgetPendingPath();
}

}  // namespace onefile::tool
