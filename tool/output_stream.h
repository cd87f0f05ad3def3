// Sequential output to a file descriptor: small pieces gather in a buffer;
// file contents go from file to file inside the kernel where the output
// stands on a page boundary, through the buffer elsewhere.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace onefile::tool {

class OutputStream {
public:
    // `fd` is written from its current offset, which must be 0; `displayName`
    // names the output in error messages.
    OutputStream(int fd, std::string displayName);
    OutputStream(const OutputStream&) = delete;
    OutputStream& operator=(const OutputStream&) = delete;

    void write(std::span<const unsigned char> bytes);
    void write(std::string_view bytes);
    void writeZeros(std::uint64_t count);
    // Appends exactly `size` bytes of content of the regular file open at
    // `sourceFd`, read from its current offset; the file must still have
    // that size. `sourceName` names it in error messages.
    void copyFrom(int sourceFd, const std::string& sourceName, std::uint64_t size);
    // Replaces bytes already written, from `offset` on; they must all lie
    // before position(), which stays where it is.
    void overwrite(std::uint64_t offset, std::span<const unsigned char> bytes);
    // Takes back every byte from `offset` on, which must not lie beyond
    // position(): the next byte written goes there.
    void rewindTo(std::uint64_t offset);
    // Hands the buffered bytes to the file.
    void flush();
    // Calls `observer` with the end of the bytes the file holds each time
    // more have reached it. Bytes reported so are final: overwrite and
    // rewindTo refuse to change them.
    void observeWrittenEnd(std::function<void(std::uint64_t)> observer) { observer_ = std::move(observer); }
    // Bytes written so far, buffered ones included.
    std::uint64_t position() const { return position_; }

private:
    enum class CopyMethod { copyFileRange, sendFile, readWrite };

    void copyInKernel(int sourceFd, const std::string& sourcePath, std::uint64_t size);
    void copyThroughBuffer(int sourceFd, const std::string& sourcePath, std::uint64_t size);
    [[noreturn]] void failWrite(int errorNumber) const;
    void reportWrittenEnd() const;
    void refuseChangeBefore(std::uint64_t offset) const;
    [[noreturn]] static void failRead(const std::string& sourcePath, int errorNumber);
    [[noreturn]] static void failShrunk(const std::string& sourcePath);

    int fd_;
    std::string displayName_;
    std::vector<unsigned char> buffer_;
    std::size_t used_ = 0;
    std::uint64_t position_ = 0;
    CopyMethod copyMethod_ = CopyMethod::copyFileRange;
    std::function<void(std::uint64_t)> observer_;
};

}  // namespace onefile::tool
