// The line pack ends with on a terminal: what it wrote and how long it took.
#pragma once

#include <cstdint>
#include <string>

namespace onefile::tool {

struct PackedLauncher {
    std::string output;  // as the command line named it
    std::uint64_t files = 0;
    std::uint64_t links = 0;
    std::uint64_t unpackedBytes = 0;  // the files' content
    std::uint64_t launcherBytes = 0;
    bool compressed = false;
    double seconds = 0;
};

// "onefile: wrote app.run: 1,194 files, 3 links, 45.2 MB unpacked, 16.1 MB
// launcher (0.36), 1.9 s": the ratio of launcher to unpacked size only for a
// compressed launcher, where it tells what compression gained.
std::string describePackedLauncher(const PackedLauncher& launcher);

}  // namespace onefile::tool
