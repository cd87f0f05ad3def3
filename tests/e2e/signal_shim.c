/* A library that the supervision tests preload into a launcher (LD_PRELOAD)
   to deliver a termination signal from inside one chosen library call, so
   that the signal lands in an exact phase of the launcher's run, and to make
   fork fail. Controls, all through the environment:

     SHIM_RAISE_CALL=NAME   the call during which the signal is raised: one of
                            sigaction  (counts only the installation of a
                                        handler for SIGTERM)
                            mkdir, fopen, fwrite, fork, execv
                            waitpid    (counts only blocking waits)
     SHIM_RAISE_COUNT=N     raise during the Nth counted call (default 1)
     SHIM_RAISE_WHEN=W      "before" (default) or "after" the real call
     SHIM_RAISE_SIGNAL=S    the signal number (default SIGTERM)
     SHIM_RAISE_FILE=SUFFIX count only mkdir and fopen calls whose path ends
                            with SUFFIX, and only fwrite calls on a stream
                            that such an fopen returned
     SHIM_RAISE_LOG=FILE    append "raised NAME N" to FILE when raising
     SHIM_FAIL_FORK=1       fork fails with EAGAIN

   The signal is raised on the calling thread, so its handler has run when
   raise returns. The library removes LD_PRELOAD from the environment when it
   is loaded: the application that the launcher starts runs without it. A
   forked child keeps the library and its counters until it execs. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

enum RaiseMoment { kRaiseBefore, kRaiseAfter };

static const char* raiseCall;
static const char* raiseFileSuffix;
static long raiseCount = 1;
static enum RaiseMoment raiseMoment = kRaiseBefore;
static int raiseSignal = SIGTERM;
static int failFork;

static long callsCounted;
static int raised;
/* The stream that fopen returned for the file named by SHIM_RAISE_FILE. */
static FILE* watchedStream;

__attribute__((constructor)) static void readControls(void) {
    raiseCall = getenv("SHIM_RAISE_CALL");
    raiseFileSuffix = getenv("SHIM_RAISE_FILE");
    const char* text = getenv("SHIM_RAISE_COUNT");
    if (text != NULL) raiseCount = strtol(text, NULL, 10);
    text = getenv("SHIM_RAISE_WHEN");
    if (text != NULL && strcmp(text, "after") == 0) raiseMoment = kRaiseAfter;
    text = getenv("SHIM_RAISE_SIGNAL");
    if (text != NULL) raiseSignal = (int)strtol(text, NULL, 10);
    failFork = getenv("SHIM_FAIL_FORK") != NULL;
    unsetenv("LD_PRELOAD");
}

static void* nextDefinition(const char* name) {
    void* function = dlsym(RTLD_NEXT, name);
    if (function == NULL) {
        static const char kMessage[] = "signal shim: a wrapped function is missing\n";
        (void)!write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
        abort();
    }
    return function;
}

static int pathMatches(const char* path) {
    if (raiseFileSuffix == NULL) return 1;
    size_t pathLength = strlen(path);
    size_t suffixLength = strlen(raiseFileSuffix);
    return pathLength >= suffixLength && strcmp(path + pathLength - suffixLength, raiseFileSuffix) == 0;
}

/* Counts one call of `name` and tells whether it is the chosen one. */
static int isChosenCall(const char* name) {
    if (raised || raiseCall == NULL || strcmp(raiseCall, name) != 0) return 0;
    if (++callsCounted != raiseCount) return 0;
    raised = 1;
    return 1;
}

static void logRaise(void) {
    const char* path = getenv("SHIM_RAISE_LOG");
    if (path == NULL) return;
    /* Plain descriptors: this library's own stream functions count calls. */
    int log = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (log < 0) return;
    char line[128];
    int length = snprintf(line, sizeof line, "raised %s %ld\n", raiseCall, raiseCount);
    if (length > 0) (void)!write(log, line, (size_t)length);
    close(log);
}

static void raiseIf(int chosen, enum RaiseMoment moment) {
    if (chosen && raiseMoment == moment) {
        int savedErrno = errno;
        logRaise();
        raise(raiseSignal);
        errno = savedErrno;
    }
}

int sigaction(int number, const struct sigaction* action, struct sigaction* previous) {
    int (*next)(int, const struct sigaction*, struct sigaction*) = nextDefinition("sigaction");
    int chosen = number == SIGTERM && action != NULL && isChosenCall("sigaction");
    raiseIf(chosen, kRaiseBefore);
    int result = next(number, action, previous);
    raiseIf(chosen, kRaiseAfter);
    return result;
}

int mkdir(const char* path, mode_t mode) {
    int (*next)(const char*, mode_t) = nextDefinition("mkdir");
    int chosen = pathMatches(path) && isChosenCall("mkdir");
    raiseIf(chosen, kRaiseBefore);
    int result = next(path, mode);
    raiseIf(chosen, kRaiseAfter);
    return result;
}

static FILE* openStream(const char* name, const char* path, const char* mode) {
    FILE* (*next)(const char*, const char*) = nextDefinition(name);
    int matches = pathMatches(path);
    int chosen = matches && isChosenCall("fopen");
    raiseIf(chosen, kRaiseBefore);
    FILE* stream = next(path, mode);
    if (matches && raiseFileSuffix != NULL) watchedStream = stream;
    raiseIf(chosen, kRaiseAfter);
    return stream;
}

FILE* fopen(const char* path, const char* mode) { return openStream("fopen", path, mode); }
FILE* fopen64(const char* path, const char* mode) { return openStream("fopen64", path, mode); }

size_t fwrite(const void* data, size_t size, size_t count, FILE* stream) {
    size_t (*next)(const void*, size_t, size_t, FILE*) = nextDefinition("fwrite");
    int watched = raiseFileSuffix == NULL || (watchedStream != NULL && stream == watchedStream);
    int chosen = watched && isChosenCall("fwrite");
    raiseIf(chosen, kRaiseBefore);
    size_t result = next(data, size, count, stream);
    raiseIf(chosen, kRaiseAfter);
    return result;
}

pid_t fork(void) {
    pid_t (*next)(void) = nextDefinition("fork");
    int chosen = isChosenCall("fork");
    raiseIf(chosen, kRaiseBefore);
    if (failFork) {
        errno = EAGAIN;
        return -1;
    }
    pid_t result = next();
    /* Only the parent raises after the fork. */
    if (result != 0) raiseIf(chosen, kRaiseAfter);
    return result;
}

int execv(const char* path, char* const arguments[]) {
    int (*next)(const char*, char* const[]) = nextDefinition("execv");
    int chosen = isChosenCall("execv");
    raiseIf(chosen, kRaiseBefore);
    int result = next(path, arguments);
    raiseIf(chosen, kRaiseAfter);
    return result;
}

pid_t waitpid(pid_t process, int* status, int options) {
    pid_t (*next)(pid_t, int*, int) = nextDefinition("waitpid");
    int chosen = options == 0 && isChosenCall("waitpid");
    raiseIf(chosen, kRaiseBefore);
    pid_t result = next(process, status, options);
    raiseIf(chosen && result > 0, kRaiseAfter);
    return result;
}
