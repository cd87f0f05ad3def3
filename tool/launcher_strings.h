// The strings of a launcher's configuration area: its directory template,
// product name and version string, checked before anything is written.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "format/launcher_config.h"

namespace onefile::tool {

struct LauncherStrings {
    std::string directoryTemplate;
    std::string productName;
    std::string versionString;
};

// This build's defaults.
LauncherStrings defaultLauncherStrings();

// The placeholder names of `templateText` in order, collected as the
// launcher's scanner does: "{" starts a name, a second "{" starts it again,
// "}" closes it; a "}" outside a name is literal text, and a name still open
// at the end is dropped.
std::vector<std::string> collectPlaceholderNames(std::string_view templateText);

// Whether the launcher recognises `name`: one of its placeholder names,
// ignoring ASCII case.
bool isKnownPlaceholder(std::string_view name);

// Throws ToolError naming the option (--template, --product, --version) of a
// string that does not fit its field with its NUL, of an empty template, of
// a template that uses a name the launcher does not recognise, and of one
// whose literal text holds a directory name that cannot be created: more
// than kLongestComponentBytes bytes between two slashes with no placeholder
// among them.
void checkLauncherStrings(const LauncherStrings& strings);

// What makes a template that the launcher accepts unsafe to share, one
// sentence each; empty when nothing does. The launcher creates the last
// level of the expanded path itself and refuses one that exists, so a last
// level without {RANDOM} has a name anyone can take first. A level without
// {RANDOM} straight under {TEMP} is a directory shared by every user, made
// private by whoever runs the launcher first. "Levels" are the parts of the
// template between slashes of its literal text; placeholder names compare
// ignoring ASCII case.
std::vector<std::string> findTemplateHazards(std::string_view templateText);

}  // namespace onefile::tool
