#include "templates/placeholder_table.h"

#include <iterator>

#include "templates/placeholder_routines.h"

namespace onefile {

namespace {

constexpr Placeholder kPlaceholderTable[] = {
    {"TEMP", insertTemporaryDirectory},
    {"PID", insertProcessId},
    {"TIME_US", insertTimeMicroseconds},
    {"RANDOM", insertRandomToken},
    {"PROGRAM", insertProgramPath},
    {"PROGRAM_BASE", insertProgramBase},
    {"PROGRAM_DIR", insertProgramDirectory},
    {"HOME", insertHomeDirectory},
    {"CACHE_DIR", insertCacheDirectory},
    {"COMPANY", insertProductName},
    {"PRODUCT", insertProductName},
    {"VERSION", insertVersionString},
    {"FILE_VERSION", insertVersionString},
    {"PRODUCT_VERSION", insertVersionString},
    {"TIME", insertStartTime},
    {"UID", insertUserId},
};

constexpr bool namesAreEqual(const char* left, const char* right) {
    while (*left != '\0' && *left == *right) {
        ++left;
        ++right;
    }
    return *left == *right;
}

// The onefile tool checks templates against kPlaceholderNames; the launcher
// must recognise exactly the same names.
constexpr bool tableMatchesNames() {
    if (std::size(kPlaceholderTable) != std::size(kPlaceholderNames)) return false;
    for (std::size_t index = 0; index < std::size(kPlaceholderTable); ++index) {
        if (!namesAreEqual(kPlaceholderTable[index].name, kPlaceholderNames[index])) return false;
    }
    return true;
}
static_assert(tableMatchesNames(), "placeholder table and kPlaceholderNames differ");

// The launcher never changes its locale, and names are ASCII: plain folding.
char foldAsciiCase(char character) {
    if (character >= 'a' && character <= 'z') return static_cast<char>(character - 'a' + 'A');
    return character;
}

bool namesMatchIgnoringCase(const char* name, const char* tableName) {
    while (*name != '\0' && foldAsciiCase(*name) == *tableName) {
        ++name;
        ++tableName;
    }
    return *name == '\0' && *tableName == '\0';
}

}  // namespace

const Placeholder* findPlaceholder(const char* name) {
    // Only whole names match, so at most one entry does.
    for (const Placeholder& placeholder : kPlaceholderTable) {
        if (namesMatchIgnoringCase(name, placeholder.name)) return &placeholder;
    }
    return nullptr;
}

}  // namespace onefile
