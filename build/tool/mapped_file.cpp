#include "build/tool/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "build/tool/tool_error.h"

namespace onefile::tool {

MappedFile::MappedFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw ToolError(path, "cannot be opened: " + systemErrorText(errno));
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        const int errorNumber = errno;
        (void)::close(fd);
        throw ToolError(path, S_ISREG(status.st_mode) ? "cannot be examined: " + systemErrorText(errorNumber)
                                                      : std::string("is not a regular file"));
    }
    size_ = static_cast<std::size_t>(status.st_size);
    // An empty file cannot be mapped; its empty span says all there is.
    if (size_ > 0) {
        address_ = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
        if (address_ == MAP_FAILED) {
            const int errorNumber = errno;
            address_ = nullptr;
            (void)::close(fd);
            throw ToolError(path, "cannot be read: " + systemErrorText(errorNumber));
        }
    }
    (void)::close(fd);
}

MappedFile::~MappedFile() {
    if (address_ != nullptr) (void)::munmap(address_, size_);
}

}  // namespace onefile::tool
