#include "tool/launcher_strings.h"

#include <algorithm>
#include <cstring>

#include "templates/placeholder_table.h"
#include "tool/build_defaults.h"
#include "tool/entry_name.h"
#include "tool/tool_error.h"

namespace onefile::tool {
namespace {

char toAsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](char x, char y) { return toAsciiUpper(x) == toAsciiUpper(y); });
}

void checkFits(const char* option, const std::string& value, std::size_t fieldBytes) {
    if (value.size() >= fieldBytes)
        throw ToolError(option, std::to_string(value.size()) + " bytes do not fit; at most " +
                                    std::to_string(fieldBytes - 1) + " bytes");
    if (value.find('\0') != std::string::npos) throw ToolError(option, "contains a NUL byte");
}

// A piece of a template as the launcher's scanner reads it: literal text, or
// a placeholder with its name as written.
struct TemplatePiece {
    bool placeholder = false;
    std::string text;
};
using TemplateLevel = std::vector<TemplatePiece>;

// The template's levels: its pieces split at each "/" of literal text. Empty
// levels (a leading, doubled or trailing slash) make no directory and are
// left out. A name left open at the end, or restarted by a second "{", is
// dropped, as the launcher drops it.
std::vector<TemplateLevel> splitTemplateLevels(std::string_view templateText) {
    std::vector<TemplateLevel> levels(1);
    bool insideName = false;
    std::string name;
    for (const char c : templateText) {
        if (c == '{') {
            insideName = true;
            name.clear();
        } else if (insideName) {
            if (c == '}') {
                levels.back().push_back({true, name});
                insideName = false;
            } else {
                name.push_back(c);
            }
        } else if (c == '/') {
            levels.emplace_back();
        } else {
            TemplateLevel& level = levels.back();
            if (level.empty() || level.back().placeholder) level.push_back({false, ""});
            level.back().text.push_back(c);
        }
    }
    std::erase_if(levels, [](const TemplateLevel& level) { return level.empty(); });
    return levels;
}

bool isPlaceholderNamed(const TemplatePiece& piece, std::string_view name) {
    return piece.placeholder && equalsIgnoringAsciiCase(piece.text, name);
}

bool holdsRandom(const TemplateLevel& level) {
    return std::any_of(level.begin(), level.end(),
                       [](const TemplatePiece& piece) { return isPlaceholderNamed(piece, "RANDOM"); });
}

// A level named after the user is that user's own: nobody else can take it
// over unnoticed (the launcher refuses a level another user owns).
bool holdsUserId(const TemplateLevel& level) {
    return std::any_of(level.begin(), level.end(),
                       [](const TemplatePiece& piece) { return isPlaceholderNamed(piece, "UID"); });
}

bool isTempAlone(const TemplateLevel& level) { return level.size() == 1 && isPlaceholderNamed(level[0], "TEMP"); }

// A directory that holds what others put there too: the user's home, the
// launcher's own directory, the temporary or cache directory alone, or a
// literal directory of general use. A launcher uses such a holding
// directory but never removes anything from it, since it did not make it.
bool namesGeneralPlace(const std::vector<TemplateLevel>& levels) {
    constexpr std::string_view kGeneralPlaceholders[] = {"HOME", "PROGRAM_DIR", "TEMP", "CACHE_DIR"};
    if (levels.size() == 1 && levels[0].size() == 1 && levels[0][0].placeholder) {
        return std::any_of(std::begin(kGeneralPlaceholders), std::end(kGeneralPlaceholders),
                           [&](std::string_view name) { return isPlaceholderNamed(levels[0][0], name); });
    }
    const bool literal = std::all_of(levels.begin(), levels.end(), [](const TemplateLevel& level) {
        return std::none_of(level.begin(), level.end(), [](const TemplatePiece& piece) { return piece.placeholder; });
    });
    if (!literal) return false;
    if (levels.size() <= 1) return true;
    constexpr std::string_view kGeneralDirectories[] = {"var/tmp", "var/cache", "usr/local", "dev/shm"};
    std::string path;
    for (const TemplateLevel& level : levels) path += (path.empty() ? "" : "/") + level[0].text;
    return std::find(std::begin(kGeneralDirectories), std::end(kGeneralDirectories), path) !=
           std::end(kGeneralDirectories);
}

std::string levelText(const TemplateLevel& level) {
    std::string text;
    for (const TemplatePiece& piece : level) text += piece.placeholder ? "{" + piece.text + "}" : piece.text;
    return text;
}

// How a long text shows in a message: its start, marked as cut.
std::string shortened(const std::string& text) {
    constexpr std::size_t kShownBytes = 32;
    return text.size() <= kShownBytes ? text : text.substr(0, kShownBytes) + "...";
}

void checkTemplateLiterals(const std::string& templateText) {
    for (const TemplateLevel& level : splitTemplateLevels(templateText)) {
        for (const TemplatePiece& piece : level) {
            if (piece.placeholder || piece.text.size() <= kLongestComponentBytes) continue;
            throw ToolError("--template", "the directory name \"" + shortened(piece.text) + "\" of " +
                                              std::to_string(piece.text.size()) + " bytes cannot be created; at most " +
                                              std::to_string(kLongestComponentBytes) +
                                              " bytes fit one directory entry");
        }
    }
}

}  // namespace

