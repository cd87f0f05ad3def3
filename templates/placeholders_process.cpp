// The placeholders of the build's directory template: {TEMP}, {PID},
// {TIME_US} and {RANDOM}.
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "runtime/fatal_stops.h"
#include "runtime/launch_variables.h"
#include "templates/placeholder_routines.h"
#include "templates/random_token.h"

namespace onefile {

namespace {

constexpr char kDefaultTemporaryDirectory[] = "/tmp";
// Room for any formatted int or long and its sign.
constexpr std::size_t kNumberTextBytes = 32;

// A TAVMIR_ONEFILE_PARENT that is not a plain decimal number would name some
// other launcher's directory: the launcher stops as for a broken limit, with
// exit status 2 and no cleanup.
[[noreturn]] void stopOnMalformedParent() {
    fprintf(stderr, "Error, TAVMIR_ONEFILE_PARENT is not a process id.\n");
    exit(kFatalExitStatus);
}

bool consistsOfDigits(const char* text) {
    if (*text == '\0') return false;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return false;
    }
    return true;
}

}  // namespace

bool insertTemporaryDirectory(TemplateOutput& output) {
    // A set TMPDIR counts whatever it holds: an empty one is not replaced by
    // "/tmp", so it names a path below the root.
    const char* directory = getenv("TMPDIR");
    if (directory == nullptr) directory = kDefaultTemporaryDirectory;
    appendPlaceholderValue(output, directory, true);
    return true;
}

bool insertProcessId(TemplateOutput& output) {
    // The launcher sets TAVMIR_ONEFILE_PARENT to its own id before expanding,
    // and the child inherits it, so both name the same directory. The text is
    // inserted as it stands: leading zeros stay.
    const char* parent = getenv("TAVMIR_ONEFILE_PARENT");
    if (parent != nullptr) {
        if (!consistsOfDigits(parent)) stopOnMalformedParent();
        appendPlaceholderValue(output, parent, false);
        return true;
    }
    char processId[kNumberTextBytes];
    snprintf(processId, sizeof processId, "%d", static_cast<int>(getpid()));
    appendPlaceholderValue(output, processId, false);
    return true;
}

bool insertTimeMicroseconds(TemplateOutput& output) {
    // The variable is the memory of the run: later uses and the child see the
    // value that the first use produced, even an empty one.
    const char* remembered = getenv("TAVMIR_ONEFILE_TIME_US");
    if (remembered != nullptr) {
        appendPlaceholderValue(output, remembered, false);
        return true;
    }
    timeval now{};
    (void)gettimeofday(&now, nullptr);
    char microseconds[kNumberTextBytes];
    snprintf(microseconds, sizeof microseconds, "%06ld", static_cast<long>(now.tv_usec));
    setLaunchVariable("TAVMIR_ONEFILE_TIME_US", microseconds);
    appendPlaceholderValue(output, microseconds, false);
    return true;
}

bool insertRandomToken(TemplateOutput& output) {
    const char* remembered = getenv("TAVMIR_ONEFILE_RANDOM");
    if (remembered != nullptr) {
        appendPlaceholderValue(output, remembered, false);
        return true;
    }
    char token[kRandomTokenLength + 1];
    makeRandomToken(token);
    setLaunchVariable("TAVMIR_ONEFILE_RANDOM", token);
    appendPlaceholderValue(output, token, false);
    return true;
}

}  // namespace onefile
