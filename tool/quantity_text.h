// Numbers as the tool shows them to a person: counts with thousands
// separators, sizes in decimal units, durations in seconds.
#pragma once

#include <cstdint>
#include <string>

namespace onefile::tool {

// "1,194".
std::string describeCount(std::uint64_t count);

// "512 bytes", "1 byte", "16.1 kB", "45.2 MB", "1.3 GB": decimal units, as
// file managers and df -H count, one digit after the point.
std::string describeBytes(std::uint64_t bytes);

// "0.4 s", "12.5 s", "3 min 05 s", "2 h 07 min".
std::string describeSeconds(double seconds);

}  // namespace onefile::tool
