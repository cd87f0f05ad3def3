/* Runs a program and cuts a file short right after the program has mapped
   it, before it reads a byte of the mapping: the file shrinks while the
   program reads it, at a moment fixed by the program's own system calls, not
   by a race.

   usage: cut_when_mapped FILE SIZE PROGRAM [ARGUMENT...]

   PROGRAM runs traced (ptrace): at the return of its first successful mmap
   of a descriptor open on FILE (same device and inode), FILE is truncated to
   SIZE bytes and PROGRAM goes on untraced. Exits with PROGRAM's status, or
   128+N when signal N ended it, as a shell does; 125 when PROGRAM ended
   without mapping FILE, or on a failure of its own. */
#define _GNU_SOURCE
#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

enum { kOwnFailure = 125, kFdArgument = 4 };

static int fail(const char* what) {
    fprintf(stderr, "cut_when_mapped: %s: %s\n", what, strerror(errno));
    return kOwnFailure;
}

/* Whether descriptor `fd` of process `pid` is open on the file `wanted`. */
static int opensFile(pid_t pid, long long fd, const struct stat* wanted) {
    char link[64];
    struct stat status;
    snprintf(link, sizeof link, "/proc/%d/fd/%lld", (int)pid, fd);
    return stat(link, &status) == 0 && status.st_dev == wanted->st_dev && status.st_ino == wanted->st_ino;
}

/* The status a shell gives for the wait status `status`. */
static int shellStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

int main(int argc, char** argv) {
    if (argc < 4) {
        fputs("usage: cut_when_mapped FILE SIZE PROGRAM [ARGUMENT...]\n", stderr);
        return kOwnFailure;
    }
    const char* path = argv[1];
    const off_t size = (off_t)strtoll(argv[2], NULL, 10);
    struct stat file;
    if (stat(path, &file) != 0) return fail(path);

    const pid_t pid = fork();
    if (pid < 0) return fail("fork");
    if (pid == 0) {
        if (ptrace(PTRACE_TRACEME, 0, NULL, NULL) != 0) _exit(fail("PTRACE_TRACEME"));
        execvp(argv[3], argv + 3);
        _exit(fail(argv[3]));
    }

    int status = 0;
    /* The first stop is the SIGTRAP of the exec. */
    if (waitpid(pid, &status, 0) != pid) return fail("waitpid");
    if (!WIFSTOPPED(status)) return shellStatus(status);
    if (ptrace(PTRACE_SETOPTIONS, pid, NULL, (void*)(PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL)) != 0)
        return fail("PTRACE_SETOPTIONS");
    int signalToPass = 0;
    int mappingFile = 0; /* set at the entry of an mmap of FILE */
    for (;;) {
        if (ptrace(PTRACE_SYSCALL, pid, NULL, (void*)(intptr_t)signalToPass) != 0) return fail("PTRACE_SYSCALL");
        signalToPass = 0;
        if (waitpid(pid, &status, 0) != pid) return fail("waitpid");
        if (!WIFSTOPPED(status)) {
            fprintf(stderr, "cut_when_mapped: %s ended without mapping %s\n", argv[3], path);
            return kOwnFailure;
        }
        if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
            signalToPass = WSTOPSIG(status);
            continue;
        }
        struct __ptrace_syscall_info call;
        if (ptrace(PTRACE_GET_SYSCALL_INFO, pid, (void*)sizeof call, &call) <= 0)
            return fail("PTRACE_GET_SYSCALL_INFO");
        if (call.op == PTRACE_SYSCALL_INFO_ENTRY) {
            mappingFile = call.entry.nr == SYS_mmap && (long long)call.entry.args[kFdArgument] >= 0 &&
                          opensFile(pid, (long long)call.entry.args[kFdArgument], &file);
        } else if (call.op == PTRACE_SYSCALL_INFO_EXIT && mappingFile) {
            mappingFile = 0;
            if (call.exit.is_error) continue;
            if (truncate(path, size) != 0) return fail(path);
            if (ptrace(PTRACE_DETACH, pid, NULL, NULL) != 0) return fail("PTRACE_DETACH");
            break;
        }
    }
    if (waitpid(pid, &status, 0) != pid) return fail("waitpid");
    return shellStatus(status);
}
