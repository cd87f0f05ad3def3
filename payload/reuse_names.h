// The names a launcher made with pack --reuse gives what it keeps in its
// holding directory: version directories, named after the digest the tool
// recorded, and working directories, where a run unpacks before it
// publishes; and the mark of a holding directory that a launcher made for
// itself. Only names of the first two forms are ever removed, and only from
// a marked holding directory; anything else there is left alone.
#pragma once

#include <cstddef>

namespace onefile {

// An empty file of the user's own, with no group or other permission bits,
// made exclusively by the run that made the holding directory.
inline constexpr char kHoldingMarkName[] = ".onefile-holding";

// 16 lowercase hexadecimal digits: the first 8 bytes of the digest.
inline constexpr std::size_t kVersionNameLength = 16;
// The random token in a working directory's name: 11 characters of
// base64url, as {RANDOM} gives.
inline constexpr std::size_t kWorkingTokenLength = 11;
// The token of the one working directory of a version that runs agree on:
// the first run to make it unpacks, the others wait for its publication.
inline constexpr char kUnpackingToken[] = "00unpacking";
static_assert(sizeof kUnpackingToken == kWorkingTokenLength + 1);
// "." VERSION "-" TOKEN: hidden, and telling which version it was made for.
inline constexpr std::size_t kWorkingNameLength = 1 + kVersionNameLength + 1 + kWorkingTokenLength;
inline constexpr std::size_t kReuseNameBytes = kWorkingNameLength + 1;

constexpr bool isLowerHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

constexpr bool isTokenCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// Whether `name` has the form of a version directory.
constexpr bool isVersionName(const char* name) {
    for (std::size_t i = 0; i < kVersionNameLength; ++i) {
        if (!isLowerHexDigit(name[i])) return false;
    }
    return name[kVersionNameLength] == '\0';
}

// Whether `name` has the form of a working directory.
constexpr bool isWorkingName(const char* name) {
    if (name[0] != '.') return false;
    for (std::size_t i = 1; i <= kVersionNameLength; ++i) {
        if (!isLowerHexDigit(name[i])) return false;
    }
    if (name[kVersionNameLength + 1] != '-') return false;
    for (std::size_t i = kVersionNameLength + 2; i < kWorkingNameLength; ++i) {
        if (!isTokenCharacter(name[i])) return false;
    }
    return name[kWorkingNameLength] == '\0';
}

static_assert(isVersionName("0123456789abcdef") && !isVersionName("0123456789ABCDEF") &&
              !isVersionName("0123456789abcde") && !isVersionName("0123456789abcdef0"));
static_assert(isWorkingName(".0123456789abcdef-AZaz09-_xyz") && !isWorkingName("0123456789abcdef-AZaz09-_xyz") &&
              !isWorkingName(".0123456789abcdef-AZaz09-_xy") && !isWorkingName(".0123456789abcdef-AZaz09-_xyz0") &&
              !isWorkingName(".0123456789abcdef_AZaz09-_xyz") && !isWorkingName(".0123456789abcdef-AZaz09/_xyz"));

}  // namespace onefile
