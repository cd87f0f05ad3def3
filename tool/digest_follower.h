// The digest of a launcher made while it is being written: a thread of its
// own reads the output file back from the page cache, piece by piece, as far
// as the writer has got, and hashes it, so that the digest, which runs on
// one processor at about the speed of a copy, overlaps the writing instead
// of following it. It reads into a small buffer that stays in the
// processor's cache rather than hashing a mapping of the file, which took
// about 1.7 times the processor time for the same bytes.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tool/launcher_digest.h"

namespace onefile::tool {

class DigestFollower {
public:
    // Follows the file open at `fd` (readable), named `outputPath` in
    // errors, whose digest field starts at `digestFieldOffset`.
    DigestFollower(int fd, std::string outputPath, std::uint64_t digestFieldOffset);
    DigestFollower(const DigestFollower&) = delete;
    DigestFollower& operator=(const DigestFollower&) = delete;
    // Stops the thread, for a launcher that was not finished.
    ~DigestFollower();

    // The file's bytes before `end` are written and final.
    void advance(std::uint64_t end);

    // The digest of the whole file, `size` bytes; ToolError when the file
    // could not be mapped or is no launcher.
    LauncherDigest finish(std::uint64_t size);

private:
    void run();
    void hashRead(std::uint64_t from, std::uint64_t to);

    int fd_;
    std::string outputPath_;
    LauncherDigester digester_;
    std::mutex mutex_;
    std::condition_variable progressed_;
    std::uint64_t available_ = 0;  // with the mutex
    bool ended_ = false;           // with the mutex: no more bytes will come
    bool abandoned_ = false;       // with the mutex: stop at once
    std::exception_ptr failure_;
    std::vector<unsigned char> buffer_;  // the thread's
    std::thread thread_;
};

}  // namespace onefile::tool
