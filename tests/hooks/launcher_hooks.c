/* Hooks of the tests' stub. */
#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

pid_t __real_fork(void);

pid_t __wrap_fork(void) {
    if (getenv("ONEFILE_SHIM_FAIL_FORK") != NULL) {
        errno = EAGAIN;
        return -1;
    }
    return __real_fork();
}
