// An owned file descriptor, and what tells one file from another: the
// device and inode number, whatever names lead to it.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace onefile::tool {

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release() { return std::exchange(fd_, -1); }
    void reset() {
        if (fd_ >= 0) (void)::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;

    static FileIdentity of(const struct stat& status) { return {status.st_dev, status.st_ino}; }
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

}  // namespace onefile::tool
