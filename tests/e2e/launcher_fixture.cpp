#include "tests/e2e/launcher_fixture.h"

#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "tests/support/file_helpers.h"

namespace onefile::e2e {

using onefile::testing::ProcessOptions;
using onefile::testing::ProcessResult;

namespace {

constexpr char kReportPrefix[] = "report-";

// Variables of the launch protocol that the test runner itself might carry;
// a run starts without them unless the test sets them.
const char* const kProtocolVariables[] = {
    "TAVMIR_ONEFILE_START",  "TAVMIR_ONEFILE_TIME_US",   "TAVMIR_ONEFILE_RANDOM",
    "TAVMIR_ONEFILE_PARENT", "TAVMIR_ONEFILE_DIRECTORY", "TAVMIR_ORIGINAL_ARGV0",
};

std::string unescape(const std::string& value) {
    std::string text;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            ++i;
            text += value[i] == 'n' ? '\n' : value[i];
        } else {
            text += value[i];
        }
    }
    return text;
}

bool mentions(const ProcessOptions& options, const std::string& name) {
    return options.setEnvironment.count(name) != 0 ||
           std::find(options.unsetEnvironment.begin(), options.unsetEnvironment.end(), name) !=
               options.unsetEnvironment.end();
}

std::string describe(const std::vector<std::string>& arguments, const ProcessResult& result) {
    std::string text = "onefile";
    for (const std::string& argument : arguments) text += " " + argument;
    return text + " exited " + std::to_string(result.exitCode) + ": " + result.err;
}

}  // namespace

BlockBuilder& BlockBuilder::magic(const std::string& bytes) { return raw(bytes); }

BlockBuilder& BlockBuilder::file(const std::string& name, const std::string& content, std::uint8_t flags) {
    return text(name).byte(flags).number(content.size()).raw(content);
}

BlockBuilder& BlockBuilder::link(const std::string& name, const std::string& target, std::uint8_t flags) {
    return text(name).byte(flags | kLink).text(target);
}

BlockBuilder& BlockBuilder::endMark() { return byte(0); }

BlockBuilder& BlockBuilder::trailer() { return number(bytes_.size()); }

BlockBuilder& BlockBuilder::text(const std::string& value) {
    bytes_ += value;
    bytes_ += '\0';
    return *this;
}

BlockBuilder& BlockBuilder::byte(std::uint8_t value) {
    bytes_ += static_cast<char>(value);
    return *this;
}

BlockBuilder& BlockBuilder::number(std::uint64_t value) {
    for (int i = 0; i < 8; ++i) bytes_ += static_cast<char>((value >> (8 * i)) & 0xFF);
    return *this;
}

BlockBuilder& BlockBuilder::raw(const std::string& bytes) {
    bytes_ += bytes;
    return *this;
}

std::optional<std::string> ProbeReport::variable(const std::string& name) const {
    auto found = environment.find(name);
    if (found == environment.end()) return std::nullopt;
    return found->second;
}

ProbeReport parseProbeReport(const std::string& text) {
    ProbeReport report;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = line.substr(0, equals);
        const std::string value = unescape(line.substr(equals + 1));
        if (key == "self") report.self = value;
        else if (key == "arg") report.arguments.push_back(value);
        else if (key == "blocked") report.blocked = value;
        else if (key == "cwd") report.cwd = value;
        else if (key == "ppid") report.parentProcessId = std::stol(value);
        else if (key == "directory") report.directory = value;
        else if (key == "directory_mode") report.directoryMode = value;
        else if (key == "tree") report.tree.push_back(value);
        else if (key == "end") report.complete = true;
        else if (key == "env") {
            const std::size_t nameEnd = value.find('=');
            report.environment[value.substr(0, nameEnd)] =
                nameEnd == std::string::npos ? "" : value.substr(nameEnd + 1);
        }
    }
    return report;
}

