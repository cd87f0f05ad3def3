/* The main executable, bin/prog: it finds libgreet.so through its run path
   $ORIGIN/../lib, which the dynamic loader expands to the directory that
   holds the program's own file, here the extraction directory's bin/. */
#include "greet.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv) {
  /* The program's own file; argv[0] is the launcher's path. */
  char self[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length < 0) {
    perror("/proc/self/exe");
    return 125;
  }
  self[length] = '\0';
  /* The application directory: two levels above bin/prog. */
  for (int level = 0; level < 2; ++level) {
    char *slash = strrchr(self, '/');
    if (slash != NULL) *slash = '\0';
  }
  printf("location: %s\n", self);
  greet();
  for (int i = 1; i < argc; ++i) printf("argument: %s\n", argv[i]);
  return argc - 1;
}
