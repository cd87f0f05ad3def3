/* The sample application: shows that it runs from its extraction directory,
   that it found its shared library and its data file (read through a
   symbolic link), and what the launcher told it. */
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "greet.h"

static const char* variable(const char* name) {
    const char* value = getenv(name);
    return value ? value : "(unset)";
}

int main(int argc, char** argv) {
    char self[PATH_MAX] = "";
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) self[length] = '\0';

    printf("%s\n", greeting());
    printf("running from:      %s\n", self);
    printf("launcher:          %s\n", argv[0]);
    printf("started as:        %s\n", variable("TAVMIR_ORIGINAL_ARGV0"));
    printf("launcher directory %s\n", variable("TAVMIR_ONEFILE_DIRECTORY"));
    for (int i = 1; i < argc; ++i) printf("argument %d:        %s\n", i, argv[i]);

    /* The data file sits beside the executable; share/message.txt is a link to it. */
    char* slash = strrchr(self, '/');
    if (slash == NULL) return 1;
    snprintf(slash + 1, sizeof self - (size_t)(slash + 1 - self), "share/message.txt");
    FILE* data = fopen(self, "r");
    if (data == NULL) {
        perror(self);
        return 1;
    }
    char line[256];
    if (fgets(line, sizeof line, data) != NULL) printf("data file says:    %s", line);
    fclose(data);
    return 0;
}
