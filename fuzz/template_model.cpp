#include "fuzz/template_model.h"

#include <algorithm>
#include <string_view>
#include <unistd.h>

namespace onefile::fuzz {
namespace {

constexpr std::string_view kTokenAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
// The last token character carries 4 bits and two zero bits.
constexpr std::string_view kTokenLastCharacters = "AEIMQUYcgkosw048";
constexpr std::size_t kTokenLength = 11;
constexpr std::size_t kMicrosecondDigits = 6;

// Thrown through the scan when the launcher would stop.
struct Stop {
    ExpansionOutcome outcome;
};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool allDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), isDigit);
}

bool isMicroseconds(const std::string& text) {
    return text.size() == kMicrosecondDigits && allDigits(text);
}

bool isToken(const std::string& text) {
    return text.size() == kTokenLength &&
           text.find_first_not_of(kTokenAlphabet) == std::string::npos &&
           kTokenLastCharacters.find(text.back()) != std::string_view::npos;
}

// Seconds and microseconds of the time of day, "%ld_%ld".
bool isStartTime(const std::string& text) {
    const std::size_t underscore = text.find('_');
    if (underscore == std::string::npos) return false;
    const std::string_view seconds(text.data(), underscore);
    const std::string_view microseconds(text.data() + underscore + 1, text.size() - underscore - 1);
    return allDigits(seconds) && allDigits(microseconds) && microseconds.size() <= kMicrosecondDigits;
}

std::string upperCaseAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

// dirname as POSIX describes it step by step; where POSIX leaves a path of
// exactly "//" to the implementation, the launcher's answer is "/", as for
// any other path of slashes only.
std::string posixDirname(std::string path) {
    if (path.find_first_not_of('/') == std::string::npos) return "/";
    while (path.back() == '/') path.pop_back();
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    path.resize(slash + 1);
    while (!path.empty() && path.back() == '/') path.pop_back();
    if (path.empty()) return "/";
    return path;
}

class Model {
public:
    explicit Model(const ModelInputs& inputs) : inputs_(inputs), environment_(inputs.before) {}

    ModelResult run() {
        ModelResult result;
        try {
            result.outcome = scan(inputs_.templateText) ? ExpansionOutcome::expanded
                                                        : ExpansionOutcome::failed;
        } catch (const Stop& stop) {
            result.outcome = stop.outcome;
        }
        result.output = output_;
        result.environment = environment_;
        result.problems = problems_;
        return result;
    }

private:
    std::size_t remaining() const { return inputs_.capacity - output_.size(); }

    // One scan; a nested expansion is a scan of a fixed text on the same
    // output, with its own name.
    bool scan(const std::string& text) {
        bool inside = false;
        std::string name;
        for (const char c : text) {
            if (c == '{') {
                inside = true;
                name.clear();
            } else if (inside && c == '}') {
                inside = false;
                if (!insertPlaceholder(name)) return false;
            } else if (inside) {
                name += c;
            } else {
                // A literal needs room for itself and the NUL behind it.
                if (remaining() < 2) return false;
                output_ += c;
            }
        }
        return true;
    }

    void append(const std::string& value, bool trailingSlashRule) {
        if (value.size() >= remaining()) throw Stop{ExpansionOutcome::stoppedOnLimit};
        output_ += value;
        if (trailingSlashRule) stripTrailingSlashes();
    }

    void stripTrailingSlashes() {
        while (!output_.empty() && output_.back() == '/') output_.pop_back();
    }

    const std::optional<std::string>& variable(const char* name) { return environment_[name]; }

    // The value a placeholder remembers in `name`: the variable's text when
    // set, else what the launcher generated, which must have `form`.
    std::string remembered(const char* name, bool (*hasForm)(const std::string&), const char* form) {
        if (const auto& value = variable(name)) return *value;
        const auto produced = inputs_.after.find(name);
        if (produced == inputs_.after.end() || !produced->second) {
            problems_.push_back(std::string(name) + " was not set by the placeholder that generates it");
            return {};
        }
        if (!hasForm(*produced->second))
            problems_.push_back(std::string(name) + " was set to '" + *produced->second + "', not " + form);
        environment_[name] = produced->second;
        return *produced->second;
    }

    bool insertPlaceholder(const std::string& rawName) {
        const std::string name = upperCaseAscii(rawName);
        if (name == "TEMP") {
            const auto& directory = variable("TMPDIR");
            append(directory ? *directory : "/tmp", true);
        } else if (name == "PID") {
            const auto& parent = variable("TAVMIR_ONEFILE_PARENT");
            if (parent && !allDigits(*parent)) throw Stop{ExpansionOutcome::stoppedOnParent};
            append(parent ? *parent : std::to_string(inputs_.processId), false);
        } else if (name == "TIME_US") {
            append(remembered("TAVMIR_ONEFILE_TIME_US", isMicroseconds, "six digits"), false);
        } else if (name == "RANDOM") {
            append(remembered("TAVMIR_ONEFILE_RANDOM", isToken, "a random token"), false);
        } else if (name == "TIME") {
            append(remembered("TAVMIR_ONEFILE_START", isStartTime, "seconds_microseconds"), false);
        } else if (name == "PROGRAM") {
            append(inputs_.programPath, false);
        } else if (name == "PROGRAM_BASE") {
            const std::size_t start = output_.size();
            if (!scan("{PROGRAM}")) return false;
            const std::string appended = output_.substr(start);
            if (appended.size() >= 4 && upperCaseAscii(appended.substr(appended.size() - 4)) == ".BIN")
                output_.resize(output_.size() - 4);
        } else if (name == "PROGRAM_DIR") {
            const std::size_t start = output_.size();
            if (!scan("{PROGRAM}")) return false;
            if (output_.size() == start) return false;
            const std::string directory = posixDirname(output_.substr(start));
            output_.resize(start);
            output_ += directory;
        } else if (name == "HOME") {
            std::optional<std::string> home = variable("HOME");
            if (!home) home = inputs_.passwordHome;
            if (!home) return false;
            append(*home, true);
        } else if (name == "CACHE_DIR") {
            const auto& cache = variable("XDG_CACHE_HOME");
            if (cache && !cache->empty() && cache->front() == '/') {
                append(*cache, true);
            } else {
                if (!scan("{HOME}/.cache")) return false;
                stripTrailingSlashes();
            }
        } else if (name == "UID") {
            append(std::to_string(geteuid()), false);
        } else if (name == "COMPANY" || name == "PRODUCT") {
            append(inputs_.productName, false);
        } else if (name == "VERSION" || name == "FILE_VERSION" || name == "PRODUCT_VERSION") {
            append(inputs_.versionString, false);
        } else {
            return false;
        }
        return true;
    }

    const ModelInputs& inputs_;
    Environment environment_;
    std::string output_;
    std::vector<std::string> problems_;
};

}  // namespace

const char* outcomeName(ExpansionOutcome outcome) {
    switch (outcome) {
        case ExpansionOutcome::expanded: return "true";
        case ExpansionOutcome::failed: return "false";
        case ExpansionOutcome::stoppedOnLimit: return "stop (value does not fit)";
        case ExpansionOutcome::stoppedOnParent: return "stop (malformed TAVMIR_ONEFILE_PARENT)";
    }
    return "?";
}

ModelResult modelExpansion(const ModelInputs& inputs) { return Model(inputs).run(); }

}  // namespace onefile::fuzz
