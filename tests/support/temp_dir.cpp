#include "tests/support/temp_dir.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace onefile::testing {
namespace {

// A test may leave directories without write or search permission; give
// them back before the removal so that it works for any user.
void restoreDirectoryPermissions(const std::filesystem::path& root) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, error);
    for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, error), end;
         !error && it != end; it.increment(error)) {
        if (it->is_directory(error) && !it->is_symlink(error))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
    }
}

}  // namespace

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/onefile-test-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr)
        throw std::runtime_error("mkdtemp " + pattern + ": " + std::strerror(errno));
    path_ = name.data();
}

TempDir::~TempDir() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
    if (error) {
        restoreDirectoryPermissions(path_);
        std::filesystem::remove_all(path_, error);
    }
}

std::string TempDir::file(const std::string& relative) const { return path_ + "/" + relative; }

}  // namespace onefile::testing
