// What the onefile tool tests share: running the built tool, and reading a
// launcher's block back with the tool's own reader.
#pragma once

#include <string>
#include <vector>

#include "build/tool/block_reader.h"
#include "tests/support/run_process.h"

namespace onefile::testing {

// Runs the built onefile tool with `arguments`.
ProcessResult runTool(const std::vector<std::string>& arguments, const ProcessOptions& options = {});

// The bytes of a file as unsigned chars.
std::vector<unsigned char> readBytes(const std::string& path);

// The entries of the launcher at `path`, and the block they were read from.
struct LauncherContents {
    std::vector<unsigned char> file;
    std::uint64_t blockOffset = 0;
    std::uint64_t blockSize = 0;
    std::vector<tool::BlockEntryInfo> entries;

    // The content bytes of file entry `index`.
    std::string content(std::size_t index) const;
};
LauncherContents readLauncher(const std::string& path);

// Names in a directory, sorted; for checking that a refusal left nothing.
std::vector<std::string> listDirectory(const std::string& path);

}  // namespace onefile::testing
