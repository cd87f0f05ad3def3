#include <cstring>

#include "runtime/launcher_section.h"
#include "templates/placeholder_table.h"
#include "templates/random_token.h"
#include "templates/run_directory_name.h"

namespace onefile {

namespace {

// What one piece of a level produces; `other` is a value that may hold a
// "/" or change in ways a name cannot be read back from.
enum class Piece : char { literal, fixed, pid, random, microseconds, other };

struct Token {
    Piece piece;
    const char* text;
    std::size_t length;
};

// Pieces of one level; a level with more is never read.
constexpr int kMostTokens = 32;
// Longest placeholder name the table holds, with room to tell a longer one.
constexpr std::size_t kNameBytes = 24;
constexpr std::size_t kMicrosecondDigits = 6;
// More digits than any process id or time value has.
constexpr std::size_t kMostNumberDigits = 20;

struct Level {
    Token tokens[kMostTokens];
    int count;
};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isTokenCharacter(char c) {
    return isDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' || c == '_';
}

// The piece a placeholder name gives.
void classify(const char* name, std::size_t length, Token* token) {
    token->piece = Piece::other;
    char folded[kNameBytes];
    if (length >= sizeof folded) return;
    memcpy(folded, name, length);
    folded[length] = '\0';
    const Placeholder* placeholder = findPlaceholder(folded);
    if (placeholder == nullptr) return;
    const char* canonical = placeholder->name;
    if (strcmp(canonical, "PID") == 0) {
        token->piece = Piece::pid;
    } else if (strcmp(canonical, "RANDOM") == 0) {
        token->piece = Piece::random;
    } else if (strcmp(canonical, "TIME_US") == 0) {
        token->piece = Piece::microseconds;
    } else {
        bool product = strcmp(canonical, "COMPANY") == 0 || strcmp(canonical, "PRODUCT") == 0;
        bool version = strstr(canonical, "VERSION") != nullptr;
        const char* value = product ? getProductName() : version ? getVersionString() : "/";
        if (strchr(value, '/') != nullptr) return;
        token->piece = Piece::fixed;
        token->text = value;
        token->length = strlen(value);
    }
}

// Splits the template as the scanner reads it and keeps the pieces of its
// last level that is not empty.
bool readLastLevel(const char* templateText, Level* level) {
    level->count = 0;
    bool levelEnded = false;
    const char* nameStart = nullptr;
    for (const char* cursor = templateText; *cursor != '\0'; ++cursor) {
        Token token = {Piece::literal, cursor, 1};
        if (*cursor == '{') {
            nameStart = cursor + 1;
            continue;
        }
        if (nameStart != nullptr) {
            if (*cursor != '}') continue;
            classify(nameStart, static_cast<std::size_t>(cursor - nameStart), &token);
            nameStart = nullptr;
        } else if (*cursor == '/') {
            levelEnded = true;
            continue;
        }
        if (levelEnded) level->count = 0;
        levelEnded = false;
        Token* last = level->count > 0 ? &level->tokens[level->count - 1] : nullptr;
        if (token.piece == Piece::literal && last != nullptr && last->piece == Piece::literal &&
            last->text + last->length == cursor) {
            ++last->length;
            continue;
        }
        if (level->count == kMostTokens) return false;
        level->tokens[level->count++] = token;
    }
    return true;
}

// Both {PID} and {RANDOM}, and literal text on each side of every {PID}
// that has a neighbour: only then does a name give its process id back
// without doubt.
bool isReadable(const Level& level) {
    bool pid = false;
    bool random = false;
    for (int i = 0; i < level.count; ++i) {
        Piece piece = level.tokens[i].piece;
        if (piece == Piece::other) return false;
        random = random || piece == Piece::random;
        if (piece != Piece::pid) continue;
        pid = true;
        if (i > 0 && level.tokens[i - 1].piece != Piece::literal) return false;
        if (i + 1 < level.count && level.tokens[i + 1].piece != Piece::literal) return false;
    }
    return pid && random;
}

std::size_t countDigits(const char* text) {
    std::size_t count = 0;
    while (count < kMostNumberDigits && isDigit(text[count])) ++count;
    return count;
}

struct Match {
    const Level& level;
    long largestPid;
    long pid;
};

bool matchFrom(Match& match, int index, const char* name);

// A decimal of `length` digits at `text` without a leading zero, at most
// `largest`, and the same wherever {PID} stands.
bool takePid(Match& match, const char* text, std::size_t length) {
    if (text[0] == '0') return false;
    long value = 0;
    for (std::size_t i = 0; i < length; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > match.largestPid) return false;
    }
    if (match.pid != 0 && match.pid != value) return false;
    match.pid = value;
    return true;
}

bool matchFrom(Match& match, int index, const char* name) {
    if (index == match.level.count) return *name == '\0';
    const Token& token = match.level.tokens[index];
    std::size_t digits = countDigits(name);
    switch (token.piece) {
        case Piece::literal:
        case Piece::fixed:
            return strncmp(name, token.text, token.length) == 0 && matchFrom(match, index + 1, name + token.length);
        case Piece::random:
            for (std::size_t i = 0; i < kRandomTokenLength; ++i) {
                if (!isTokenCharacter(name[i])) return false;
            }
            return matchFrom(match, index + 1, name + kRandomTokenLength);
        case Piece::microseconds:
            return digits >= kMicrosecondDigits && matchFrom(match, index + 1, name + kMicrosecondDigits);
        case Piece::pid:
            for (std::size_t length = 1; length <= digits; ++length) {
                long before = match.pid;
                if (takePid(match, name, length) && matchFrom(match, index + 1, name + length)) return true;
                match.pid = before;
            }
            return false;
        case Piece::other:
            return false;
    }
    return false;
}

}  // namespace

bool readRunDirectoryName(const char* templateText, const char* name, long largestPid, long* pid) {
    Level level;
    if (!readLastLevel(templateText, &level) || !isReadable(level)) return false;
    Match match = {level, largestPid, 0};
    if (!matchFrom(match, 0, name)) return false;
    *pid = match.pid;
    return true;
}

}  // namespace onefile
