// A settable time of day for unit tests. Linking fake_clock.cpp into a test
// binary replaces the system library's gettimeofday for the whole binary;
// while no time is set it reports the real clock.
#pragma once

#include <sys/time.h>

namespace onefile::testing {

// From now on gettimeofday reports exactly this time.
void setFakeTimeOfDay(long seconds, long microseconds);

// Back to the real clock.
void clearFakeTimeOfDay();

}  // namespace onefile::testing
