#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "payload/extract_payload.h"
#include "payload/placement_check.h"
#include "payload/reuse_steps.h"
#include "payload/tree_hold.h"
#include "runtime/directory_removal.h"
#include "runtime/error_text.h"
#include "runtime/fatal_stops.h"

namespace onefile {

namespace {

constexpr mode_t kWorkingDirectoryMode = 0700;
// Fresh names tried before the run gives up: each try fails only when
// another run removed the directory just made, which it does only once.
constexpr int kMakeTries = 4;

// Whether the working directory held at `working` still stands under its
// name.
bool namesHeldDirectory(int working) {
    struct stat held;
    struct stat named;
    return fstat(working, &held) == 0 &&
           fstatat(gReuse.holding, gReuse.workingName, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

[[noreturn]] void failCreation(int error) {
    fprintf(stderr, "Error, couldn't create extraction directory '%s': %s.\n", gExtractionDirectory,
            describeError(error));
    exitFatally();
}

}  // namespace

void composeWorkingName(char* name, TokenMaker makeToken) {
    char token[kWorkingTokenLength + 1];
    makeToken(token);
    name[0] = '.';
    memcpy(name + 1, gReuse.versionName, kVersionNameLength);
    name[1 + kVersionNameLength] = '-';
    memcpy(name + 2 + kVersionNameLength, token, kWorkingTokenLength + 1);
}

namespace {

enum class Made { held, taken, changed };

// Makes the working directory gReuse.workingName exclusively and holds it.
// `taken` when the name exists; `changed` when another run removed the
// directory before this one held it. No lock of the holding directory guards
// this: a run that removes stale working directories may take a new one
// before its maker holds it, so the maker makes sure, once it holds the
// directory, that the name still leads to it.
Made makeHeldDirectory() {
    composeHeldPath(gExtractionDirectory, gReuse.workingName);
    if (mkdirat(gReuse.holding, gReuse.workingName, kWorkingDirectoryMode) != 0) {
        if (errno == EEXIST) return Made::taken;
        failCreation(errno);
    }
    int working = openTreeToHold(gReuse.holding, gReuse.workingName);
    if (working < 0) {
        if (errno == ENOENT) return Made::changed;
        int error = errno;
        (void)unlinkat(gReuse.holding, gReuse.workingName, AT_REMOVEDIR);
        failCreation(error);
    }
    gExtractionLevel.parentDescriptor = gReuse.holding;
    memcpy(gExtractionLevel.name, gReuse.workingName, kReuseNameBytes);
    gExtractionDescriptor = working;
    // From here on the directory is ours: a stop removes it, while its name
    // still leads to it.
    gRemovalFlag = 1;
    if (takeSharedHold(working) && namesHeldDirectory(working)) return Made::held;
    gRemovalFlag = 0;
    gExtractionDescriptor = -1;
    (void)close(working);
    return Made::changed;
}

// The made directory is this run's working directory from now on; it must
// have room for the tree.
void settleWorkingDirectory() {
    gReuse.working = true;
    // Looked at again here, where the tree is written: the holding
    // directory's look may have found the version there (a repair needs the
    // room too), and the disk may have filled meanwhile.
    Placement placement = examinePlacement(gExtractionDescriptor, true, gPayloadCursor, gPayloadEnd);
    if (placement.verdict != PlacementVerdict::fits) {
        discardWorkingDirectory();
        reportUnfitPlacement(placement, gReuse.holdingPath);
        exitFatally();
    }
}

}  // namespace

void composeUnpackingName(char* name) {
    name[0] = '.';
    memcpy(name + 1, gReuse.versionName, kVersionNameLength);
    name[1 + kVersionNameLength] = '-';
    memcpy(name + 2 + kVersionNameLength, kUnpackingToken, kWorkingTokenLength + 1);
}

void makeWorkingDirectory(TokenMaker makeToken) {
    for (int attempt = 0;; ++attempt) {
        if (attempt == kMakeTries) failCreation(EAGAIN);
        composeWorkingName(gReuse.workingName, makeToken);
        if (makeHeldDirectory() == Made::held) break;
    }
    settleWorkingDirectory();
}

bool makeUnpackingDirectory() {
    for (int attempt = 0; attempt < kMakeTries; ++attempt) {
        composeUnpackingName(gReuse.workingName);
        Made made = makeHeldDirectory();
        if (made == Made::taken) return false;
        if (made == Made::held) {
            settleWorkingDirectory();
            return true;
        }
    }
    return false;
}

void discardWorkingDirectory() {
    removeExtractionDirectory();
    gRemovalFlag = 0;
    (void)close(gExtractionDescriptor);
    gExtractionDescriptor = -1;
    gReuse.working = false;
}

}  // namespace onefile
