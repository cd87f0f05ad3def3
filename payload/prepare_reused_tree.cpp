#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "format/launcher_config.h"
#include "format/payload_format.h"
#include "payload/extract_payload.h"
#include "payload/extraction_directory.h"
#include "payload/placement_check.h"
#include "payload/reuse_steps.h"
#include "runtime/directory_removal.h"
#include "runtime/error_text.h"
#include "runtime/fatal_stops.h"
#include "runtime/launcher_section.h"
#include "runtime/skipped_places.h"

namespace onefile {

ReuseState gReuse = {-1, false, false, false, {}, {}, -1, false, {}, false};

namespace {

// Tries to find or make the version directory before the run settles for a
// private copy: each try ends early only when another run changed the
// directory under this one (published first, swapped in a repair, removed
// it), which a second try then finds settled.
constexpr int kTries = 3;

// The block's first byte: extraction moves gPayloadCursor.
const unsigned char* blockStart;

void nameVersionDirectory() {
    const unsigned char* digest = getLauncherDigest();
    if (digest == nullptr) {
        // The tool never makes such a launcher: --reuse needs the digest.
        fprintf(stderr, "Error, launcher records no digest to name its kept directory after.\n");
        exit(kFatalExitStatus);
    }
    constexpr char kHexDigits[] = "0123456789abcdef";
    static_assert(kVersionNameLength == 2 * kVersionNameDigestBytes);
    for (std::size_t i = 0; i < kVersionNameDigestBytes; ++i) {
        gReuse.versionName[2 * i] = kHexDigits[digest[i] >> 4];
        gReuse.versionName[2 * i + 1] = kHexDigits[digest[i] & 0xf];
    }
    gReuse.versionName[kVersionNameLength] = '\0';
}

// Lets go of a holding directory that cannot be used, and of the levels
// made on the way to it.
void leaveHoldingDirectory() {
    removeCreatedLevels();
    (void)close(gReuse.holding);
    gReuse.holding = -1;
    for (int i = 0; i < gCreatedLevelCount; ++i) (void)close(gCreatedLevels[i].parentDescriptor);
    gCreatedLevelCount = 0;
}

// The holding directory must allow programs to run, and have room for the
// tree when it holds none of this version yet.
bool checkHoldingPlacement(bool lastPlace) {
    // Room is needed for a version nobody has and nobody unpacks yet: a run
    // that finds another unpacking it waits instead of writing.
    struct stat version;
    char unpacking[kReuseNameBytes];
    composeUnpackingName(unpacking);
    bool needsRoom = fstatat(gReuse.holding, gReuse.versionName, &version, AT_SYMLINK_NOFOLLOW) != 0 &&
                     fstatat(gReuse.holding, unpacking, &version, AT_SYMLINK_NOFOLLOW) != 0;
    Placement placement = examinePlacement(gReuse.holding, needsRoom, blockStart, gPayloadEnd);
    if (placement.verdict == PlacementVerdict::fits) return true;
    leaveHoldingDirectory();
    if (lastPlace) {
        reportUnfitPlacement(placement, gReuse.holdingPath);
        exit(kFatalExitStatus);
    }
    char reason[192];
    describePlacement(placement, reason, sizeof reason);
    noteSkippedPlace(gReuse.holdingPath, static_cast<int>(strlen(gReuse.holdingPath)), reason);
    return false;
}

// Whether `text` is the default template's place, {CACHE_DIR}/onefile/NAME,
// where launchers made their holding directories before they marked them.
bool isDefaultPlace(const char* text) {
    constexpr char kDefaultPrefix[] = "{CACHE_DIR}/onefile/";
    constexpr std::size_t kPrefixLength = sizeof kDefaultPrefix - 1;
    if (strncmp(text, kDefaultPrefix, kPrefixLength) != 0 || text[kPrefixLength] == '\0') return false;
    return strpbrk(text + kPrefixLength, "/{}") == nullptr;
}

// A holding directory this run made is marked as a launcher's own before
// the first tree is written into it; one of the user's own at the default
// template's place is adopted then. Any other is used, never cleaned.
void markHoldingDirectory() {
    if (gReuse.marked || !gReuse.markable) return;
    gReuse.marked = makeHoldingMark(gReuse.holding);
    // A run that stops before it leaves a tree there removes the levels it
    // made, and the mark with them.
    if (gReuse.marked && gReuse.madeHolding) {
        gCreatedMark.parentDescriptor = gReuse.holding;
        memcpy(gCreatedMark.name, kHoldingMarkName, sizeof kHoldingMarkName);
    }
}

void lookAtHoldingMark(bool made, const char* directoryTemplate) {
    struct stat holding;
    gReuse.marked = findHoldingMark(gReuse.holding);
    gReuse.madeHolding = made;
    gReuse.markable = made || (isDefaultPlace(directoryTemplate) && fstat(gReuse.holding, &holding) == 0 &&
                               holding.st_uid == geteuid());
}

void copyHoldingPath() {
    std::size_t length = strlen(gExtractionDirectory);
    while (length > 1 && gExtractionDirectory[length - 1] == '/') --length;
    memcpy(gReuse.holdingPath, gExtractionDirectory, length);
    gReuse.holdingPath[length] = '\0';
}

bool enterHoldingDirectory(const char* directoryTemplate, bool lastPlace) {
    copyHoldingPath();
    bool made = false;
    gReuse.holding = openHoldingDirectory(lastPlace, &made);
    if (gReuse.holding < 0 || !checkHoldingPlacement(lastPlace)) return false;
    lookAtHoldingMark(made, directoryTemplate);
    return true;
}

// From now on the application runs from the version directory that the run
// holds.
void runFromVersionDirectory() {
    composeHeldPath(gExtractionDirectory, gReuse.versionName);
    gExtractionLevel.parentDescriptor = gReuse.holding;
    memcpy(gExtractionLevel.name, gReuse.versionName, kVersionNameLength + 1);
    gExtractionDescriptor = gReuse.tree;
    // Levels made on the way to it stay with it, and so does the mark.
    gCreatedLevelCount = 0;
    gCreatedMark.name[0] = '\0';
}

// Unpacks the block into a working directory of this run, unless an earlier
// try did: a run unpacks at most once.
void unpackWorkingDirectory(TokenMaker makeToken) {
    if (gReuse.working) return;
    gPayloadCursor = blockStart;
    markHoldingDirectory();
    makeWorkingDirectory(makeToken);
    extractEntries();
}

// A version that nobody has is unpacked once for all the runs that start
// it together: into the agreed working directory by the first run, while
// the others wait for its publication. False when the run waited and the
// version directory should be looked at again.
bool unpackOnceForAll(TokenMaker makeToken) {
    if (gReuse.working) return true;
    gPayloadCursor = blockStart;
    markHoldingDirectory();
    if (makeUnpackingDirectory()) {
        extractEntries();
        return true;
    }
    if (waitForUnpackingRun() == UnpackingWait::published) return false;
    // That run is gone or stuck: this one unpacks a copy of its own.
    unpackWorkingDirectory(makeToken);
    return true;
}

// This run's working directory stands under the version name now: it is no
// longer ours to remove.
void takeWorkingDirectoryAsVersion() {
    gRemovalFlag = 0;
    gReuse.tree = gExtractionDescriptor;
    gReuse.working = false;
    runFromVersionDirectory();
}

[[noreturn]] void failToCheck(int error) {
    char path[kPathBufferBytes];
    composeHeldPath(path, gReuse.versionName);
    fprintf(stderr, "Error, couldn't check directory '%s': %s.\n", path, describeError(error));
    exitFatally();
}

enum class Settled { yes, again, busy };

// One try; `again` when another run changed the version directory
// meanwhile, `busy` when it kept it locked.
Settled settleTree(TokenMaker makeToken) {
    VersionLookup lookup = holdVersionDirectory();
    stopIfSignalled();
    if (lookup == VersionLookup::busy) return Settled::busy;
    if (lookup == VersionLookup::changed) return Settled::again;
    if (lookup == VersionLookup::missing) {
        if (!unpackOnceForAll(makeToken)) return Settled::again;
        // Another run that published first has the same tree: ours goes
        // once that one is held.
        if (publishWorkingDirectory() == PublishResult::taken) return Settled::again;
        takeWorkingDirectoryAsVersion();
        gReuse.published = true;
        if (gReuse.marked) removeUnheldTrees(gReuse.holding, false);
        return Settled::yes;
    }
    int error = 0;
    TreeVerdict verdict = checkKeptTree(gReuse.tree, blockStart, gPayloadEnd, &error);
    stopIfSignalled();
    if (verdict == TreeVerdict::failed) failToCheck(error);
    if (verdict == TreeVerdict::damaged) {
        unpackWorkingDirectory(makeToken);
        repairKeptTree(gReuse.tree, gExtractionDescriptor, blockStart, gPayloadEnd);
    }
    if (gReuse.working) discardWorkingDirectory();
    runFromVersionDirectory();
    return Settled::yes;
}

// The way without a kept tree: the application runs from this run's own
// working directory, which the end of the run removes.
void runFromPrivateCopy(TokenMaker makeToken, const char* why) {
    char path[kPathBufferBytes];
    composeHeldPath(path, gReuse.versionName);
    fprintf(stderr, "Warning, directory '%s' %s; running a private copy.\n", path, why);
    unpackWorkingDirectory(makeToken);
}

void composeLaunchTarget() {
    // The first name ends within the block: the check or the extraction read
    // the whole block.
    const char* first = reinterpret_cast<const char*>(blockStart + kPayloadMagicBytes);
    gLaunchTarget[0] = '\0';
    if (first[0] == '\0') return;
    std::size_t directoryLength = strlen(gExtractionDirectory);
    std::size_t nameLength = strlen(first);
    if (directoryLength + 1 + nameLength >= kPathBufferBytes) stopOnBrokenLimit("launch target");
    memcpy(gLaunchTarget, gExtractionDirectory, directoryLength);
    gLaunchTarget[directoryLength] = '/';
    memcpy(gLaunchTarget + directoryLength + 1, first, nameLength + 1);
}

void startReuse() {
    checkPayloadMagic();
    blockStart = gPayloadCursor;
    nameVersionDirectory();
}

}  // namespace

bool prepareReusedTree(TokenMaker makeToken, const char* directoryTemplate, bool lastPlace) {
    startReuse();
    if (!enterHoldingDirectory(directoryTemplate, lastPlace)) return false;
    stopIfSignalled();
    Settled settled = Settled::again;
    for (int attempt = 0; attempt < kTries && settled == Settled::again; ++attempt) settled = settleTree(makeToken);
    if (settled == Settled::again) runFromPrivateCopy(makeToken, "kept changing while this run took it");
    if (settled == Settled::busy) runFromPrivateCopy(makeToken, "stayed locked by a run that removes it");
    composeLaunchTarget();
    return true;
}

bool keptVersionIsHere() {
    startReuse();
    int holding = findHoldingDirectory();
    if (holding < 0) return false;
    struct stat version;
    bool here = fstatat(holding, gReuse.versionName, &version, AT_SYMLINK_NOFOLLOW) == 0;
    (void)close(holding);
    return here;
}

bool publishedVersion() { return gReuse.published; }

void removeVersionHere() {
    int holding = findHoldingDirectory();
    if (holding < 0) return;
    if (findHoldingMark(holding)) removeUnheldTrees(holding, true);
    (void)close(holding);
}

void releaseReusedTree() {
    if (gReuse.tree < 0) return;
    // Only this run's descriptor goes: the hold stays while the application
    // keeps its own.
    (void)close(gReuse.tree);
    gReuse.tree = -1;
}

}  // namespace onefile
