/* Starts the program named by its first argument with an empty argument
   vector (no element 0) and the caller's environment, as a careless or
   hostile parent could. */
#include <stdio.h>
#include <unistd.h>

extern char** environ;

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: exec_without_arguments PROGRAM\n");
        return 127;
    }
    char* noArguments[] = {NULL};
    execve(argv[1], noArguments, environ);
    perror(argv[1]);
    return 127;
}
