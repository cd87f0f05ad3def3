/* The application's own shared library, carried in lib/ next to bin/. */
#define _GNU_SOURCE
#include "greet.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>

void greet(void) {
  printf("greeting: Hello from the private libgreet\n");
  /* The file the dynamic loader mapped this function from. */
  Dl_info info;
  char resolved[PATH_MAX];
  if (dladdr((void *)greet, &info) != 0 && info.dli_fname != NULL &&
      realpath(info.dli_fname, resolved) != NULL) {
    printf("library: %s\n", resolved);
  } else {
    printf("library: unknown\n");
  }
}
