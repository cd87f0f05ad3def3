/* Hooks of the tests' stub. The stub with hooks is the launcher linked with
   -Wl,--wrap=NAME for every call NAME listed in hooks.cmake: each of the
   launcher's calls of NAME reaches __wrap_NAME below, which reaches the C
   library through __real_NAME. The tests use the hooks to make single calls
   fail and to deliver a signal from inside one chosen call, so that it lands
   in an exact phase of the run. Controls, all through the environment:

   Failures and the event log
     ONEFILE_HOOK_LOG=FILE             append one line per event below to FILE
     ONEFILE_HOOK_FAIL_MKDIR=PREFIX    mkdir of a path starting with PREFIX
                                       fails with EACCES
     ONEFILE_HOOK_FAIL_FSTAT=PREFIX    fstat of a descriptor whose file's path
                                       starts with PREFIX fails with EIO
     ONEFILE_HOOK_NO_URANDOM=1         opening "/dev/urandom" fails with ENOENT
                                       (logged as "urandom refused")
     ONEFILE_HOOK_FAIL_GETRANDOM=1     getrandom fails with ENOSYS
                                       (every call is logged as "getrandom")
     ONEFILE_HOOK_FAIL_FORK=1          fork fails with EAGAIN
     ONEFILE_HOOK_FAIL_PROGRAM_LINK=1  readlink of "/proc/self/exe" fails with
                                       EACCES
     ONEFILE_HOOK_BUSY_EXEC=N          the first N execv calls of a process find
                                       their file open for writing, so the
                                       kernel refuses them with ETXTBSY (logged
                                       as "execv busy"; later calls as "execv")

   A signal raised inside one call
     ONEFILE_HOOK_RAISE_CALL=NAME      the call during which the signal is
                                       raised: one of
                                       sigaction (counts only the installation
                                                  of a handler for SIGTERM)
                                       mkdir, fopen, fwrite, fork, execv
                                       waitpid   (counts only blocking waits)
     ONEFILE_HOOK_RAISE_COUNT=N        raise during the Nth counted call
                                       (default 1)
     ONEFILE_HOOK_RAISE_WHEN=W         "before" (default) or "after" the real
                                       call; after a fork, only the parent
                                       raises
     ONEFILE_HOOK_RAISE_SIGNAL=S       the signal number (default SIGTERM)
     ONEFILE_HOOK_RAISE_FILE=SUFFIX    count only mkdir and fopen calls whose
                                       path ends with SUFFIX, and only fwrite
                                       calls on a stream that such an fopen
                                       returned
     ONEFILE_HOOK_RAISE_LOG=FILE       append "raised NAME N" to FILE when
                                       raising

   The signal is raised on the calling thread, so its handler has run when
   raise returns unless the launcher holds the signal back. A forked child
   keeps the counters until it execs. The application that the launcher
   starts inherits the variables but not the hooks: the tests' probe is an
   ordinary program that ignores them.

   A static stub links the C library's members with the launcher, and their
   own calls of a wrapped name reach the hooks as well (the password lookup's
   fopen, fputs's fwrite). Each control therefore names what only the
   launcher asks for: an exact path, a path below the test's own directory, a
   file suffix. The hooks' own files are opened through the kernel directly,
   so they never pass through a hook. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

/* The C library's definitions, reached past the hooks. */
int __real_sigaction(int number, const struct sigaction* action, struct sigaction* previous);
int __real_mkdir(const char* path, mode_t mode);
int __real_fstat(int descriptor, struct stat* status);
int __real_open(const char* path, int flags, ...);
ssize_t __real_getrandom(void* buffer, size_t length, unsigned int flags);
FILE* __real_fopen(const char* path, const char* mode);
size_t __real_fwrite(const void* data, size_t size, size_t count, FILE* stream);
pid_t __real_fork(void);
ssize_t __real_readlink(const char* path, char* buffer, size_t size);
int __real_execv(const char* path, char* const arguments[]);
pid_t __real_waitpid(pid_t process, int* status, int options);

/* ---- Shared helpers ---------------------------------------------------- */

