// The launcher's main sequence: prepare the launch environment, name the
// extraction directory, unpack the attached payload there (or, for a
// launcher made with pack --reuse, find the tree a run kept), run its first
// entry as a child with our arguments, wait, clean up and pass the child's
// status on.
#include <cerrno>
#include <cstdint>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <libgen.h>
#include <sys/wait.h>
#include <unistd.h>

#include "launcher/abandoned_trees.h"
#include "launcher/explain_exec_failure.h"
#include "launcher/supervision.h"
#include "payload/entry_writers.h"
#include "payload/extract_payload.h"
#include "payload/reuse_names.h"
#include "payload/reused_tree.h"
#include "runtime/directory_removal.h"
#include "runtime/error_text.h"
#include "runtime/fatal_stops.h"
#include "runtime/launch_variables.h"
#include "runtime/launcher_file.h"
#include "runtime/launcher_section.h"
#include "runtime/launcher_state.h"
#include "runtime/program_path.h"
#include "runtime/skipped_places.h"
#include "templates/expand_template.h"
#include "templates/random_token.h"

using namespace onefile;

namespace {

constexpr int kExecAttempts = 10;
constexpr useconds_t kExecBusyPauseMicroseconds = 100000;
// The shell's convention for a process ended by signal N.
constexpr int kSignalExitBase = 128;

char launcherDirectory[kProgramPathBytes];
// The template whose place this run unpacked into; nullptr for a kept tree.
const char* freshTemplate;

void prepareLaunchEnvironment() {
    // Values inherited from a launcher that started us must not reach the
    // expansion or the child: each run draws its own.
    (void)unsetenv("TAVMIR_ONEFILE_START");
    (void)unsetenv("TAVMIR_ONEFILE_TIME_US");
    (void)unsetenv("TAVMIR_ONEFILE_RANDOM");
    setEnvironmentNumber("TAVMIR_ONEFILE_PARENT", getpid());
}

void completeLaunchEnvironment(const char* argv0) {
    copyStringBounded(launcherDirectory, getProgramPath(), sizeof launcherDirectory,
                      "launcher directory");
    // dirname works on the copy, so the program path keeps its last component.
    setLaunchVariable("TAVMIR_ONEFILE_DIRECTORY", dirname(launcherDirectory));
    setLaunchVariable("TAVMIR_ORIGINAL_ARGV0", argv0);
}

[[noreturn]] void runChild(char** argv, const sigset_t& originalMask) {
    // Whatever happens here, the parent removes what the run made.
    gRemovalFlag = 0;
    gCreatedLevelCount = 0;
    // argv[0] becomes the launcher's own absolute path; the child normally
    // finds the link already read by the parent.
    argv[0] = const_cast<char*>(readProgramLink());
    // The application starts with the dispositions and the signal mask the
    // launcher was given.
    restoreInheritedSignals(originalMask);
    int error = 0;
    for (int attempt = 1; attempt <= kExecAttempts; ++attempt) {
        execv(gLaunchTarget, argv);
        error = errno;
        if (error != ETXTBSY) break;
        usleep(kExecBusyPauseMicroseconds);
    }
    reportSystemError("Error, couldn't launch child (exec)", error);
    explainExecFailure(gLaunchTarget, error);
    exit(kFatalExitStatus);
}

// The shell's convention: the child's exit code, or 128 + N when signal N
// ended it (137 after the grace period's SIGKILL).
int exitStatusOf(int status) {
    if (WIFSIGNALED(status)) return kSignalExitBase + WTERMSIG(status);
    return WEXITSTATUS(status);
}

// Waits for the child and turns its end into the launcher's exit status. A
// cleanup in the termination handler may have collected the child first;
// its poll kept the status.
int waitForChild() {
    for (;;) {
        int status = 0;
        pid_t result = waitpid(gChildProcessId, &status, 0);
        if (result >= 0) {
            gChildStatus = status;
            gChildStatusKnown = 1;
            gChildReaped = 1;
            break;
        }
        if (errno == EINTR && !gChildReaped) continue;
        if (errno == EINTR || errno == ECHILD) {
            gChildReaped = 1;
            break;
        }
        return kFatalExitStatus;
    }
    return gChildStatusKnown ? exitStatusOf(gChildStatus) : kFatalExitStatus;
}

// The attached block: where it starts and ends in the launcher's image, whose
// pages extraction may give back once written out, and where it lies in the
// launcher's file, from which stored entries are copied.
void placePayload() {
    gPayloadCursor = getPayloadStart();
    gPayloadEnd = getPayloadEnd();
    gPayloadPagesReleasable = true;
    gPayloadFileOffset = getPayloadFileOffset();
    gPayloadInLauncherFile = true;
}

static_assert(kRandomTokenLength == kWorkingTokenLength, "working directories are named with {RANDOM}'s tokens");

// Expands a directory template into the extraction directory. With pack
// --reuse it names the directory that holds the kept trees. The last
// template must expand: one that does not ends the run before anything is
// made; an earlier one gives way to the next.
bool nameExtractionDirectory(const char* directoryTemplate, bool lastPlace) {
    gPlaceTemplate = directoryTemplate;
    if (expandTemplate(gExtractionDirectory, directoryTemplate, kPathBufferBytes)) return true;
    if (!lastPlace) {
        noteSkippedPlace(directoryTemplate, static_cast<int>(strlen(directoryTemplate)), "couldn't expand it");
        return false;
    }
    reportSkippedPlaces();
    fprintf(stderr, "Error, couldn't runtime expand spec '%s'.\n", directoryTemplate);
    abort();
}

// Forks the child. The handled signals are held back from the last look for
// a stop until the parent has stored the child's id: one that comes in that
// window then reaches a handler that knows the child. False when the fork
// failed: what the run made is removed and the failure reported.
bool startChild(char** argv) {
    sigset_t heldSignals = handledSignals();
    sigset_t originalMask;
    sigprocmask(SIG_BLOCK, &heldSignals, &originalMask);
    stopIfSignalled();
    pid_t child = fork();
    if (child == 0) runChild(argv, originalMask);
    if (child < 0) {
        int forkError = errno;
        gCleanupRunning = 1;
        sigprocmask(SIG_SETMASK, &originalMask, nullptr);
        cleanUp(false);
        reportSystemError("Error, couldn't launch child (fork)", forkError);
        return false;
    }
    gChildProcessId = child;
    passHeldSignals();
    sigprocmask(SIG_SETMASK, &originalMask, nullptr);
    return true;
}

// Places, by their position among the templates, that hold this version but
// could not be used (not safe, mounted noexec...): their line was said when
// the look tried them, and the publication passes them by. Places past the
// mask's width are tried again.
std::uint64_t unusableKeptPlaces = 0;
constexpr int kPlacesRemembered = 64;

bool isUnusableKeptPlace(int position) {
    return position < kPlacesRemembered && ((unusableKeptPlaces >> position) & 1u) != 0;
}

// A kept tree is looked for in every place first, in order, making nothing
// and saying nothing: the first place that has this version is used (and
// repaired there when damaged). Returns true when one was used.
bool useKeptVersion() {
    int position = 0;
    for (const char* directoryTemplate = getDirectoryTemplate(); directoryTemplate != nullptr; ++position) {
        const char* next = getNextDirectoryTemplate(directoryTemplate);
        gPlaceTemplate = directoryTemplate;
        if (expandTemplate(gExtractionDirectory, directoryTemplate, kPathBufferBytes) && keptVersionIsHere()) {
            if (prepareReusedTree(makeRandomToken, directoryTemplate, next == nullptr)) return true;
            if (position < kPlacesRemembered) unusableKeptPlaces |= std::uint64_t{1} << position;
        }
        directoryTemplate = next;
    }
    return false;
}

// A version published in one place makes the copies of it in the places
// after that one, which earlier runs used while this one could not, stale.
void removeVersionFromLaterPlaces(const char* publishedTemplate) {
    char runDirectory[kPathBufferBytes];
    copyStringBounded(runDirectory, gExtractionDirectory, sizeof runDirectory, "extraction directory");
    for (const char* later = getNextDirectoryTemplate(publishedTemplate); later != nullptr;
         later = getNextDirectoryTemplate(later)) {
        if (expandTemplate(gExtractionDirectory, later, kPathBufferBytes)) removeVersionHere();
    }
    copyStringBounded(gExtractionDirectory, runDirectory, sizeof runDirectory, "extraction directory");
}

// Unpacks the block into the extraction directory, or finds (or makes) the
// tree that runs of a launcher made with pack --reuse keep: in the place the
// first template names that can be made, is safe, allows programs and has
// room. A place skipped is named only when no place works; the last one's
// failure ends the run.
void prepareApplicationTree() {
    if (launcherReusesTree() && useKeptVersion()) return;
    const char* directoryTemplate = getDirectoryTemplate();
    for (int position = 0;; ++position) {
        const char* next = getNextDirectoryTemplate(directoryTemplate);
        bool lastPlace = next == nullptr;
        if (!isUnusableKeptPlace(position) && nameExtractionDirectory(directoryTemplate, lastPlace)) {
            if (!launcherReusesTree()) {
                if (extractPayload(lastPlace)) {
                    freshTemplate = directoryTemplate;
                    return;
                }
            } else if (prepareReusedTree(makeRandomToken, directoryTemplate, lastPlace)) {
                if (publishedVersion()) removeVersionFromLaterPlaces(directoryTemplate);
                return;
            }
        }
        directoryTemplate = next;
    }
}

// The end of a run whose child has ended: a termination signal from here on
// leaves the removal to this cleanup. A kept tree stays.
void finishRun() {
    gCleanupRunning = 1;
    if (extractedInParallel()) removeFilesInParallel();
    cleanUp(false);
    if (launcherReusesTree()) releaseReusedTree();
}

}  // namespace

int main(int argc, char** argv) {
    // An empty argument vector still gives the child a vector with its own
    // path in element 0.
    char* fallbackArguments[] = {const_cast<char*>(""), nullptr};
    if (argc < 1 || argv == nullptr || argv[0] == nullptr) argv = fallbackArguments;

    // Read first, so that a missing /proc stops the run before anything is
    // written; the file must then hold all of the block before it is read.
    (void)getProgramPath();
    checkLauncherComplete();
    prepareLaunchEnvironment();
    placePayload();
    installSignalHandling();
    prepareApplicationTree();
    completeLaunchEnvironment(argv[0]);
    if (!startChild(argv)) return kFatalExitStatus;
    // While the child runs, and to its bound even when the child ends first.
    reclaimAbandonedTrees(freshTemplate);
    int exitStatus = waitForChild();
    finishRun();
    return exitStatus;
}
