#include "tool/removal_leftovers.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace onefile::tool {
namespace {

namespace fs = std::filesystem;

void record(RemovalLeftovers& leftovers, const std::string& entry) {
    if (leftovers.named.size() < RemovalLeftovers::kNamed) leftovers.named.push_back(entry);
    ++leftovers.count;
}

// Records what stayed below the directory `directory` of the device
// `device`, in path order; false when it holds nothing.
bool walk(const std::string& directory, dev_t device, RemovalLeftovers& leftovers) {
    std::error_code error;
    std::vector<std::string> names;
    for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error))
        names.push_back(it->path().filename().string());
    if (error) {
        record(leftovers, directory + " (cannot be read)");
        return true;
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string path = directory + "/" + name;
        struct stat status {};
        if (::lstat(path.c_str(), &status) != 0) continue;  // gone meanwhile
        if (!S_ISDIR(status.st_mode)) record(leftovers, path);
        else if (status.st_dev != device) record(leftovers, path + " (another file system)");
        // A directory that stayed empty could not be removed itself.
        else if (!walk(path, device, leftovers)) record(leftovers, path);
    }
    return !names.empty();
}

}  // namespace

RemovalLeftovers findRemovalLeftovers(const std::string& path) {
    RemovalLeftovers leftovers;
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) (void)walk(path, status.st_dev, leftovers);
    return leftovers;
}

std::string describeRemovalLeftovers(const RemovalLeftovers& leftovers) {
    std::string text;
    for (std::size_t i = 0; i < leftovers.named.size(); ++i) {
        if (i != 0) text += i + 1 == leftovers.named.size() && leftovers.count == leftovers.named.size() ? " and " : ", ";
        text += leftovers.named[i];
    }
    if (leftovers.count > leftovers.named.size())
        text += " and " + std::to_string(leftovers.count - leftovers.named.size()) + " more";
    return text;
}

}  // namespace onefile::tool