static const char kProgramLink[] = "/proc/self/exe";
static const char kRandomDevice[] = "/dev/urandom";

static int startsWith(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

static int failWith(int errorNumber) {
    errno = errorNumber;
    return -1;
}

/* Appends `line` and a newline to the file named by the variable `logName`.
   errno is kept: a hook logs between a call and its caller's look at errno. */
static void appendLine(const char* logName, const char* line) {
    const char* path = getenv(logName);
    if (path == NULL) return;
    int savedErrno = errno;
    int log = (int)syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (log >= 0) {
        (void)!write(log, line, strlen(line));
        (void)!write(log, "\n", 1);
        (void)close(log);
    }
    errno = savedErrno;
}

static void logEvent(const char* event) { appendLine("ONEFILE_HOOK_LOG", event); }

/* ---- A signal raised inside one call ----------------------------------- */

enum RaiseMoment { kRaiseBefore, kRaiseAfter };

static long callsCounted;
static int raised;
/* The stream that fopen returned for the file named by
   ONEFILE_HOOK_RAISE_FILE. */
static FILE* watchedStream;

static const char* raiseFileSuffix(void) { return getenv("ONEFILE_HOOK_RAISE_FILE"); }

static long raiseCount(void) {
    const char* text = getenv("ONEFILE_HOOK_RAISE_COUNT");
    return text != NULL ? strtol(text, NULL, 10) : 1;
}

static enum RaiseMoment raiseMoment(void) {
    const char* text = getenv("ONEFILE_HOOK_RAISE_WHEN");
    return text != NULL && strcmp(text, "after") == 0 ? kRaiseAfter : kRaiseBefore;
}

static int raiseSignal(void) {
    const char* text = getenv("ONEFILE_HOOK_RAISE_SIGNAL");
    return text != NULL ? (int)strtol(text, NULL, 10) : SIGTERM;
}

static int pathMatches(const char* path) {
    const char* suffix = raiseFileSuffix();
    if (suffix == NULL) return 1;
    size_t pathLength = strlen(path);
    size_t suffixLength = strlen(suffix);
    return pathLength >= suffixLength && strcmp(path + pathLength - suffixLength, suffix) == 0;
}

/* Counts one call of `name` and tells whether it is the chosen one. */
static int isChosenCall(const char* name) {
    const char* call = getenv("ONEFILE_HOOK_RAISE_CALL");
    if (raised || call == NULL || strcmp(call, name) != 0) return 0;
    if (++callsCounted != raiseCount()) return 0;
    raised = 1;
    return 1;
}

static void raiseIf(int chosen, enum RaiseMoment moment, const char* name) {
    if (!chosen || raiseMoment() != moment) return;
    int savedErrno = errno;
    char line[128];
    (void)snprintf(line, sizeof line, "raised %s %ld", name, raiseCount());
    appendLine("ONEFILE_HOOK_RAISE_LOG", line);
    (void)raise(raiseSignal());
    errno = savedErrno;
}

/* ---- The hooks, in the order of a launcher's run ----------------------- */

int __wrap_sigaction(int number, const struct sigaction* action, struct sigaction* previous) {
    int chosen = number == SIGTERM && action != NULL && isChosenCall("sigaction");
    raiseIf(chosen, kRaiseBefore, "sigaction");
    int result = __real_sigaction(number, action, previous);
    raiseIf(chosen, kRaiseAfter, "sigaction");
    return result;
}

int __wrap_open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list arguments;
        va_start(arguments, flags);
        mode = (mode_t)va_arg(arguments, int);
        va_end(arguments);
    }
    if (getenv("ONEFILE_HOOK_NO_URANDOM") != NULL && strcmp(path, kRandomDevice) == 0) {
        logEvent("urandom refused");
        return failWith(ENOENT);
    }
    return __real_open(path, flags, mode);
}

ssize_t __wrap_getrandom(void* buffer, size_t length, unsigned int flags) {
    logEvent("getrandom");
    if (getenv("ONEFILE_HOOK_FAIL_GETRANDOM") != NULL) return failWith(ENOSYS);
    return __real_getrandom(buffer, length, flags);
}

