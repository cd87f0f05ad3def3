// {TIME}: the time at which the run began.
#include <sys/time.h>

#include <cstdio>
#include <cstdlib>

#include "runtime/launch_variables.h"
#include "templates/placeholder_routines.h"

namespace onefile {

namespace {

// Room for two formatted longs, their signs and the underscore.
constexpr std::size_t kStartTimeTextBytes = 64;

}  // namespace

bool insertStartTime(TemplateOutput& output) {
    // Like {TIME_US}, the first use exports its value, so later uses in this
    // run and in the child insert the same text.
    const char* remembered = getenv("TAVMIR_ONEFILE_START");
    if (remembered != nullptr) {
        appendPlaceholderValue(output, remembered, false);
        return true;
    }
    timeval now{};
    (void)gettimeofday(&now, nullptr);
    // The microseconds carry no leading zeros here, unlike {TIME_US}.
    char startTime[kStartTimeTextBytes];
    snprintf(startTime, sizeof startTime, "%ld_%ld", static_cast<long>(now.tv_sec),
             static_cast<long>(now.tv_usec));
    setLaunchVariable("TAVMIR_ONEFILE_START", startTime);
    appendPlaceholderValue(output, startTime, false);
    return true;
}

}  // namespace onefile
