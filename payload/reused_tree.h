// Keeping the unpacked application between runs (a launcher made with pack
// --reuse). The expanded template names the holding directory; below it,
// the version directory, named after the digest the tool recorded, holds
// the tree. A run that finds it missing unpacks into a private working
// directory beside it and publishes that with one rename; a run that finds
// it checks every entry of the block against it (names, kinds, sizes, the
// owner's execute bit, link texts; no content is hashed) and repairs a tree
// that differs by swapping a freshly unpacked one in. Every run holds a
// shared lock on the tree it uses while it lives, and a tree is removed only
// by whoever can take the exclusive lock without waiting.
#pragma once

namespace onefile {

// Writes a fresh random token of kWorkingTokenLength characters
// (payload/reuse_names.h) and its NUL: the launcher's {RANDOM} routine.
using TokenMaker = void (*)(char* token);

// Instead of extractPayload: makes the application's tree ready below the
// holding directory that gExtractionDirectory names, the expansion of
// `directoryTemplate`, as described above. Afterwards gExtractionDirectory
// names the directory the application runs from and gLaunchTarget its first
// entry. When the version directory keeps changing under the run (three
// times), or stays locked by a run that removes it, the run unpacks a
// private copy instead, says so on standard error, and removes it at the end
// like a fresh directory. A version directory that is not safe to use (not
// the user's own directory, or open to others) ends the run with status 2.
// A holding directory that cannot be made or used (not safe, on a file
// system mounted noexec, or without room for a tree it lacks) ends the run
// as well when `lastPlace` is set; otherwise one line says why and the
// result is false, so that the next place is tried.
bool prepareReusedTree(TokenMaker makeToken, const char* directoryTemplate, bool lastPlace);

// Whether the holding directory that gExtractionDirectory names holds this
// launcher's version already; makes nothing and says nothing. Runs look in
// every place first, and publish only when none has it.
bool keptVersionIsHere();

// Whether this run published its version (made the tree): the later places
// then lose their copies of it.
bool publishedVersion();

// In the holding directory that gExtractionDirectory names, when it is a
// launcher's own: removes this launcher's version and any other that no run
// holds. Makes nothing and says nothing.
void removeVersionHere();

// At the end of a run, in the main sequence: closes this run's descriptor
// of the tree it used. Nothing is removed; the hold lasts while the
// application keeps the descriptor it inherited.
void releaseReusedTree();

}  // namespace onefile
