#include "tool/output_target.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>

#include "tool/tool_error.h"

namespace onefile::tool {
namespace {

// Deeper than any real directory tree; only bounds a walk that would not end.
inline constexpr std::size_t kMostLevels = 4096;

// The directory `path` would be created in, as given: "." for a bare name.
std::string directoryOf(const std::string& path) {
    std::size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') --end;
    const std::size_t slash = path.rfind('/', end - 1);
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

OutputTarget::OutputTarget(std::string outputPath) : path_(std::move(outputPath)) {
    struct stat status {};
    if (::stat(path_.c_str(), &status) == 0) existing_ = FileIdentity::of(status);

    // Up through ".." from the directory itself: what is above it, not what
    // its spelling says, and across mount points as the kernel sees them.
    FileDescriptor level(::open(directoryOf(path_).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    while (level.valid() && directories_.size() < kMostLevels) {
        if (::fstat(level.get(), &status) != 0) break;
        const FileIdentity identity = FileIdentity::of(status);
        if (!directories_.empty() && directories_.back() == identity) break;  // the root is its own parent
        directories_.push_back(identity);
        level = FileDescriptor(::openat(level.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
}

void OutputTarget::refuseIfItIs(const FileIdentity& file, const std::string& what) const {
    if (existing_ && *existing_ == file) throw ToolError(path_, "output is " + what);
}

void OutputTarget::refuseIfInside(const FileIdentity& directory, const std::string& directoryPath) const {
    if (std::find(directories_.begin(), directories_.end(), directory) != directories_.end())
        throw ToolError(path_, "output would be inside the application directory " + directoryPath);
}

}  // namespace onefile::tool
