// The strings of a launcher's configuration area: its directory template,
// product name and version string, checked before anything is written.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "build/launcher_config.h"

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
// string that does not fit its field with its NUL, of an empty template, and
// of a template that uses a name the launcher does not recognise.
void checkLauncherStrings(const LauncherStrings& strings);

// The configuration area holding `strings`, zero-filled behind them.
LauncherConfig makeLauncherConfig(const LauncherStrings& strings);

}  // namespace onefile::tool
