// The launcher's main sequence: prepare the launch environment, name the
// extraction directory, unpack the attached payload there, run its first
// entry as a child with our arguments, wait, clean up and pass the child's
// status on.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <libgen.h>
#include <sys/wait.h>
#include <unistd.h>

#include "build/launcher_section.h"
#include "launcher/launcher_state.h"
#include "launcher/shared_operations.h"
#include "launcher/supervision.h"
#include "payload/extract_payload.h"
#include "templates/expand_template.h"

using namespace onefile;

namespace {

constexpr int kExecAttempts = 10;
constexpr useconds_t kExecBusyPauseMicroseconds = 100000;
// The shell's convention for a process ended by signal N.
constexpr int kSignalExitBase = 128;

char launcherDirectory[kProgramPathBytes];

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
    (void)setenv("TAVMIR_ONEFILE_DIRECTORY", dirname(launcherDirectory), 1);
    (void)setenv("TAVMIR_ORIGINAL_ARGV0", argv0, 1);
}

sigset_t terminationSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGQUIT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

[[noreturn]] void runChild(char** argv, const sigset_t& originalMask) {
    // argv[0] becomes the launcher's own absolute path; the child normally
    // finds the link already read by the parent.
    argv[0] = const_cast<char*>(readProgramLink());
    // The application starts with the signal mask the launcher was given.
    sigprocmask(SIG_SETMASK, &originalMask, nullptr);
    int error = 0;
    for (int attempt = 1; attempt <= kExecAttempts; ++attempt) {
        execv(gLaunchTarget, argv);
        error = errno;
        if (error != ETXTBSY) break;
        usleep(kExecBusyPauseMicroseconds);
    }
    reportSystemError("Error, couldn't launch child (exec)", error);
    exit(kFatalExitStatus);
}

// Waits for the child and turns its end into the launcher's exit status.
int waitForChild() {
    int status;
    for (;;) {
        status = 0;
        pid_t result = waitpid(gChildProcessId, &status, 0);
        if (result >= 0) {
            gChildReaped = 1;
            break;
        }
        if (errno == EINTR) continue;
        if (errno == ECHILD) {
            gChildReaped = 1;
            break;
        }
        return kFatalExitStatus;
    }
    // A child that crashed on its own must not look like success. Once the
    // launcher has handled a termination signal, the stop was asked for and
    // the status follows the handler's rules.
    if (WIFSIGNALED(status) && !gTerminationHandled) return kSignalExitBase + WTERMSIG(status);
    return (status >> 8) & 0xFF;
}

}  // namespace

int main(int argc, char** argv) {
    // An empty argument vector still gives the child a vector with its own
    // path in element 0.
    char* fallbackArguments[] = {const_cast<char*>(""), nullptr};
    if (argc < 1 || argv == nullptr || argv[0] == nullptr) argv = fallbackArguments;

    prepareLaunchEnvironment();
    const char* directoryTemplate = getDirectoryTemplate();
    bool expanded = expandTemplate(gExtractionDirectory, directoryTemplate, kPathBufferBytes);
    gPayloadCursor = getPayloadStart();
    gPayloadEnd = getPayloadEnd();
    gPayloadPagesReleasable = true;
    if (!expanded) {
        fprintf(stderr, "Error, couldn't runtime expand spec '%s'.\n", directoryTemplate);
        abort();
    }
    installTerminationHandler();
    extractPayload();
    completeLaunchEnvironment(argv[0]);

    // Termination signals are held back from fork until the parent has
    // stored the child's id, so a signal in that window still reaches a
    // cleanup that knows the child and forwards to it.
    sigset_t heldSignals = terminationSignals();
    sigset_t originalMask;
    sigprocmask(SIG_BLOCK, &heldSignals, &originalMask);
    pid_t child = fork();
    if (child == 0) runChild(argv, originalMask);
    if (child < 0) {
        int forkError = errno;
        sigprocmask(SIG_SETMASK, &originalMask, nullptr);
        cleanUp(false);
        reportSystemError("Error, couldn't launch child (fork)", forkError);
        return kFatalExitStatus;
    }
    gChildProcessId = child;
    sigprocmask(SIG_SETMASK, &originalMask, nullptr);

    int exitStatus = waitForChild();
    cleanUp(false);
    return exitStatus;
}
