/* Hooks of the tests' stub. The stub with hooks is the launcher linked with
   -Wl,--wrap=NAME for every call NAME listed in hooks.cmake: each of the
   launcher's calls of NAME reaches __wrap_NAME below, which reaches the C
   library through __real_NAME. The tests use the hooks to make single calls
   fail, to record what the launcher made in the file system, and to deliver
   a signal from inside one chosen call, so that it lands in an exact phase
   of the run. Controls, all through the environment:

   Paths
     The launcher names the directories and files it makes relative to
     directory descriptors. Where a control matches a path, the hook composes
     the full path from the descriptor's link in /proc/self/fd and the name:
     the path as the kernel resolved the directory, canonical, with the links
     of the levels above it followed.

   Failures and the event logs
     ONEFILE_HOOK_LOG=FILE             append one line per event below to FILE
     ONEFILE_HOOK_MADE_LOG=FILE        append one line per name the launcher
                                       made or opened for writing, for calls
                                       that succeeded: "mkdirat PATH",
                                       "openat PATH" (an open that may create
                                       a file) and "symlinkat PATH". The log
                                       outlives a cleanup that removes what it
                                       names.
     ONEFILE_HOOK_FAIL_MKDIR=PREFIX    mkdirat of a path starting with PREFIX
                                       fails with EACCES
     ONEFILE_HOOK_FAIL_FSTAT=PREFIX    fstat of a descriptor whose file's path
                                       starts with PREFIX fails with EIO
     ONEFILE_HOOK_FAIL_CLOSE=PREFIX    close of a descriptor whose file's path
                                       starts with PREFIX closes it, then
                                       fails with EIO, as a file system that
                                       reports a failed write-back there does
     ONEFILE_HOOK_NO_URANDOM=1         opening "/dev/urandom" fails with ENOENT
                                       (logged as "urandom refused")
     ONEFILE_HOOK_FAIL_GETRANDOM=1     getrandom fails with ENOSYS
                                       (every call is logged as "getrandom")
     ONEFILE_HOOK_FAIL_FORK=1          fork fails with EAGAIN
     ONEFILE_HOOK_FAIL_FSTATVFS=1      fstatvfs fails with ENOSYS, so the
                                       launcher cannot look at the room: a
                                       disk filled only after that look
     ONEFILE_HOOK_FAIL_PROGRAM_LINK=1  readlink of "/proc/self/exe" fails with
                                       EACCES
     ONEFILE_HOOK_BUSY_EXEC=N          the first N execv calls of a process find
                                       their file open for writing, so the
                                       kernel refuses them with ETXTBSY (logged
                                       as "execv busy"; later calls as "execv")
     ONEFILE_HOOK_FAIL_COPY_FILE_RANGE=E
     ONEFILE_HOOK_FAIL_SENDFILE=E      copy_file_range or sendfile fails with
                                       the errno value E (a number), every
                                       call
     ONEFILE_HOOK_COPY_LOG=FILE        append "copy_file_range N" or
                                       "sendfile N" to FILE for each call that
                                       copies, N the bytes it copied
     ONEFILE_HOOK_COPY_FILE_END=OFFSET copy_file_range and sendfile find the
                                       file they read ending at OFFSET: a
                                       call copies what lies before it (a
                                       short copy), and one at or past it
                                       copies nothing, as for a launcher cut
                                       short while it runs (which the kernel
                                       does not allow: ETXTBSY)
     ONEFILE_HOOK_REPLACE_LOCKED=PATH  a shared flock of the directory PATH
                                       (exactly; tried with LOCK_NB or not)
                                       finds it replaced first, as if
                                       another run had swapped a tree in
                                       between the open and the lock: the
                                       directory is renamed to PATH.replaced-N
                                       and an empty one made under its name
                                       (logged as "lock replaced")
     ONEFILE_HOOK_CLOCK_AHEAD=SECONDS  the real-time clock reads SECONDS later
                                       (the monotonic clock is left alone), so
                                       what was changed a moment ago looks
                                       as old as the tests need
     ONEFILE_HOOK_FS_TYPE=HEX          fstatfs reports the file system type
                                       HEX (0x6969 is NFS) for any directory
     ONEFILE_HOOK_REMOVED_LOG=FILE     append "rmdir PATH" to FILE for each
                                       directory an unlinkat removed

   A signal raised inside one call
     ONEFILE_HOOK_RAISE_CALL=NAME      the call during which the signal is
                                       raised: one of
                                       sigaction (counts only the installation
                                                  of a handler for SIGTERM)
                                       mkdirat
                                       openat    (counts only opens that may
                                                  create a file: an entry's
                                                  file)
                                       write
                                       fork, execv
                                       waitpid   (counts only blocking waits)
     ONEFILE_HOOK_RAISE_COUNT=N        raise during the Nth counted call
                                       (default 1)
     ONEFILE_HOOK_RAISE_WHEN=W         "before" (default) or "after" the real
                                       call; after a fork, only the parent
                                       raises
     ONEFILE_HOOK_RAISE_SIGNAL=S       the signal number (default SIGTERM)
     ONEFILE_HOOK_RAISE_FILE=SUFFIX    count only mkdirat and openat calls
                                       whose path ends with SUFFIX, and only
                                       write calls on the descriptor that the
                                       last such openat returned
     ONEFILE_HOOK_RAISE_LOG=FILE       append "raised NAME N" to FILE when
                                       raising, and "then NAME" for each
                                       later call that would have counted

   The signal is sent to the calling process (kill), as another process
   would send it. On the launcher's main thread its handler has run when the
   hook goes on, unless the launcher holds the signal back; a writer thread,
   which blocks every signal, goes on at once while the main thread takes it.
   The counters are shared by all threads. A forked child keeps them until
   it execs. The application that the launcher
   starts inherits the variables but not the hooks: the tests' probe is an
   ordinary program that ignores them.

   A static stub links the C library's members with the launcher, and their
   own calls of a wrapped name would reach the hooks as well. Each control
   therefore names what only the launcher asks for: an exact path, a path
   below the test's own directory, a file suffix. The hooks' own files are
   opened and written through the kernel directly, so they never pass
   through a hook. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/vfs.h>
#include <time.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

/* The C library's definitions, reached past the hooks. */
int __real_sigaction(int number, const struct sigaction* action, struct sigaction* previous);
int __real_open(const char* path, int flags, ...);
int __real_openat(int directory, const char* name, int flags, ...);
ssize_t __real_getrandom(void* buffer, size_t length, unsigned int flags);
int __real_mkdirat(int directory, const char* name, mode_t mode);
int __real_symlinkat(const char* text, int directory, const char* name);
ssize_t __real_write(int descriptor, const void* data, size_t size);
int __real_fstat(int descriptor, struct stat* status);
int __real_close(int descriptor);
ssize_t __real_readlink(const char* path, char* buffer, size_t size);
pid_t __real_fork(void);
int __real_fstatvfs(int descriptor, struct statvfs* status);
int __real_execv(const char* path, char* const arguments[]);
pid_t __real_waitpid(pid_t process, int* status, int options);
int __real_flock(int descriptor, int operation);
ssize_t __real_copy_file_range(int source, off_t* sourceOffset, int target, off_t* targetOffset, size_t size,
                               unsigned int flags);
