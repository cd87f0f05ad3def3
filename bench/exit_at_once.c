/* The smallest application a launcher can carry: it exits at once with
 * status 0, so a start-up measurement sees only the cost of getting there.
 * Built without the C library where the toolchain allows it, the process
 * makes a single system call and the file is a few kilobytes. */
#if defined(BENCH_BARE_EXIT)
enum { kExitGroupSyscall = 231 };

void _start(void) {
    __asm__ volatile("syscall" : : "a"(kExitGroupSyscall), "D"(0) : "rcx", "r11", "memory");
    __builtin_unreachable();
}
#else
int main(void) { return 0; }
#endif
