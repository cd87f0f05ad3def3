// The strings of a launcher's configuration area: its directory template,
// product name and version string, checked before anything is written.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "format/launcher_config.h"

namespace onefile::tool {

// The default template of pack --reuse is this prefix and a name fixed when
// packing (see findHoldingNameFault).
inline constexpr char kReuseTemplatePrefix[] = "{CACHE_DIR}/onefile/";
// The second place of the default: the user's own level in the temporary
// directory.
inline constexpr char kReuseFallbackTemplatePrefix[] = "{TEMP}/onefile-{UID}/";

struct LauncherStrings {
    std::string directoryTemplate;
    std::string productName;
    std::string versionString;
    // The templates the launcher tries, in order, where the place the one
    // before names cannot be used. They share directoryTemplate's field:
    // each template ends with its NUL, and the list with an empty one.
    std::vector<std::string> fallbackTemplates = {};
    // Written once to standard error by a run that unpacks (pack
    // --first-run-message); empty for none. Only the second configuration
    // layout has its field.
    std::string firstRunMessage = {};
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

// Every template, the first one first.
std::vector<std::string> allTemplates(const LauncherStrings& strings);

// The bytes of the template field before its zero fill: each template and
// its NUL. A single template is written as it always was.
std::string encodeTemplates(const LauncherStrings& strings);

// Throws ToolError naming the option (--template, --product, --version) of a
// string that does not fit its field with its NUL (the templates together,
// and the empty one that ends their list), of an empty template, of
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
// ignoring ASCII case. With `reuse` the template names the directory that
// holds the kept trees, below which the launcher adds a level of its own:
// its last level is then a level like the others; a template that names a
// directory of general use ({HOME}, {PROGRAM_DIR}, {TEMP} or {CACHE_DIR}
// alone, or a literal directory like /tmp or /var/tmp) is then a hazard
// too: the launcher never cleans a holding directory it did not make.
std::vector<std::string> findTemplateHazards(std::string_view templateText, bool reuse = false);

// The first placeholder of `templateText`, as written, whose value differs
// from run to run ({PID}, {TIME}, {TIME_US}, {RANDOM}); empty when none.
// A template for pack --reuse must have none: the next run would look for
// the kept tree elsewhere.
std::string findPerRunPlaceholder(std::string_view templateText);

// Why `name` cannot be the literal last level of the default template of
// pack --reuse (one directory level, made of literal text: no "/", no "{",
// not empty, "." or "..", at most kLongestComponentBytes bytes); empty when
// it can.
std::string findHoldingNameFault(std::string_view name);

}  // namespace onefile::tool
