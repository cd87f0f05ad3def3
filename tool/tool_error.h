// Failures of the onefile tool. Each ends the command with one line on
// standard error that starts with the thing it concerns.
#pragma once

#include <stdexcept>
#include <string>

namespace onefile::tool {

// A failure of the work itself: "onefile: SUBJECT: MESSAGE", exit status 1.
class ToolError : public std::runtime_error {
public:
    ToolError(const std::string& subject, const std::string& message)
        : std::runtime_error(subject + ": " + message) {}
};

// The exit statuses of a launcher whose signature does not stand (verify,
// signature).
inline constexpr int kUnsignedStatus = 3;
inline constexpr int kBadSignatureStatus = 4;
inline constexpr int kNoAllowedSignerStatus = 5;

// A signature that is missing, does not verify, or whose key the allowed
// signers do not allow: "onefile: SUBJECT: MESSAGE", with its own status.
class SignatureError : public ToolError {
public:
    SignatureError(const std::string& subject, const std::string& message, int status)
        : ToolError(subject, message), status_(status) {}
    int status() const { return status_; }

private:
    int status_;
};

// A malformed command line: the message and a hint to --help, exit status 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A byte layout (an ELF file, a block) that is not what it must be. The
// caller names the file it came from.
class FormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The system's text for an error number.
std::string systemErrorText(int errorNumber);

}  // namespace onefile::tool
