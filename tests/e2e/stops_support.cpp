#include "tests/e2e/stops_support.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace onefile::e2e {
namespace {

using Clock = std::chrono::steady_clock;

// How often a wait for a record line looks again.
constexpr auto kLinePollInterval = Milliseconds(2);

}  // namespace

std::string findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream directories(path != nullptr ? path : "");
    for (std::string directory; std::getline(directories, directory, ':');) {
        if (directory.empty()) continue;
        const std::string candidate = directory + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

bool envIgnoresSignals(std::string* reason) {
    if (findProgram("env").empty() || findProgram("true").empty()) {
        *reason = "env or true is not on PATH";
        return false;
    }
    const onefile::testing::ProcessResult probe = onefile::testing::runProcess({"env", "--ignore-signal=2", "true"});
    if (probe.exitCode != 0) {
        *reason = "env cannot start a program with a signal ignored (--ignore-signal): " + probe.err;
        return false;
    }
    return true;
}

std::vector<std::string> ignoring(const std::vector<int>& ignored, const std::vector<std::string>& argv) {
    std::vector<std::string> arguments{findProgram("env")};
    if (!ignored.empty()) {
        std::string list;
        for (int number : ignored) list += (list.empty() ? "" : ",") + std::to_string(number);
        arguments.push_back("--ignore-signal=" + list);
    }
    arguments.insert(arguments.end(), argv.begin(), argv.end());
    return arguments;
}

long long signalMaskLine(const std::string& status, const std::string& key) {
    std::istringstream lines(status);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, key.size() + 1, key + ":") != 0) continue;
        return std::stoll(line.substr(key.size() + 1), nullptr, 16);
    }
    return -1;
}

long long maskOf(const std::vector<int>& numbers) {
    long long mask = 0;
    for (int number : numbers) mask |= 1LL << (number - 1);
    return mask;
}

bool waitForLine(const std::string& path, const std::string& line, Milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        for (const std::string& present : readLines(path)) {
            if (present == line) return true;
        }
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kLinePollInterval);
    }
}

std::string processState(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat)) return "";
    // "PID (NAME) STATE ...": the name may hold spaces and parentheses.
    const std::size_t end = stat.rfind(')');
    if (end == std::string::npos || end + 2 >= stat.size()) return "";
    return stat.substr(end + 2, 1);
}

void endLeftoverProbe(const std::string& pidFile) {
    const pid_t probe = readProbePid(pidFile);
    if (probe <= 0) return;
    // The probe of this test: it was told to write its id to this file.
    std::ifstream environment("/proc/" + std::to_string(probe) + "/environ");
    const std::string wanted = "PROBE_PID_FILE=" + pidFile;
    for (std::string variable; std::getline(environment, variable, '\0');) {
        if (variable == wanted) {
            (void)kill(probe, SIGKILL);
            return;
        }
    }
}

void StopsTest::SetUp() {
    SupervisionTest::SetUp();
    addProbe();
    launcher_ = pack({"--main", "probe"});
}

void StopsTest::TearDown() {
    endLeftoverProbe(probePidPath());
    SupervisionTest::TearDown();
}

std::vector<std::string> inPrivateMountNamespace(const std::string& script,
                                                 const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{"unshare"};
    if (geteuid() != 0) argv.insert(argv.end(), {"--user", "--map-root-user"});
    argv.insert(argv.end(), {"--mount", "--propagation", "private", "sh", "-c", script, "onefile-stops"});
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
}

std::string namespaceSkipReason(const onefile::testing::ProcessResult& result) {
    if (result.exitCode == kMountFailedStatus) return "no mount in a private mount namespace: " + result.err;
    // unshare reports its own failures (no namespaces for this user, or no
    // unshare at all) under its name.
    if (result.exitCode != 0 && result.err.rfind("unshare", 0) == 0) return result.err;
    return "";
}

}  // namespace onefile::e2e
