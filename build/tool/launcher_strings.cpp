#include "build/tool/launcher_strings.h"

#include <algorithm>
#include <cstring>

#include "build/build_defaults.h"
#include "build/tool/tool_error.h"
#include "templates/placeholder_table.h"

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

void checkLauncherStrings(const LauncherStrings& strings) {
    if (strings.directoryTemplate.empty()) throw ToolError("--template", "empty directory template");
    checkFits("--template", strings.directoryTemplate, kDirectoryTemplateBytes);
    checkFits("--product", strings.productName, kProductNameBytes);
    checkFits("--version", strings.versionString, kVersionStringBytes);
    for (const std::string& name : collectPlaceholderNames(strings.directoryTemplate)) {
        if (!isKnownPlaceholder(name))
            throw ToolError("--template", "unknown placeholder name \"" + name + "\" in \"" +
                                              strings.directoryTemplate + "\"");
    }
}

LauncherConfig makeLauncherConfig(const LauncherStrings& strings) {
    LauncherConfig config{};
    std::memcpy(config.signature, kLauncherConfigSignature, kLauncherConfigSignatureBytes);
    std::memcpy(config.directoryTemplate, strings.directoryTemplate.data(), strings.directoryTemplate.size());
    std::memcpy(config.productName, strings.productName.data(), strings.productName.size());
    std::memcpy(config.versionString, strings.versionString.data(), strings.versionString.size());
    return config;
}

}  // namespace onefile::tool
