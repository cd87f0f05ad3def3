#include "tests/support/fake_clock.h"

#include <time.h>

namespace {

bool fakeTimeSet = false;
timeval fakeTime{};

}  // namespace

// Defined in the test binary, this definition takes the place of the system
// library's for every caller linked into it. The real clock is read through
// clock_gettime, which the fake does not replace.
extern "C" int gettimeofday(struct timeval* __restrict time, void* __restrict) noexcept {
    if (fakeTimeSet) {
        *time = fakeTime;
        return 0;
    }
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) return -1;
    time->tv_sec = now.tv_sec;
    time->tv_usec = now.tv_nsec / 1000;
    return 0;
}

namespace onefile::testing {

void setFakeTimeOfDay(long seconds, long microseconds) {
    fakeTime.tv_sec = seconds;
    fakeTime.tv_usec = microseconds;
    fakeTimeSet = true;
}

void clearFakeTimeOfDay() { fakeTimeSet = false; }

}  // namespace onefile::testing
