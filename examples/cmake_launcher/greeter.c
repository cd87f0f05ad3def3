/* The example application: greets each name it is given, or the world, with
 * the greeting read from greeting.txt beside the program, and tells the
 * directory it runs from (the launcher's extraction directory). */
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv) {
    char dir[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", dir, sizeof dir - 1);
    if (length <= 0) {
        perror("/proc/self/exe");
        return 1;
    }
    dir[length] = '\0';
    *strrchr(dir, '/') = '\0';

    char path[PATH_MAX + sizeof "/greeting.txt"];
    snprintf(path, sizeof path, "%s/greeting.txt", dir);
    FILE *file = fopen(path, "r");
    char greeting[256];
    if (file == NULL || fgets(greeting, sizeof greeting, file) == NULL) {
        perror(path);
        return 1;
    }
    fclose(file);
    greeting[strcspn(greeting, "\n")] = '\0';

    if (argc < 2) printf("%s, world!\n", greeting);
    for (int i = 1; i < argc; ++i) printf("%s, %s!\n", greeting, argv[i]);
    printf("(running from %s)\n", dir);
    return 0;
}
