// Fuzz target: expandTemplate on arbitrary templates, capacities from 1 to
// 4096 and arbitrary values of every variable it reads, the program path,
// product name and version string included. Each run is compared with the
// reference model (template_model.h): the outcome, the exact output (also on
// false and at a stop, which must come before anything of the value is
// written), the environment afterwards and the form of generated values.
// The output buffer is a heap block of exactly `capacity` bytes, so a write
// past it is caught by AddressSanitizer.
//
// Input: lines "NAME=VALUE". NAME is capacity (decimal; 0 or missing means
// 4096, larger values wrap into 1..4096), template, program, product,
// version, or one of the variables TMPDIR, HOME, XDG_CACHE_HOME,
// TAVMIR_ONEFILE_PARENT, TAVMIR_ONEFILE_TIME_US, TAVMIR_ONEFILE_RANDOM,
// TAVMIR_ONEFILE_START, which are unset unless a line sets them. Values end
// at the line's end or at a NUL byte; other lines are ignored.
#include <pwd.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "format/launcher_config.h"
#include "fuzz/template_model.h"
#include "runtime/fatal_stops.h"
#include "runtime/launcher_state.h"
#include "templates/expand_template.h"
#include "tests/support/fake_launcher_section.h"
#include "tests/support/fake_program_path.h"

namespace {

using onefile::fuzz::Environment;
using onefile::fuzz::ExpansionOutcome;

constexpr std::size_t kLargestCapacity = onefile::kPathBufferBytes;
constexpr std::size_t kLongestProgramPath = onefile::kPathBufferBytes - 1;
constexpr std::size_t kLongestDiagnostic = 240;

struct Case {
    std::size_t capacity = kLargestCapacity;
    std::string templateText;
    std::string programPath;
    std::string productName = "Merowin";
    std::string versionString = "0.13.1";
    Environment environment;
};

bool isTemplateVariable(std::string_view name) {
    for (const char* variable : onefile::fuzz::kTemplateVariables) {
        if (name == variable) return true;
    }
    return false;
}

std::size_t parseCapacity(std::string_view text) {
    std::size_t value = 0;
    for (std::size_t i = 0; i < text.size() && i < 9 && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10 + static_cast<std::size_t>(text[i] - '0');
    if (value == 0) return kLargestCapacity;
    return (value - 1) % kLargestCapacity + 1;
}

Case parseCase(const std::uint8_t* data, std::size_t size) {
    Case result;
    for (const char* name : onefile::fuzz::kTemplateVariables) result.environment[name] = std::nullopt;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        const std::string_view key = line.substr(0, equals);
        std::string_view value = line.substr(equals + 1);
        value = value.substr(0, value.find('\0'));
        if (key == "capacity") {
            result.capacity = parseCapacity(value);
        } else if (key == "template") {
            result.templateText = value;
        } else if (key == "program") {
            result.programPath = value.substr(0, kLongestProgramPath);
        } else if (key == "product") {
            result.productName = value.substr(0, onefile::kProductNameBytes - 1);
        } else if (key == "version") {
            result.versionString = value.substr(0, onefile::kVersionStringBytes - 1);
        } else if (isTemplateVariable(key)) {
            result.environment[std::string(key)] = std::string(value);
        }
    }
    return result;
}

void applyCase(const Case& c) {
    for (const auto& [name, value] : c.environment) {
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
    onefile::testing::setFakeProgramPath(c.programPath.c_str());
    onefile::testing::setFakeProductName(c.productName.c_str());
    onefile::testing::setFakeVersionString(c.versionString.c_str());
}

Environment readEnvironment() {
    Environment environment;
    for (const char* name : onefile::fuzz::kTemplateVariables) {
        const char* value = getenv(name);
        environment[name] = value ? std::optional<std::string>(value) : std::nullopt;
    }
    return environment;
}

// The password database does not change while the fuzzer runs.
const std::optional<std::string>& passwordHome() {
    static const std::optional<std::string> home = []() -> std::optional<std::string> {
        const passwd* entry = getpwuid(getuid());
        if (entry == nullptr || entry->pw_dir == nullptr) return std::nullopt;
        return std::string(entry->pw_dir);
    }();
    return home;
}

// The stops of the launcher end the process; here they jump back to the
// harness, which is armed only while the expansion runs.
std::jmp_buf stopLanding;
bool stopArmed = false;
int stopExitStatus = 0;
constexpr int kLandedOnLimit = 1;
constexpr int kLandedOnExit = 2;
ExpansionOutcome landedOutcome;

// The expansion's messages (the malformed-parent stop prints one) do not
// belong in the fuzzer's log.
FILE* silentStream() {
    static FILE* stream = fopen("/dev/null", "w");
    return stream;
}

ExpansionOutcome runExpansion(char* buffer, const char* templateText, std::size_t capacity) {
    FILE* const savedStderr = stderr;
    stderr = silentStream();
    stopExitStatus = 0;
    const int landed = setjmp(stopLanding);
    if (landed == 0) {
        stopArmed = true;
        const bool expanded = onefile::expandTemplate(buffer, templateText, capacity);
        landedOutcome = expanded ? ExpansionOutcome::expanded : ExpansionOutcome::failed;
    } else if (landed == kLandedOnLimit) {
        landedOutcome = ExpansionOutcome::stoppedOnLimit;
    } else {
        landedOutcome = ExpansionOutcome::stoppedOnParent;
    }
    stopArmed = false;
    stderr = savedStderr;
    return landedOutcome;
}

std::string printable(const std::string& text) {
    std::string shown;
    for (const char c : text.substr(0, kLongestDiagnostic)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f && c != '\\') {
            shown += c;
        } else {
            char escaped[5];
            snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            shown += escaped;
        }
    }
    if (text.size() > kLongestDiagnostic) shown += "... (" + std::to_string(text.size()) + " bytes)";
    return shown;
}

std::string printable(const std::optional<std::string>& value) {
    return value ? "'" + printable(*value) + "'" : std::string("unset");
}

[[noreturn]] void reportMismatch(const Case& c, const std::string& what) {
    fprintf(stderr, "template expansion: %s\n  template '%s', capacity %zu\n", what.c_str(),
            printable(c.templateText).c_str(), c.capacity);
    for (const auto& [name, value] : c.environment)
        fprintf(stderr, "  %s %s\n", name.c_str(), printable(value).c_str());
    fprintf(stderr, "  program '%s', product '%s', version '%s'\n", printable(c.programPath).c_str(),
            printable(c.productName).c_str(), printable(c.versionString).c_str());
    abort();
}

}  // namespace