std::vector<std::string> readMadeLog(const std::string& path) {
    std::vector<std::string> lines;
    std::error_code error;
    if (!std::filesystem::exists(path, error)) return lines;
    const std::string text = onefile::testing::readFile(path);
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

::testing::AssertionResult madeOnly(const std::vector<std::string>& made, const std::vector<std::string>& allowed) {
    if (made.empty() || allowed.empty() || made.front() != allowed.front()) {
        return ::testing::AssertionFailure() << "the extraction directory was not made first: "
                                             << ::testing::PrintToString(made);
    }
    for (const std::string& line : made) {
        if (std::find(allowed.begin(), allowed.end(), line) == allowed.end()) {
            return ::testing::AssertionFailure() << "made " << line << ", beyond " << ::testing::PrintToString(allowed);
        }
    }
    return ::testing::AssertionSuccess();
}

ProcessResult runTool(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{ONEFILE_TOOL_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return onefile::testing::runProcess(argv);
}

void LauncherTest::SetUp() {
    // A probe or launcher that a test crashes on purpose must not leave a
    // core file behind.
    const rlimit noCore{0, 0};
    (void)setrlimit(RLIMIT_CORE, &noCore);
    onefile::testing::makeDirectories(tmpDir());
    onefile::testing::makeDirectories(appDir());
}

void LauncherTest::TearDown() {
    if (!leftoversAllowed_) {
        EXPECT_EQ(tmpDirContents(), std::vector<std::string>{})
            << "the launcher left files in its TMPDIR " << tmpDir();
    }
}

std::string LauncherTest::addProbe(const std::string& relative) {
    const std::string path = appDir() + "/" + relative;
    onefile::testing::writeFile(path, onefile::testing::readFile(kProbePath), 0755);
    return path;
}

std::string LauncherTest::pack(const std::vector<std::string>& toolOptions, const std::string& name) {
    const std::string output = temp_.file(name);
    std::vector<std::string> arguments{"pack", appDir(), "-o", output};
    arguments.insert(arguments.end(), toolOptions.begin(), toolOptions.end());
    const ProcessResult result = runTool(arguments);
    if (result.exitCode != 0) throw std::runtime_error(describe(arguments, result));
    return output;
}

std::string LauncherTest::packWithHooks(const std::vector<std::string>& toolOptions, const std::string& name) {
    std::vector<std::string> options = toolOptions;
    options.insert(options.end(), {"--stub", kHookStubPath});
    return pack(options, name);
}

std::string LauncherTest::attach(const std::string& block, const std::vector<std::string>& toolOptions,
                                 const std::string& name) {
    const std::string blockFile = temp_.file(name + ".block");
    onefile::testing::writeFile(blockFile, block);
    const std::string output = temp_.file(name);
    std::vector<std::string> arguments{"attach", blockFile, "-o", output};
    arguments.insert(arguments.end(), toolOptions.begin(), toolOptions.end());
    const ProcessResult result = runTool(arguments);
    if (result.exitCode != 0) throw std::runtime_error(describe(arguments, result));
    return output;
}

LauncherRun LauncherTest::run(const std::vector<std::string>& argv, ProcessOptions options) {
    for (const char* name : kProtocolVariables) {
        if (!mentions(options, name)) options.unsetEnvironment.push_back(name);
    }
    if (!mentions(options, "TMPDIR")) options.setEnvironment["TMPDIR"] = tmpDir();
    if (!mentions(options, "PROBE_REPORT")) {
        options.setEnvironment["PROBE_REPORT"] = temp_.file(kReportPrefix + std::to_string(++runs_));
    }
    if (options.workingDirectory.empty()) options.workingDirectory = temp_.path();
    const std::string reportPath = options.setEnvironment.count("PROBE_REPORT")
                                       ? options.setEnvironment["PROBE_REPORT"]
                                       : std::string();

    LauncherRun run;
    run.process = onefile::testing::runProcess(argv, options);
    std::error_code error;
    if (!reportPath.empty() && std::filesystem::exists(reportPath, error)) {
        run.report = parseProbeReport(onefile::testing::readFile(reportPath));
        std::filesystem::remove(reportPath, error);
    }
    return run;
}

std::vector<std::string> LauncherTest::tmpDirContents() const {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(tmpDir(), error)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace onefile::e2e
