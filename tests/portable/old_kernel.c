/* Runs a program as if on Linux 3.10: every system call that kernel did not
   have fails with ENOSYS, as it would there. The filter is a seccomp program
   inherited across fork and exec, so the launcher and everything it starts
   see the old kernel's system call table.

   usage: old_kernel PROGRAM [ARGUMENT...]   (PROGRAM is looked up in PATH) */
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

/* The last x86-64 system call of Linux 3.10 is finit_module; everything from
   sched_setattr (314, Linux 3.14) on came later. */
enum { kLastCallOfLinux310 = 313 };

int main(int argc, char** argv) {
    if (argc < 2) {
        fputs("usage: old_kernel PROGRAM [ARGUMENT...]\n", stderr);
        return 2;
    }
    struct sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, kLastCallOfLinux310, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog filter = {sizeof program / sizeof program[0], program};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
        fprintf(stderr, "old_kernel: cannot install the filter: %s\n", strerror(errno));
        return 125;
    }
    execvp(argv[1], argv + 1);
    fprintf(stderr, "old_kernel: %s: %s\n", argv[1], strerror(errno));
    return 127;
}