int __wrap_mkdir(const char* path, mode_t mode) {
    int chosen = pathMatches(path) && isChosenCall("mkdir");
    raiseIf(chosen, kRaiseBefore, "mkdir");
    const char* prefix = getenv("ONEFILE_HOOK_FAIL_MKDIR");
    int result = prefix != NULL && startsWith(path, prefix) ? failWith(EACCES) : __real_mkdir(path, mode);
    raiseIf(chosen, kRaiseAfter, "mkdir");
    return result;
}

FILE* __wrap_fopen(const char* path, const char* mode) {
    int matches = pathMatches(path);
    int chosen = matches && isChosenCall("fopen");
    raiseIf(chosen, kRaiseBefore, "fopen");
    FILE* stream = __real_fopen(path, mode);
    if (matches && raiseFileSuffix() != NULL) watchedStream = stream;
    raiseIf(chosen, kRaiseAfter, "fopen");
    return stream;
}

size_t __wrap_fwrite(const void* data, size_t size, size_t count, FILE* stream) {
    int watched = raiseFileSuffix() == NULL || (watchedStream != NULL && stream == watchedStream);
    int chosen = watched && isChosenCall("fwrite");
    raiseIf(chosen, kRaiseBefore, "fwrite");
    size_t result = __real_fwrite(data, size, count, stream);
    raiseIf(chosen, kRaiseAfter, "fwrite");
    return result;
}

int __wrap_fstat(int descriptor, struct stat* status) {
    const char* prefix = getenv("ONEFILE_HOOK_FAIL_FSTAT");
    if (prefix != NULL) {
        char link[64];
        char path[4096];
        (void)snprintf(link, sizeof link, "/proc/self/fd/%d", descriptor);
        long length = syscall(SYS_readlinkat, AT_FDCWD, link, path, sizeof path - 1);
        if (length >= 0) {
            path[length] = '\0';
            if (startsWith(path, prefix)) return failWith(EIO);
        }
    }
    return __real_fstat(descriptor, status);
}

ssize_t __wrap_readlink(const char* path, char* buffer, size_t size) {
    if (getenv("ONEFILE_HOOK_FAIL_PROGRAM_LINK") != NULL && strcmp(path, kProgramLink) == 0) {
        return failWith(EACCES);
    }
    return __real_readlink(path, buffer, size);
}

pid_t __wrap_fork(void) {
    int chosen = isChosenCall("fork");
    raiseIf(chosen, kRaiseBefore, "fork");
    if (getenv("ONEFILE_HOOK_FAIL_FORK") != NULL) return failWith(EAGAIN);
    pid_t result = __real_fork();
    if (result != 0) raiseIf(chosen, kRaiseAfter, "fork");
    return result;
}

int __wrap_execv(const char* path, char* const arguments[]) {
    static long busyAttempts;
    int chosen = isChosenCall("execv");
    raiseIf(chosen, kRaiseBefore, "execv");
    const char* busy = getenv("ONEFILE_HOOK_BUSY_EXEC");
    int result;
    if (busy != NULL && busyAttempts < strtol(busy, NULL, 10)) {
        ++busyAttempts;
        /* A real writer: the busy state comes from the kernel, not from us. */
        int writer = (int)syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CLOEXEC, 0);
        logEvent("execv busy");
        result = __real_execv(path, arguments);
        int error = errno;
        if (writer >= 0) (void)close(writer);
        errno = error;
    } else {
        logEvent("execv");
        result = __real_execv(path, arguments);
    }
    raiseIf(chosen, kRaiseAfter, "execv");
    return result;
}

pid_t __wrap_waitpid(pid_t process, int* status, int options) {
    int chosen = options == 0 && isChosenCall("waitpid");
    raiseIf(chosen, kRaiseBefore, "waitpid");
    pid_t result = __real_waitpid(process, status, options);
    raiseIf(chosen && result > 0, kRaiseAfter, "waitpid");
    return result;
}
