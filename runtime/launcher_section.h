// The launcher's view of its own payload section: the configuration area the
// onefile tool filled and the attached block behind it.
#pragma once

namespace onefile {

// The build-time strings of this launcher, NUL-terminated.
const char* getDirectoryTemplate();
// The template the launcher tries after `current` (one returned by these
// two) when the place `current` names cannot be used, or nullptr when
// `current` is the last. The templates lie one after the other in their
// field, each ended by its NUL, the list by an empty one.
const char* getNextDirectoryTemplate(const char* current);
const char* getProductName();
const char* getVersionString();

// Address of the first byte behind the configuration area: the block's magic
// once a payload is attached.
const unsigned char* getAttachedBlock();

// Whether this launcher keeps its unpacked tree between runs (pack --reuse).
bool launcherReusesTree();

// The message a run that unpacks writes once to standard error (pack
// --first-run-message); empty for none.
const char* getFirstRunMessage();
// Whether its runs reclaim the trees that runs killed outright left behind
// (not for a launcher made with pack --no-reclaim).
bool launcherReclaimsTrees();

// The SHA-256 digest `onefile pack` recorded of this launcher
// (kLauncherDigestBytes bytes), or nullptr when it records none.
const unsigned char* getLauncherDigest();

}  // namespace onefile