LauncherStrings defaultLauncherStrings() {
    return {kDefaultDirectoryTemplate, kDefaultProductName, kDefaultVersionString};
}

std::vector<std::string> collectPlaceholderNames(std::string_view templateText) {
    std::vector<std::string> names;
    bool insideName = false;
    std::string name;
    for (const char c : templateText) {
        if (c == '{') {
            insideName = true;
            name.clear();
        } else if (c == '}' && insideName) {
            names.push_back(name);
            insideName = false;
        } else if (insideName) {
            name.push_back(c);
        }
    }
    return names;
}

bool isKnownPlaceholder(std::string_view name) {
    // The launcher collects at most kPlaceholderNameBytes - 1 characters; a
    // longer name never matches.
    if (name.size() >= kPlaceholderNameBytes) return false;
    return std::any_of(std::begin(kPlaceholderNames), std::end(kPlaceholderNames),
                       [name](const char* known) { return equalsIgnoringAsciiCase(name, known); });
}

std::vector<std::string> allTemplates(const LauncherStrings& strings) {
    std::vector<std::string> templates = {strings.directoryTemplate};
    templates.insert(templates.end(), strings.fallbackTemplates.begin(), strings.fallbackTemplates.end());
    return templates;
}

std::string encodeTemplates(const LauncherStrings& strings) {
    std::string field = strings.directoryTemplate;
    for (const std::string& fallback : strings.fallbackTemplates) field += std::string(1, '\0') + fallback;
    return field;
}

void checkLauncherStrings(const LauncherStrings& strings) {
    for (const std::string& templateText : allTemplates(strings)) {
        if (templateText.empty()) throw ToolError("--template", "empty directory template");
        if (templateText.find('\0') != std::string::npos) throw ToolError("--template", "contains a NUL byte");
    }
    if (strings.fallbackTemplates.empty()) {
        checkFits("--template", strings.directoryTemplate, kDirectoryTemplateBytes);
    } else {
        // Each template with its NUL, and the empty one that ends the list.
        const std::size_t bytes = encodeTemplates(strings).size() + 2;
        if (bytes > kDirectoryTemplateBytes)
            throw ToolError("--template", "the templates take " + std::to_string(bytes) + " bytes with their NULs; at most " +
                                              std::to_string(kDirectoryTemplateBytes) + " bytes fit");
    }
    checkFits("--product", strings.productName, kProductNameBytes);
    checkFits("--version", strings.versionString, kVersionStringBytes);
    checkFits("--first-run-message", strings.firstRunMessage, kFirstRunMessageBytes);
    for (const std::string& templateText : allTemplates(strings)) {
        for (const std::string& name : collectPlaceholderNames(templateText)) {
            if (!isKnownPlaceholder(name))
                throw ToolError("--template", "unknown placeholder name \"" + name + "\" in \"" + templateText + "\"");
        }
        checkTemplateLiterals(templateText);
    }
}

std::vector<std::string> findTemplateHazards(std::string_view templateText, bool reuse) {
    std::vector<std::string> hazards;
    const std::vector<TemplateLevel> levels = splitTemplateLevels(templateText);
    if (!reuse && (levels.empty() || !holdsRandom(levels.back()))) {
        const std::string last = levels.empty() ? std::string("/") : levelText(levels.back());
        hazards.push_back("its last level '" + last +
                          "' holds no {RANDOM}, so its name is predictable: while a directory of that name "
                          "exists, made by another launch or by anyone else first, the launcher refuses to start");
    }
    // The last level is covered above; a fixed level further up is shared.
    // With reuse the launcher makes one more level below the last.
    const std::size_t sharedLevels = reuse ? levels.size() : levels.size() - (levels.empty() ? 0 : 1);
    for (std::size_t i = 1; i < sharedLevels; ++i) {
        if (!isTempAlone(levels[i - 1]) || holdsRandom(levels[i]) || holdsUserId(levels[i])) continue;
        hazards.push_back("the level '" + levelText(levels[i]) +
                          "' straight under {TEMP} holds no {RANDOM}: every user shares it, the first to launch "
                          "makes it private, and other users cannot launch while it exists");
    }
    if (reuse && namesGeneralPlace(levels)) {
        hazards.push_back(
            "it names a directory of general use, which holds what others put there: the launcher keeps its "
            "trees there but never removes old versions from a directory it did not make; give the "
            "application a level of its own below it");
    }
    return hazards;
}

std::string findPerRunPlaceholder(std::string_view templateText) {
    constexpr const char* kPerRunNames[] = {"PID", "TIME", "TIME_US", "RANDOM"};
    for (const std::string& name : collectPlaceholderNames(templateText)) {
        for (const char* perRun : kPerRunNames)
            if (equalsIgnoringAsciiCase(name, perRun)) return "{" + name + "}";
    }
    return "";
}

std::string findHoldingNameFault(std::string_view name) {
    if (name.empty()) return "it is empty";
    if (name == "." || name == "..") return "it names no directory of its own";
    if (name.find('/') != std::string_view::npos) return "it holds a \"/\"";
    if (name.find('{') != std::string_view::npos) return "it holds a \"{\", which would start a placeholder";
    if (name.size() > kLongestComponentBytes)
        return "it has " + std::to_string(name.size()) + " bytes; at most " + std::to_string(kLongestComponentBytes) +
               " bytes fit one directory entry";
    return "";
}

}  // namespace onefile::tool
