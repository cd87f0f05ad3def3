#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "payload/extract_payload.h"
#include "payload/placement_check.h"
#include "payload/reuse_steps.h"
#include "runtime/directory_removal.h"
#include "runtime/error_text.h"
#include "runtime/fatal_stops.h"

namespace onefile {

namespace {

constexpr mode_t kWorkingDirectoryMode = 0700;
constexpr int kTreeOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

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

void makeWorkingDirectory(TokenMaker makeToken) {
    composeWorkingName(gReuse.workingName, makeToken);
    composeHeldPath(gExtractionDirectory, gReuse.workingName);
    // Made and locked under the holding directory's shared lock: the removal
    // of stale working directories picks its candidates under the exclusive
    // one, so it never meets this directory before we hold it.
    lockDirectory(gReuse.holding, LOCK_SH, gReuse.holdingPath);
    if (mkdirat(gReuse.holding, gReuse.workingName, kWorkingDirectoryMode) != 0) failCreation(errno);
    int working = openat(gReuse.holding, gReuse.workingName, kTreeOpenFlags);
    if (working < 0) {
        int error = errno;
        (void)unlinkat(gReuse.holding, gReuse.workingName, AT_REMOVEDIR);
        failCreation(error);
    }
    gExtractionLevel.parentDescriptor = gReuse.holding;
    memcpy(gExtractionLevel.name, gReuse.workingName, kReuseNameBytes);
    gExtractionDescriptor = working;
    // From here on the directory is ours: a stop removes it.
    gRemovalFlag = 1;
    gReuse.working = true;
    lockDirectory(working, LOCK_SH, gExtractionDirectory);
    (void)flock(gReuse.holding, LOCK_UN);
    // Looked at again here, where the tree is written: the holding
    // directory's look may have found the version there (a repair needs the
    // room too), and the disk may have filled meanwhile.
    Placement placement = examinePlacement(working, true, gPayloadCursor, gPayloadEnd);
    if (placement.verdict != PlacementVerdict::fits) {
        discardWorkingDirectory();
        reportUnfitPlacement(placement, gReuse.holdingPath);
        exitFatally();
    }
}

void discardWorkingDirectory() {
    removeExtractionDirectory();
    gRemovalFlag = 0;
    (void)close(gExtractionDescriptor);
    gExtractionDescriptor = -1;
    gReuse.working = false;
}

}  // namespace onefile
