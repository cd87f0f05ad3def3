#include <cstdio>
#include <cstring>

#include "runtime/skipped_places.h"

namespace onefile {

const char* gPlaceTemplate;

namespace {

// A few places with long paths; more are rare, and their lines are dropped.
constexpr std::size_t kNotesBytes = 8192;
char notes[kNotesBytes];
std::size_t notesLength;

bool startsWithPlaceholder(const char* text, const char* name) {
    if (text[0] != '{') return false;
    std::size_t length = strlen(name);
    for (std::size_t i = 0; i < length; ++i) {
        char c = text[1 + i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != name[i]) return false;
    }
    return text[1 + length] == '}';
}

}  // namespace

void noteSkippedPlace(const char* path, int pathLength, const char* reason) {
    int written = snprintf(notes + notesLength, kNotesBytes - notesLength, "'%.*s': %s\n", pathLength, path, reason);
    if (written > 0 && static_cast<std::size_t>(written) < kNotesBytes - notesLength) {
        notesLength += static_cast<std::size_t>(written);
    } else {
        notes[notesLength] = '\0';
    }
}

void reportSkippedPlaces() {
    if (notesLength > 0) fputs(notes, stderr);
    notesLength = 0;
}

const char* describePlaceVariable() {
    if (gPlaceTemplate == nullptr) return "TMPDIR";
    if (startsWithPlaceholder(gPlaceTemplate, "TEMP")) return "TMPDIR";
    if (startsWithPlaceholder(gPlaceTemplate, "CACHE_DIR")) return "XDG_CACHE_HOME or HOME";
    if (startsWithPlaceholder(gPlaceTemplate, "HOME")) return "HOME";
    return nullptr;
}

}  // namespace onefile
