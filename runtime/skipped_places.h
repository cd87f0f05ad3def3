// The places a run skipped on its way to the one it uses: said only when no
// place can be used at all, so that a run that works says nothing of them.
#pragma once

namespace onefile {

// The template of the place being tried, as the launcher carries it: the
// messages of a place that cannot be used name what moves it. Set before
// each place is tried; nullptr before any.
extern const char* gPlaceTemplate;

// Notes one skipped place: the line "'PATH': REASON", PATH being the first
// `pathLength` bytes of `path`. Lines beyond the room kept are dropped.
void noteSkippedPlace(const char* path, int pathLength, const char* reason);

// Writes the noted lines to standard error, once: called when the last place
// fails, before its message.
void reportSkippedPlaces();

// What the user sets to move the place that gPlaceTemplate names, for the
// end of a message ("set TMPDIR to ..."): "TMPDIR" for {TEMP},
// "XDG_CACHE_HOME or HOME" for {CACHE_DIR}, "HOME" for {HOME} at the
// template's start; nullptr when the template names no variable there.
const char* describePlaceVariable();

}  // namespace onefile
