// An allowed-signers file as ssh-keygen reads it: one signer a line,
//   PRINCIPALS [OPTIONS] KEYTYPE BASE64-KEY [COMMENT]
// PRINCIPALS a comma-separated list of patterns (`*`, `?`, `!` to exclude),
// OPTIONS a comma-separated list of cert-authority, namespaces="LIST",
// valid-after="TIME" and valid-before="TIME" (YYYYMMDD[HHMM[SS]], local
// time, or UTC with a trailing Z). Empty lines and lines starting with #
// are skipped.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace onefile::tool {

struct AllowedSigner {
    std::size_t lineNumber = 0;
    std::string principals;  // the pattern list as written
    bool certificateAuthority = false;
    std::optional<std::string> namespaces;  // a pattern list
    std::optional<std::time_t> validAfter;
    std::optional<std::time_t> validBefore;
    std::vector<unsigned char> key;  // the key's wire blob
};

struct AllowedSigners {
    std::vector<AllowedSigner> signers;
    // "LINE: what is wrong" for each line that was skipped, as ssh-keygen
    // skips a line it cannot read.
    std::vector<std::string> skippedLines;
};

// The text of the file at `path`, read once (a pipe of the shell's <(...)
// serves too); one that cannot be read throws ToolError.
std::string readAllowedSignersFile(const std::string& path);

// Takes the lines of an allowed-signers file apart.
AllowedSigners parseAllowedSigners(std::string_view text);

// Whether `text` matches the comma-separated pattern list `patterns`: one
// pattern matches and no `!` pattern does.
bool matchesPatternList(std::string_view text, std::string_view patterns);

// A time of a valid-after or valid-before option; nothing when malformed.
std::optional<std::time_t> parseSignerTime(std::string_view text);

}  // namespace onefile::tool
