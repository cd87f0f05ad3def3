#include "tool/allowed_signers.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tool/base64_text.h"
#include "tool/file_descriptor.h"
#include "tool/ssh_public_key.h"
#include "tool/tool_error.h"

namespace onefile::tool {
namespace {

inline constexpr std::size_t kReadChunkBytes = 4096;

constexpr bool isBlank(char c) { return c == ' ' || c == '\t'; }

class LineError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

void skipBlanks(std::string_view& rest) {
    while (!rest.empty() && isBlank(rest.front())) rest.remove_prefix(1);
}

// The next word, up to a blank; with `quotesGroup`, blanks between double
// quotes belong to the word.
std::string_view takeWord(std::string_view& rest, bool quotesGroup) {
    bool quoted = false;
    std::size_t end = 0;
    for (; end < rest.size(); ++end) {
        if (quotesGroup && rest[end] == '"') quoted = !quoted;
        else if (!quoted && isBlank(rest[end])) break;
    }
    if (quoted) throw LineError("a quote is not closed");
    const std::string_view word = rest.substr(0, end);
    rest.remove_prefix(end);
    skipBlanks(rest);
    return word;
}

// The principals: a word, or text between double quotes.
std::string takePrincipals(std::string_view& rest) {
    if (rest.front() != '"') return std::string(takeWord(rest, false));
    const std::size_t close = rest.find('"', 1);
    if (close == std::string_view::npos) throw LineError("the quoted principals are not closed");
    std::string principals(rest.substr(1, close - 1));
    rest.remove_prefix(close + 1);
    skipBlanks(rest);
    return principals;
}

// Whether `options` starts with `name=` in any letter case; if so, moves
// past it.
bool takeOptionName(std::string_view& options, std::string_view name) {
    if (options.size() <= name.size() || ::strncasecmp(options.data(), name.data(), name.size()) != 0 ||
        options[name.size()] != '=')
        return false;
    options.remove_prefix(name.size() + 1);
    return true;
}

// A double-quoted value, \" standing for a quote.
std::string takeQuotedValue(std::string_view& options) {
    if (options.empty() || options.front() != '"') throw LineError("an option's value has no opening quote");
    std::string value;
    std::size_t at = 1;
    for (; at < options.size() && options[at] != '"'; ++at) {
        if (options[at] == '\\' && at + 1 < options.size() && options[at + 1] == '"') ++at;
        value.push_back(options[at]);
    }
    if (at == options.size()) throw LineError("an option's value has no closing quote");
    options.remove_prefix(at + 1);
    return value;
}

std::time_t takeTime(std::string_view& options, const char* name) {
    const std::optional<std::time_t> time = parseSignerTime(takeQuotedValue(options));
    if (!time) throw LineError(std::string("the time of ") + name + " is not YYYYMMDD[HHMM[SS]][Z]");
    return *time;
}

void parseOptions(std::string_view options, AllowedSigner& signer) {
    while (!options.empty()) {
        static constexpr std::string_view kAuthority = "cert-authority";
        if (options.size() >= kAuthority.size() &&
            ::strncasecmp(options.data(), kAuthority.data(), kAuthority.size()) == 0 &&
            (options.size() == kAuthority.size() || options[kAuthority.size()] == ',')) {
            signer.certificateAuthority = true;
            options.remove_prefix(kAuthority.size());
        } else if (takeOptionName(options, "namespaces")) {
            if (signer.namespaces) throw LineError("namespaces is given twice");
            signer.namespaces = takeQuotedValue(options);
        } else if (takeOptionName(options, "valid-after")) {
            if (signer.validAfter) throw LineError("valid-after is given twice");
            signer.validAfter = takeTime(options, "valid-after");
        } else if (takeOptionName(options, "valid-before")) {
            if (signer.validBefore) throw LineError("valid-before is given twice");
            signer.validBefore = takeTime(options, "valid-before");
        } else {
            throw LineError("unknown option '" + std::string(options.substr(0, options.find_first_of(",="))) + "'");
        }
        if (options.empty()) break;
        if (options.front() != ',') throw LineError("options are not separated by commas");
        options.remove_prefix(1);
        if (options.empty()) throw LineError("the options end with a comma");
    }
    if (signer.validAfter && signer.validBefore && *signer.validBefore <= *signer.validAfter)
        throw LineError("valid-before is not after valid-after");
}

// One line that is neither empty nor a comment.
AllowedSigner parseSignerLine(std::string_view rest) {
    AllowedSigner signer;
    signer.principals = takePrincipals(rest);
    if (rest.empty()) throw LineError("no key after the principals");
    std::string_view word = takeWord(rest, true);
    if (!isKnownSshKeyType(std::string(word))) {
        parseOptions(word, signer);
        word = takeWord(rest, false);
    }
    const std::string type(word);
    if (!isKnownSshKeyType(type)) throw LineError("no known key type where the key should start");
    std::optional<std::vector<unsigned char>> key = decodeBase64(takeWord(rest, false));
    if (!key) throw LineError("the key is not base64");
    try {
        if (sshKeyType(*key) != type) throw LineError("the key is not of the type " + type);
    } catch (const FormatError&) {
        throw LineError("the key is not an SSH key");
    }
    signer.key = std::move(*key);
    return signer;
}

// One pattern: `*` any run of characters, `?` any one.
bool matchesPattern(std::string_view text, std::string_view pattern) {
    std::size_t t = 0, p = 0;
    std::size_t starPattern = std::string_view::npos, starText = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++t;
            ++p;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starPattern = p++;
            starText = t;
        } else if (starPattern != std::string_view::npos) {
            p = starPattern + 1;
            t = ++starText;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

}  // namespace

bool matchesPatternList(std::string_view text, std::string_view patterns) {
    bool matched = false;
    while (true) {
        const std::size_t comma = patterns.find(',');
        std::string_view pattern = patterns.substr(0, comma);
        const bool negated = !pattern.empty() && pattern.front() == '!';
        if (negated) pattern.remove_prefix(1);
        if (matchesPattern(text, pattern)) {
            if (negated) return false;
            matched = true;
        }
        if (comma == std::string_view::npos) return matched;
        patterns.remove_prefix(comma + 1);
    }
}

std::optional<std::time_t> parseSignerTime(std::string_view text) {
    bool utc = false;
    if (text.size() > 1 && (text.back() == 'Z' || text.back() == 'z')) {
        utc = true;
        text.remove_suffix(1);
    } else if (text.size() > 3 && ::strncasecmp(text.data() + text.size() - 3, "UTC", 3) == 0) {
        utc = true;
        text.remove_suffix(3);
    }
    const std::string s(text);
    std::string spaced;
    const char* format = nullptr;
    // strptime wants something between two numbers.
    if (s.size() == 8) {
        spaced = s.substr(0, 4) + "-" + s.substr(4, 2) + "-" + s.substr(6, 2);
        format = "%Y-%m-%d";
    } else if (s.size() == 12) {
        spaced = s.substr(0, 4) + "-" + s.substr(4, 2) + "-" + s.substr(6, 2) + "T" + s.substr(8, 2) + ":" +
                 s.substr(10, 2);
        format = "%Y-%m-%dT%H:%M";
    } else if (s.size() == 14) {
        spaced = s.substr(0, 4) + "-" + s.substr(4, 2) + "-" + s.substr(6, 2) + "T" + s.substr(8, 2) + ":" +
                 s.substr(10, 2) + ":" + s.substr(12, 2);
        format = "%Y-%m-%dT%H:%M:%S";
    } else {
        return std::nullopt;
    }
    struct tm fields {};
    const char* end = ::strptime(spaced.c_str(), format, &fields);
    if (end == nullptr || *end != '\0') return std::nullopt;
    const std::time_t time = utc ? ::timegm(&fields) : ::mktime(&fields);
    if (time < 0) return std::nullopt;
    return time;
}

AllowedSigners parseAllowedSigners(std::string_view text) {
    AllowedSigners result;
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        skipBlanks(line);
        if (line.empty() || line.front() == '#') continue;
        try {
            AllowedSigner signer = parseSignerLine(line);
            signer.lineNumber = lineNumber;
            result.signers.push_back(std::move(signer));
        } catch (const LineError& error) {
            result.skippedLines.push_back(std::to_string(lineNumber) + ": " + error.what());
        }
    }
    return result;
}

std::string readAllowedSignersFile(const std::string& path) {
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) throw ToolError(path, "cannot be opened: " + systemErrorText(errno));
    std::string text;
    char chunk[kReadChunkBytes];
    while (true) {
        const ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw ToolError(path, "cannot be read: " + systemErrorText(errno));
        if (got == 0) break;
        text.append(chunk, static_cast<std::size_t>(got));
    }
    return text;
}

}  // namespace onefile::tool
