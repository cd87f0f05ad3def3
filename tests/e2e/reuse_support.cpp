#include "tests/e2e/reuse_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace onefile::e2e {

namespace {

// The gate of startTogether: each run's shell reads one byte from a fifo
// before it becomes the launcher.
constexpr char kGateScript[] = "read -r line < \"$0\"; exec \"$@\"";
// What /proc/PID/syscall shows while the shell waits there: read (0) on
// its standard input (0x0), the fifo.
constexpr char kWaitingAtTheGate[] = "0 0x0";
constexpr auto kGateTimeout = std::chrono::seconds(30);

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

}  // namespace

bool isWorkingDirectoryName(const std::string& name) {
    if (name.size() != 29 || name[0] != '.' || name[17] != '-') return false;
    for (std::size_t i = 1; i < 17; ++i) {
        if (!isHexDigit(name[i])) return false;
    }
    return std::all_of(name.begin() + 18, name.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_'; });
}

std::vector<std::string> namesIn(const std::string& directory) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> treesIn(const std::string& directory) {
    std::vector<std::string> names = namesIn(directory);
    std::erase(names, kHoldingMark);
    return names;
}

std::string versionNameOf(const std::string& launcher) {
    const onefile::testing::ProcessResult info = runTool({"info", launcher});
    const std::string key = "\ndigest: sha256 ";
    const std::size_t at = info.out.find(key);
    if (info.exitCode != 0 || at == std::string::npos) throw std::runtime_error("onefile info: " + info.err);
    return info.out.substr(at + key.size(), 16);
}

std::string ReuseTest::packReused(const std::vector<std::string>& options, const std::string& name) {
    std::vector<std::string> all = {"--reuse"};
    all.insert(all.end(), options.begin(), options.end());
    return pack(all, name);
}

onefile::testing::ProcessOptions ReuseTest::reuseOptions() const {
    onefile::testing::ProcessOptions options;
    options.setEnvironment["XDG_CACHE_HOME"] = cacheDir();
    return options;
}

StartOptions ReuseTest::reuseStartOptions() const {
    StartOptions options = startOptions();
    options.set("XDG_CACHE_HOME", cacheDir());
    return options;
}

std::vector<std::unique_ptr<StartedLauncher>> ReuseTest::startTogether(const std::string& launcher, int count) {
    const std::string gate = temp().file("gate");
    if (mkfifo(gate.c_str(), 0600) != 0) throw std::runtime_error("mkfifo " + gate);
    // Open for reading and writing: never blocks, and the shells' opens
    // find a writer.
    const int gateDescriptor = open(gate.c_str(), O_RDWR | O_CLOEXEC);
    if (gateDescriptor < 0) throw std::runtime_error("open " + gate);
    std::vector<std::unique_ptr<StartedLauncher>> runs;
    for (int i = 0; i < count; ++i) {
        StartOptions options = reuseStartOptions();
        options.set("PROBE_REPORT", reportOf(i));
        options.unsetEnvironment.push_back("PROBE_READY_FD");
        options.unsetEnvironment.push_back("PROBE_PID_FILE");
        options.unsetEnvironment.push_back("PROBE_SIGNALS");
        std::erase_if(options.setEnvironment, [](const auto& variable) {
            return variable.first == "PROBE_READY_FD" || variable.first == "PROBE_PID_FILE" ||
                   variable.first == "PROBE_SIGNALS";
        });
        runs.push_back(std::make_unique<StartedLauncher>(
            std::vector<std::string>{"/bin/sh", "-c", kGateScript, gate, launcher}, options));
    }
    const auto deadline = std::chrono::steady_clock::now() + kGateTimeout;
    for (const auto& run : runs) {
        while (blockedSystemCall(run->pid()) != kWaitingAtTheGate) {
            if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("a run never reached the gate");
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    // One newline each: every shell reads a byte at a time.
    const std::string lines(static_cast<std::size_t>(count), '\n');
    if (write(gateDescriptor, lines.data(), lines.size()) != static_cast<ssize_t>(lines.size())) {
        throw std::runtime_error("write " + gate);
    }
    close(gateDescriptor);
    std::filesystem::remove(gate);
    return runs;
}

}  // namespace onefile::e2e
