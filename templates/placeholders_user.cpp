// The user: {HOME}, {CACHE_DIR} and {UID}.
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "templates/placeholder_routines.h"

namespace onefile {

bool insertHomeDirectory(TemplateOutput& output) {
    // A set HOME counts whatever it holds; an empty one inserts nothing and,
    // through the trailing-slash rule, removes the slashes before it.
    const char* home = getenv("HOME");
    if (home == nullptr) {
        // getpwuid returns static storage of the system library; the home
        // directory is copied into the output before anything can call it.
        const passwd* entry = getpwuid(getuid());
        if (entry == nullptr || entry->pw_dir == nullptr) return false;
        home = entry->pw_dir;
    }
    appendPlaceholderValue(output, home, true);
    return true;
}

bool insertCacheDirectory(TemplateOutput& output) {
    // Only an absolute XDG_CACHE_HOME counts; an empty or relative one is
    // ignored, as if it were unset.
    const char* cache = getenv("XDG_CACHE_HOME");
    if (cache != nullptr && cache[0] == '/') {
        appendPlaceholderValue(output, cache, true);
        return true;
    }
    if (!expandTemplateOnto(output, "{HOME}/.cache")) return false;
    stripTrailingSlashes(output);
    return true;
}

bool insertUserId(TemplateOutput& output) {
    // The effective user id, the one every ownership check of the launcher
    // compares with: a level named after it is the user's own.
    char userId[16];
    snprintf(userId, sizeof userId, "%u", static_cast<unsigned>(geteuid()));
    appendPlaceholderValue(output, userId, false);
    return true;
}

}  // namespace onefile
