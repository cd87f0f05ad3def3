#include "tests/support/file_helpers.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace onefile::testing {
namespace {

[[noreturn]] void fail(const std::string& what, const std::string& path) {
    throw std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

void makeParentDirectories(const std::string& path) {
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) makeDirectories(parent.string());
}

}  // namespace

void makeDirectories(const std::string& path) {
    std::error_code error;
    std::filesystem::create_directories(path, error);
    if (error) throw std::runtime_error("mkdir " + path + ": " + error.message());
}

void writeFile(const std::string& path, const std::string& content, mode_t mode) {
    makeParentDirectories(path);
    {
        std::ofstream stream(path, std::ios::binary | std::ios::trunc);
        stream.write(content.data(), static_cast<std::streamsize>(content.size()));
        if (!stream.flush()) fail("write", path);
    }
    if (::chmod(path.c_str(), mode) != 0) fail("chmod", path);
}

void makeSymlink(const std::string& target, const std::string& linkPath) {
    makeParentDirectories(linkPath);
    if (::symlink(target.c_str(), linkPath.c_str()) != 0) fail("symlink", linkPath);
}

std::string readFile(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream) fail("open", path);
    std::ostringstream content;
    content << stream.rdbuf();
    return content.str();
}

}  // namespace onefile::testing
