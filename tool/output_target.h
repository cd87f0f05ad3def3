// Where a command's output would land, found before anything is written, so
// that an output that would replace one of the command's own inputs, or lie
// inside the application directory it reads, is refused instead of written.
// Places compare by identity (device and inode), not by spelling: links,
// "..", hard links and other mounts of the same directory are seen through.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tool/file_descriptor.h"

namespace onefile::tool {

class OutputTarget {
public:
    // Examines `outputPath`: the file it names now, if any, and the directory
    // it would go into with every directory above it. A directory that
    // cannot be reached is left for creating the output to report.
    explicit OutputTarget(std::string outputPath);

    // Throws "OUTPUT: output is WHAT" when the output names `file`.
    void refuseIfItIs(const FileIdentity& file, const std::string& what) const;

    // Throws "OUTPUT: output would be inside the application directory DIR"
    // when `directory` is the one the output goes into or any above it.
    void refuseIfInside(const FileIdentity& directory, const std::string& directoryPath) const;

private:
    std::string path_;
    std::optional<FileIdentity> existing_;
    std::vector<FileIdentity> directories_;  // the output's directory first, up to the root
};

}  // namespace onefile::tool
