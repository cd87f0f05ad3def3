// ssh-keygen run as a child: it signs with any key it can use (a file, a
// passphrase asked on the terminal, ssh-agent, a hardware key) and checks
// the signatures of the key types the tool does not check itself. The
// message and the signature reach it as files in memory, so nothing is
// written to disk and nothing is left behind.
#pragma once

#include <string>
#include <vector>

#include "tool/elf_reader.h"

namespace onefile::tool {

struct SshKeygenResult {
    int status = 0;      // the exit status; 128 + N when killed by signal N
    std::string output;  // standard output
    std::string errors;  // standard error
};

// A file ssh-keygen reads: an argument equal to `placeholder` becomes a
// path by which it reads `bytes`.
struct SshKeygenFile {
    std::string placeholder;
    std::string bytes;
};

// Runs `ssh-keygen ARGUMENTS` (found on PATH) with `input` as standard
// input and `files` in reach. A missing ssh-keygen throws ToolError naming
// the Debian package that carries it, with `purpose` saying what it was
// needed for.
SshKeygenResult runSshKeygen(const std::vector<std::string>& arguments, const std::string& input,
                             const std::string& purpose, const std::vector<SshKeygenFile>& files = {});

// The last line of `errors` that says something, for a message.
std::string lastErrorLine(const std::string& errors);

}  // namespace onefile::tool
