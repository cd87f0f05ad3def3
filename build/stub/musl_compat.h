/* Included first into every source of a stub built against musl. The
   compiler's libstdc++ headers were configured for glibc and ask for two of
   its names. */
#pragma once

/* No glibc version is present. */
#define __GLIBC_PREREQ(major, minor) 0

#ifdef __cplusplus
/* glibc's name of the locale handle, used by <iterator>'s locale parts. */
typedef struct __locale_struct* __locale_t;
#endif
