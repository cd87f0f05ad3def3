/* A library that tests preload into a launcher (LD_PRELOAD) to make single
   system calls fail on demand and to record which ones ran. The launcher links
   the system library alone, so its calls of these functions reach the shim
   first. Every other call passes straight to the kernel. Controls, all
   through the environment:

     ONEFILE_SHIM_LOG=FILE             append one line per event below to FILE
     ONEFILE_SHIM_FAIL_MKDIR=PREFIX    mkdir of a path starting with PREFIX
                                       fails with EACCES
     ONEFILE_SHIM_FAIL_FSTAT=PREFIX    fstat of a descriptor whose file's path
                                       starts with PREFIX fails with EIO
     ONEFILE_SHIM_NO_URANDOM=1         opening "/dev/urandom" fails with ENOENT
                                       (logged as "urandom refused")
     ONEFILE_SHIM_FAIL_GETRANDOM=1     getrandom fails with ENOSYS
                                       (every call is logged as "getrandom")
     ONEFILE_SHIM_FAIL_FORK=1          fork fails with EAGAIN
     ONEFILE_SHIM_FAIL_PROGRAM_LINK=1  readlink of "/proc/self/exe" fails with
                                       EACCES
     ONEFILE_SHIM_BUSY_EXEC=N          the first N execv calls of a process find
                                       their file open for writing, so the
                                       kernel refuses them with ETXTBSY (logged
                                       as "execv busy"; later calls as "execv")

   The shim is inherited by the launched application too; each control only
   touches calls that the application under test does not make. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

static const char kProgramLink[] = "/proc/self/exe";
static const char kRandomDevice[] = "/dev/urandom";

static int startsWith(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

static void logEvent(const char* event) {
    const char* path = getenv("ONEFILE_SHIM_LOG");
    if (path == NULL) return;
    int descriptor = (int)syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (descriptor < 0) return;
    (void)!write(descriptor, event, strlen(event));
    (void)!write(descriptor, "\n", 1);
    close(descriptor);
}

static int failWith(int errorNumber) {
    errno = errorNumber;
    return -1;
}

int mkdir(const char* path, mode_t mode) {
    const char* prefix = getenv("ONEFILE_SHIM_FAIL_MKDIR");
    if (prefix != NULL && startsWith(path, prefix)) return failWith(EACCES);
    return (int)syscall(SYS_mkdirat, AT_FDCWD, path, mode);
}

static int fstatThroughKernel(int descriptor, struct stat* status) {
    const char* prefix = getenv("ONEFILE_SHIM_FAIL_FSTAT");
    if (prefix != NULL) {
        char link[64];
        char path[4096];
        snprintf(link, sizeof link, "/proc/self/fd/%d", descriptor);
        long length = syscall(SYS_readlinkat, AT_FDCWD, link, path, sizeof path - 1);
        if (length >= 0) {
            path[length] = '\0';
            if (startsWith(path, prefix)) return failWith(EIO);
        }
    }
    return (int)syscall(SYS_fstat, descriptor, status);
}

int fstat(int descriptor, struct stat* status) { return fstatThroughKernel(descriptor, status); }
int fstat64(int descriptor, struct stat64* status) {
    return fstatThroughKernel(descriptor, (struct stat*)status);
}

static int openThroughKernel(const char* path, int flags, mode_t mode) {
    if (getenv("ONEFILE_SHIM_NO_URANDOM") != NULL && strcmp(path, kRandomDevice) == 0) {
        logEvent("urandom refused");
        return failWith(ENOENT);
    }
    return (int)syscall(SYS_openat, AT_FDCWD, path, flags, mode);
}

static mode_t modeArgument(int flags, va_list arguments) {
    return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(arguments, int) : 0;
}

int open(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    return openThroughKernel(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    return openThroughKernel(path, flags, mode);
}

int __open_2(const char* path, int flags) { return openThroughKernel(path, flags, 0); }
int __open64_2(const char* path, int flags) { return openThroughKernel(path, flags, 0); }

ssize_t getrandom(void* buffer, size_t length, unsigned int flags) {
    logEvent("getrandom");
    if (getenv("ONEFILE_SHIM_FAIL_GETRANDOM") != NULL) return failWith(ENOSYS);
    return syscall(SYS_getrandom, buffer, length, flags);
}

pid_t fork(void) {
    if (getenv("ONEFILE_SHIM_FAIL_FORK") != NULL) return failWith(EAGAIN);
    /* The system library's fork runs its own preparations around the system
       call; a bare system call would skip them. */
    pid_t (*systemFork)(void) = (pid_t(*)(void))dlsym(RTLD_NEXT, "fork");
    return systemFork != NULL ? systemFork() : failWith(ENOSYS);
}

ssize_t readlink(const char* path, char* buffer, size_t size) {
    if (getenv("ONEFILE_SHIM_FAIL_PROGRAM_LINK") != NULL && strcmp(path, kProgramLink) == 0) {
        return failWith(EACCES);
    }
    return syscall(SYS_readlinkat, AT_FDCWD, path, buffer, size);
}

int execv(const char* path, char* const argv[]) {
    static int busyAttempts;
    int (*systemExecv)(const char*, char* const[]) =
        (int (*)(const char*, char* const[]))dlsym(RTLD_NEXT, "execv");
    if (systemExecv == NULL) return failWith(ENOSYS);
    const char* busy = getenv("ONEFILE_SHIM_BUSY_EXEC");
    if (busy != NULL && busyAttempts < atoi(busy)) {
        ++busyAttempts;
        /* A real writer: the busy state comes from the kernel, not from us. */
        int writer = (int)syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CLOEXEC, 0);
        logEvent("execv busy");
        int result = systemExecv(path, argv);
        int error = errno;
        if (writer >= 0) close(writer);
        errno = error;
        return result;
    }
    logEvent("execv");
    return systemExecv(path, argv);
}
