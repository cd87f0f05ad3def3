// What stayed of a directory tree that a removal could not empty: the
// entries that were not removed, without the directories that stayed only
// because they hold them, so that a user sees what to look at.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace onefile::tool {

struct RemovalLeftovers {
    // At most the first `kNamed` of them in path order, each as a path
    // below the tree's path, with why it stayed where that is known:
    // "out/mnt (another file system)", "out/locked (cannot be read)".
    std::vector<std::string> named;
    std::size_t count = 0;  // all of them

    static constexpr std::size_t kNamed = 5;
};

// Walks what is left below the directory at `path` without following a
// link or entering another file system. Empty when nothing is left.
RemovalLeftovers findRemovalLeftovers(const std::string& path);

// "out/a, out/b and 3 more".
std::string describeRemovalLeftovers(const RemovalLeftovers& leftovers);

}  // namespace onefile::tool