ssize_t __real_sendfile(int target, int source, off_t* sourceOffset, size_t size);
int __real_clock_gettime(clockid_t clock, struct timespec* time);
int __real_fstatfs(int descriptor, struct statfs* status);
int __real_unlinkat(int directory, const char* name, int flags);

/* ---- Shared helpers ---------------------------------------------------- */

static const char kProgramLink[] = "/proc/self/exe";
static const char kRandomDevice[] = "/dev/urandom";

/* A composed path: a directory's path of up to 4095 bytes, "/" and a name
   (an entry name has at most 1023 bytes). Writer threads have small stacks:
   a hook holds one such path and one log line at most. */
enum { kComposedPathBytes = 4096 + 1024 };

static int startsWith(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

static int failWith(int errorNumber) {
    errno = errorNumber;
    return -1;
}

/* Appends "WORD DETAIL" (or WORD alone when DETAIL is null) and a newline to
   the file named by the variable `logName`, in one write through the kernel
   (write itself is hooked), so that lines of the launcher's threads and of
   its child never mix. errno is kept: a hook logs between a call and its
   caller's look at errno. */
static void appendLine(const char* logName, const char* word, const char* detail) {
    const char* path = getenv(logName);
    if (path == NULL) return;
    int savedErrno = errno;
    char text[kComposedPathBytes + 64];
    int length = detail != NULL ? snprintf(text, sizeof text - 1, "%s %s", word, detail)
                                : snprintf(text, sizeof text - 1, "%s", word);
    if (length < 0) length = 0;
    if ((size_t)length > sizeof text - 2) length = (int)(sizeof text - 2);
    text[length++] = '\n';
    int log = (int)syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (log >= 0) {
        (void)syscall(SYS_write, log, text, (size_t)length);
        (void)close(log);
    }
    errno = savedErrno;
}

static void logEvent(const char* event) { appendLine("ONEFILE_HOOK_LOG", event, NULL); }

/* The full path of `name` relative to `directory`, as described above; the
   name alone when the directory's link cannot be read. errno is kept. */
static void composePath(int directory, const char* name, char* path, size_t size) {
    path[0] = '\0';
    if (name[0] != '/') {
        int savedErrno = errno;
        char link[64];
        if (directory == AT_FDCWD) {
            (void)snprintf(link, sizeof link, "/proc/self/cwd");
        } else {
            (void)snprintf(link, sizeof link, "/proc/self/fd/%d", directory);
        }
        long length = syscall(SYS_readlinkat, AT_FDCWD, link, path, size - 1);
        path[length > 0 ? length : 0] = '\0';
        errno = savedErrno;
        size_t used = strlen(path);
        if (used > 0 && path[used - 1] != '/' && used + 1 < size) {
            path[used++] = '/';
            path[used] = '\0';
        }
    }
    size_t used = strlen(path);
    (void)snprintf(path + used, size - used, "%s", name);
}

/* Logs a name the launcher made, when the made log is asked for. */
static void logMade(const char* call, const char* path) { appendLine("ONEFILE_HOOK_MADE_LOG", call, path); }

/* ---- A signal raised inside one call ----------------------------------- */

enum RaiseMoment { kRaiseBefore, kRaiseAfter };

/* Shared by the launcher's threads: reached through __atomic builtins. */
static long callsCounted;
static int raised;
/* The descriptor that openat returned for the file named by
   ONEFILE_HOOK_RAISE_FILE; -1 when none is open. */
static int watchedDescriptor = -1;

static int watched(void) { return __atomic_load_n(&watchedDescriptor, __ATOMIC_SEQ_CST); }

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

/* Whether a hook needs the full path of what a call names: only then is it
   composed, which costs a system call. */
static int pathWanted(const char* failPrefixName) {
    return raiseFileSuffix() != NULL || getenv("ONEFILE_HOOK_MADE_LOG") != NULL ||
           (failPrefixName != NULL && getenv(failPrefixName) != NULL);
}

static int pathMatches(const char* path) {
    const char* suffix = raiseFileSuffix();
    if (suffix == NULL) return 1;
    size_t pathLength = strlen(path);
    size_t suffixLength = strlen(suffix);
    return pathLength >= suffixLength && strcmp(path + pathLength - suffixLength, suffix) == 0;
}

/* Counts one call of `name` and tells whether it is the chosen one; once
   the signal was raised, logs each further call that would have counted. */
static int isChosenCall(const char* name) {
    const char* call = getenv("ONEFILE_HOOK_RAISE_CALL");
    if (call == NULL || strcmp(call, name) != 0) return 0;
    if (!__atomic_load_n(&raised, __ATOMIC_SEQ_CST) &&
        __atomic_add_fetch(&callsCounted, 1, __ATOMIC_SEQ_CST) == raiseCount()) {
        __atomic_store_n(&raised, 1, __ATOMIC_SEQ_CST);
        return 1;
    }
    if (__atomic_load_n(&raised, __ATOMIC_SEQ_CST)) appendLine("ONEFILE_HOOK_RAISE_LOG", "then", name);
    return 0;
}

static void raiseIf(int chosen, enum RaiseMoment moment, const char* name) {
    if (!chosen || raiseMoment() != moment) return;
    int savedErrno = errno;
    char detail[64];
    (void)snprintf(detail, sizeof detail, "%s %ld", name, raiseCount());
    appendLine("ONEFILE_HOOK_RAISE_LOG", "raised", detail);
    (void)kill(getpid(), raiseSignal());
    errno = savedErrno;
}

/* Remembers which descriptor the watched file has; a descriptor number that
   another file takes over is no longer watched. */
static void noteOpened(int descriptor, int matches) {
    if (descriptor < 0 || raiseFileSuffix() == NULL) return;
    if (matches) {
        __atomic_store_n(&watchedDescriptor, descriptor, __ATOMIC_SEQ_CST);
    } else {
        int previous = descriptor;
        (void)__atomic_compare_exchange_n(&watchedDescriptor, &previous, -1, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    }
}

/* The mode argument exists only for a call that may create a file. */
static int takesMode(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

/* ---- The hooks, in the order of a launcher's run ----------------------- */

ssize_t __wrap_readlink(const char* path, char* buffer, size_t size) {
    if (getenv("ONEFILE_HOOK_FAIL_PROGRAM_LINK") != NULL && strcmp(path, kProgramLink) == 0) {
        return failWith(EACCES);
    }
    return __real_readlink(path, buffer, size);
}

int __wrap_open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if (takesMode(flags)) {
        va_list arguments;
        va_start(arguments, flags);
        mode = (mode_t)va_arg(arguments, int);
        va_end(arguments);
    }
    if (getenv("ONEFILE_HOOK_NO_URANDOM") != NULL && strcmp(path, kRandomDevice) == 0) {
        logEvent("urandom refused");
        return failWith(ENOENT);
    }
    int result = __real_open(path, flags, mode);
    noteOpened(result, 0);
    return result;
}

ssize_t __wrap_getrandom(void* buffer, size_t length, unsigned int flags) {
    logEvent("getrandom");
    if (getenv("ONEFILE_HOOK_FAIL_GETRANDOM") != NULL) return failWith(ENOSYS);
    return __real_getrandom(buffer, length, flags);
}

int __wrap_sigaction(int number, const struct sigaction* action, struct sigaction* previous) {
    int installs = action != NULL && action->sa_handler != SIG_DFL && action->sa_handler != SIG_IGN;
    int chosen = number == SIGTERM && installs && isChosenCall("sigaction");
    raiseIf(chosen, kRaiseBefore, "sigaction");
    int result = __real_sigaction(number, action, previous);
    raiseIf(chosen, kRaiseAfter, "sigaction");
    return result;
}

int __wrap_mkdirat(int directory, const char* name, mode_t mode) {
    char path[kComposedPathBytes] = "";
    if (pathWanted("ONEFILE_HOOK_FAIL_MKDIR")) composePath(directory, name, path, sizeof path);
    int chosen = pathMatches(path) && isChosenCall("mkdirat");
    raiseIf(chosen, kRaiseBefore, "mkdirat");
    const char* prefix = getenv("ONEFILE_HOOK_FAIL_MKDIR");
    int result = prefix != NULL && startsWith(path, prefix) ? failWith(EACCES)
                                                            : __real_mkdirat(directory, name, mode);
    if (result == 0) logMade("mkdirat", path);
    raiseIf(chosen, kRaiseAfter, "mkdirat");
    return result;
}

int __wrap_openat(int directory, const char* name, int flags, ...) {
    mode_t mode = 0;
    if (takesMode(flags)) {
        va_list arguments;
        va_start(arguments, flags);
        mode = (mode_t)va_arg(arguments, int);
        va_end(arguments);
    }
    int creates = (flags & O_CREAT) != 0;
    char path[kComposedPathBytes] = "";
    if (creates && pathWanted(NULL)) composePath(directory, name, path, sizeof path);
    int matches = creates && pathMatches(path);
    int chosen = matches && isChosenCall("openat");
    raiseIf(chosen, kRaiseBefore, "openat");
    int result = __real_openat(directory, name, flags, mode);
    noteOpened(result, matches);
    if (result >= 0 && creates) logMade("openat", path);
    raiseIf(chosen, kRaiseAfter, "openat");
    return result;
}

int __wrap_symlinkat(const char* text, int directory, const char* name) {
    char path[kComposedPathBytes] = "";
    if (pathWanted(NULL)) composePath(directory, name, path, sizeof path);
    int result = __real_symlinkat(text, directory, name);
    if (result == 0) logMade("symlinkat", path);
    return result;
}

ssize_t __wrap_write(int descriptor, const void* data, size_t size) {
    int counted = raiseFileSuffix() == NULL || (descriptor >= 0 && descriptor == watched());
    int chosen = counted && isChosenCall("write");
    raiseIf(chosen, kRaiseBefore, "write");
    ssize_t result = __real_write(descriptor, data, size);
    raiseIf(chosen, kRaiseAfter, "write");
    return result;
}

/* Whether the file open at `descriptor` has a path that starts with the
   value of the control `name`. */
static int descriptorMatches(int descriptor, const char* name) {
    const char* prefix = getenv(name);
    if (prefix == NULL) return 0;
    char link[64];
    char path[4096];
    (void)snprintf(link, sizeof link, "/proc/self/fd/%d", descriptor);
    long length = syscall(SYS_readlinkat, AT_FDCWD, link, path, sizeof path - 1);
    if (length < 0) return 0;
    path[length] = '\0';
    return startsWith(path, prefix);
}

int __wrap_fstat(int descriptor, struct stat* status) {
    if (descriptorMatches(descriptor, "ONEFILE_HOOK_FAIL_FSTAT")) return failWith(EIO);
    return __real_fstat(descriptor, status);
}

int __wrap_flock(int descriptor, int operation) {
    static int replacements;
    const char* replaced = getenv("ONEFILE_HOOK_REPLACE_LOCKED");
    if (replaced != NULL && (operation & ~LOCK_NB) == LOCK_SH) {
        char link[64];
        char path[4096];
        (void)snprintf(link, sizeof link, "/proc/self/fd/%d", descriptor);
        long length = syscall(SYS_readlinkat, AT_FDCWD, link, path, sizeof path - 1);
        path[length > 0 ? length : 0] = '\0';
        if (strcmp(path, replaced) == 0) {
            char aside[4096 + 32];
            (void)snprintf(aside, sizeof aside, "%s.replaced-%d", replaced, ++replacements);
            (void)syscall(SYS_renameat, AT_FDCWD, replaced, AT_FDCWD, aside);
            (void)syscall(SYS_mkdirat, AT_FDCWD, replaced, 0700);
            logEvent("lock replaced");
        }
    }
    return __real_flock(descriptor, operation);
}

/* The errno value a copy control asks for, or 0. */
static int copyFailure(const char* name) {
    const char* text = getenv(name);
    return text != NULL ? (int)strtol(text, NULL, 10) : 0;
}

/* How much of `size` bytes at `offset` lies before the end that
   ONEFILE_HOOK_COPY_FILE_END sets (all of it without one). */
static size_t beforeFileEnd(const off_t* offset, size_t size) {
    const char* text = getenv("ONEFILE_HOOK_COPY_FILE_END");
    if (text == NULL || offset == NULL) return size;
    long long end = strtoll(text, NULL, 10);
    if (*offset >= end) return 0;
    return (unsigned long long)(end - *offset) < size ? (size_t)(end - *offset) : size;
}

static void logCopy(const char* call, ssize_t copied) {
    if (copied <= 0) return;
    char detail[32];
    (void)snprintf(detail, sizeof detail, "%lld", (long long)copied);
    appendLine("ONEFILE_HOOK_COPY_LOG", call, detail);
}

ssize_t __wrap_copy_file_range(int source, off_t* sourceOffset, int target, off_t* targetOffset, size_t size,
                               unsigned int flags) {
    int error = copyFailure("ONEFILE_HOOK_FAIL_COPY_FILE_RANGE");
    if (error != 0) return failWith(error);
    size = beforeFileEnd(sourceOffset, size);
    if (size == 0) return 0;
    ssize_t copied = __real_copy_file_range(source, sourceOffset, target, targetOffset, size, flags);
    logCopy("copy_file_range", copied);
    return copied;
}

ssize_t __wrap_sendfile(int target, int source, off_t* sourceOffset, size_t size) {
    int error = copyFailure("ONEFILE_HOOK_FAIL_SENDFILE");
    if (error != 0) return failWith(error);
    size = beforeFileEnd(sourceOffset, size);
    if (size == 0) return 0;
    ssize_t copied = __real_sendfile(target, source, sourceOffset, size);
    logCopy("sendfile", copied);
    return copied;
}

int __wrap_close(int descriptor) {
    int failing = descriptorMatches(descriptor, "ONEFILE_HOOK_FAIL_CLOSE");
    int result = __real_close(descriptor);
    return failing ? failWith(EIO) : result;
}

int __wrap_fstatvfs(int descriptor, struct statvfs* status) {
    if (getenv("ONEFILE_HOOK_FAIL_FSTATVFS") != NULL) return failWith(ENOSYS);
    return __real_fstatvfs(descriptor, status);
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

int __wrap_clock_gettime(clockid_t clock, struct timespec* time) {
    int result = __real_clock_gettime(clock, time);
    const char* ahead = getenv("ONEFILE_HOOK_CLOCK_AHEAD");
    if (result == 0 && clock == CLOCK_REALTIME && ahead != NULL) time->tv_sec += strtol(ahead, NULL, 10);
    return result;
}

int __wrap_fstatfs(int descriptor, struct statfs* status) {
    int result = __real_fstatfs(descriptor, status);
    const char* type = getenv("ONEFILE_HOOK_FS_TYPE");
    if (result == 0 && type != NULL) status->f_type = strtol(type, NULL, 16);
    return result;
}

int __wrap_unlinkat(int directory, const char* name, int flags) {
    char path[kComposedPathBytes] = "";
    int logged = (flags & AT_REMOVEDIR) != 0 && getenv("ONEFILE_HOOK_REMOVED_LOG") != NULL;
    if (logged) composePath(directory, name, path, sizeof path);
    int result = __real_unlinkat(directory, name, flags);
    if (result == 0 && logged) appendLine("ONEFILE_HOOK_REMOVED_LOG", "rmdir", path);
    return result;
}
