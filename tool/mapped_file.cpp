#include "tool/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "tool/tool_error.h"

namespace onefile::tool {

FileDescriptor openRegularFile(const std::string& path, struct stat& status) {
    // Without O_NONBLOCK, opening a fifo would wait for a writer that may
    // never come; for a regular file the flag changes nothing.
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid()) throw ToolError(path, "cannot be opened: " + systemErrorText(errno));
    if (::fstat(fd.get(), &status) != 0) throw ToolError(path, "cannot be examined: " + systemErrorText(errno));
    if (!S_ISREG(status.st_mode)) throw ToolError(path, "is not a regular file");
    return fd;
}

MappedFile::MappedFile(const std::string& path) {
    struct stat status {};
    fd_ = openRegularFile(path, status);
    identity_ = FileIdentity::of(status);
    size_ = static_cast<std::size_t>(status.st_size);
    // An empty file cannot be mapped; its empty span says all there is.
    if (size_ > 0) {
        address_ = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd_.get(), 0);
        if (address_ == MAP_FAILED) {
            const int errorNumber = errno;
            address_ = nullptr;
            throw ToolError(path, "cannot be read: " + systemErrorText(errorNumber));
        }
    }
}

bool MappedFile::cutShort() const {
    struct stat status {};
    return ::fstat(fd_.get(), &status) == 0 && static_cast<std::uint64_t>(status.st_size) < size_;
}

MappedFile::~MappedFile() {
    if (address_ != nullptr) (void)::munmap(address_, size_);
}

}  // namespace onefile::tool
