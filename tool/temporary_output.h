// The file a command produces, written under a temporary name beside its
// final path and renamed into place only when complete, so that a failed or
// interrupted run leaves no output behind.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace onefile::tool {

class TemporaryOutput {
public:
    // Creates the temporary file beside `outputPath`.
    explicit TemporaryOutput(std::string outputPath);
    TemporaryOutput(const TemporaryOutput&) = delete;
    TemporaryOutput& operator=(const TemporaryOutput&) = delete;
    // Removes the temporary file unless it was committed.
    ~TemporaryOutput();

    int fd() const { return fd_; }

    // Makes the file executable for everyone the umask allows (0777 less the
    // umask), or gives it `mode`, and renames it to the output path.
    void commit(std::optional<mode_t> mode = std::nullopt);

private:
    std::string outputPath_;
    std::string temporaryPath_;
    int fd_ = -1;
    bool committed_ = false;
};

}  // namespace onefile::tool