namespace onefile {

void stopOnBrokenLimit(const char*) {
    if (!stopArmed) abort();
    std::longjmp(stopLanding, kLandedOnLimit);
}

}  // namespace onefile

extern "C" [[noreturn]] void __real_exit(int status);

// The stop for a malformed TAVMIR_ONEFILE_PARENT calls exit directly.
extern "C" [[noreturn]] void __wrap_exit(int status) {
    if (stopArmed) {
        stopExitStatus = status;
        std::longjmp(stopLanding, kLandedOnExit);
    }
    __real_exit(status);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Case c = parseCase(data, size);
    applyCase(c);

    onefile::fuzz::ModelInputs inputs;
    inputs.capacity = c.capacity;
    // The scanner reads the template as a C string.
    inputs.templateText = c.templateText.c_str();
    inputs.programPath = c.programPath;
    inputs.productName = c.productName;
    inputs.versionString = c.versionString;
    inputs.processId = static_cast<int>(getpid());
    inputs.passwordHome = passwordHome();
    inputs.before = readEnvironment();

    char* const buffer = new char[c.capacity];
    memset(buffer, '#', c.capacity);
    const ExpansionOutcome outcome = runExpansion(buffer, inputs.templateText.c_str(), c.capacity);
    inputs.after = readEnvironment();

    if (memchr(buffer, '\0', c.capacity) == nullptr)
        reportMismatch(c, "the output is not NUL-terminated within the capacity");
    const std::string produced(buffer);
    delete[] buffer;

    // The launcher's stops end it with its fatal status.
    if (outcome == ExpansionOutcome::stoppedOnParent && stopExitStatus != onefile::kFatalExitStatus)
        reportMismatch(c, "the expansion called exit(" + std::to_string(stopExitStatus) + ")");
    const onefile::fuzz::ModelResult expected = onefile::fuzz::modelExpansion(inputs);
    if (outcome != expected.outcome)
        reportMismatch(c, std::string("outcome ") + outcomeName(outcome) + ", expected " +
                              outcomeName(expected.outcome) + "\n  output '" + printable(produced) +
                              "'\n  model  '" + printable(expected.output) + "'");
    if (produced != expected.output)
        reportMismatch(c, std::string("after ") + outcomeName(outcome) + " the output is '" +
                              printable(produced) + "', expected '" + printable(expected.output) + "'");
    for (const std::string& problem : expected.problems) reportMismatch(c, problem);
    for (const auto& [name, value] : expected.environment) {
        if (inputs.after.at(name) != value)
            reportMismatch(c, name + " is " + printable(inputs.after.at(name)) + " afterwards, expected " +
                                  printable(value));
    }
    return 0;
}
