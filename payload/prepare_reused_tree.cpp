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
#include "runtime/fatal_stops.h"
#include "runtime/launcher_section.h"

namespace onefile {

ReuseState gReuse = {-1, 0, {}, {}, -1, false, {}};

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
    (void)close(gReuse.holding);
    gReuse.holding = -1;
    removeCreatedLevels();
    for (int i = 0; i < gCreatedLevelCount; ++i) (void)close(gCreatedLevels[i].parentDescriptor);
    gCreatedLevelCount = 0;
}

// The holding directory must allow programs to run, and have room for the
// tree when it holds none of this version yet.
bool checkHoldingPlacement(bool lastPlace) {
    struct stat version;
    bool needsRoom = fstatat(gReuse.holding, gReuse.versionName, &version, AT_SYMLINK_NOFOLLOW) != 0;
    Placement placement = examinePlacement(gReuse.holding, needsRoom, blockStart, gPayloadEnd);
    if (placement.verdict == PlacementVerdict::fits) return true;
    leaveHoldingDirectory();
    if (lastPlace) {
        reportUnfitPlacement(placement, gReuse.holdingPath);
        exit(kFatalExitStatus);
    }
    char reason[192];
    describePlacement(placement, reason, sizeof reason);
    fprintf(stderr, "'%s': %s\n", gReuse.holdingPath, reason);
    return false;
}

bool enterHoldingDirectory(bool lastPlace) {
    std::size_t length = strlen(gExtractionDirectory);
    while (length > 1 && gExtractionDirectory[length - 1] == '/') --length;
    memcpy(gReuse.holdingPath, gExtractionDirectory, length);
    gReuse.holdingPath[length] = '\0';
    gReuse.holding = openHoldingDirectory(lastPlace);
    return gReuse.holding >= 0 && checkHoldingPlacement(lastPlace);
}

// From now on the application runs from the version directory that the run
// holds.
void runFromVersionDirectory() {
    composeHeldPath(gExtractionDirectory, gReuse.versionName);
    gExtractionLevel.parentDescriptor = gReuse.holding;
    memcpy(gExtractionLevel.name, gReuse.versionName, kVersionNameLength + 1);
    gExtractionDescriptor = gReuse.tree;
    // Levels made on the way to it stay with it.
    gCreatedLevelCount = 0;
}

// Unpacks the block into a working directory of this run, unless an earlier
// try did: a run unpacks at most once.
void unpackWorkingDirectory(TokenMaker makeToken) {
    if (gReuse.working) return;
    gPayloadCursor = blockStart;
    makeWorkingDirectory(makeToken);
    extractEntries();
}

// This run's working directory stands under the version name now: it is no
// longer ours to remove.
void takeWorkingDirectoryAsVersion() {
    gRemovalFlag = 0;
    gReuse.tree = gExtractionDescriptor;
    gReuse.working = false;
    runFromVersionDirectory();
}

// One try; false when another run changed the version directory meanwhile.
bool settleTree(TokenMaker makeToken) {
    VersionLookup lookup = holdVersionDirectory();
    stopIfSignalled();
    if (lookup == VersionLookup::changed) return false;
    if (lookup == VersionLookup::missing) {
        unpackWorkingDirectory(makeToken);
        // Another run that published first has the same tree: ours goes
        // once that one is held.
        if (publishWorkingDirectory() == PublishResult::taken) return false;
        takeWorkingDirectoryAsVersion();
        removeUnheldTrees();
        return true;
    }
    if (treeMatchesBlock(gReuse.tree, blockStart, gPayloadEnd)) {
        stopIfSignalled();
        if (gReuse.working) discardWorkingDirectory();
        runFromVersionDirectory();
        return true;
    }
    struct stat damaged;
    int replaced = gReuse.tree;
    gReuse.tree = -1;
    if (fstat(replaced, &damaged) != 0) {
        letGoOfTree(replaced);
        return false;
    }
    unpackWorkingDirectory(makeToken);
    if (replaceVersionDirectory(damaged, makeToken) == PublishResult::taken) {
        letGoOfTree(replaced);
        return false;
    }
    takeWorkingDirectoryAsVersion();
    letGoOfTree(replaced);
    removeUnheldTrees();
    return true;
}

// The reuse-free way: the application runs from this run's own working
// directory, which the end of the run removes.
void runFromPrivateCopy(TokenMaker makeToken) {
    char path[kPathBufferBytes];
    composeHeldPath(path, gReuse.versionName);
    fprintf(stderr, "Warning, directory '%s' kept changing while this run took it; running a private copy.\n",
            path);
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

}  // namespace

bool prepareReusedTree(TokenMaker makeToken, bool lastPlace) {
    checkPayloadMagic();
    blockStart = gPayloadCursor;
    nameVersionDirectory();
    if (!enterHoldingDirectory(lastPlace)) return false;
    stopIfSignalled();
    bool settled = false;
    for (int attempt = 0; attempt < kTries && !settled; ++attempt) settled = settleTree(makeToken);
    if (!settled) runFromPrivateCopy(makeToken);
    composeLaunchTarget();
    return true;
}

void releaseReusedTree() {
    if (gReuse.tree < 0) return;
    letGoOfTree(gReuse.tree);
    gReuse.tree = -1;
}

}  // namespace onefile
