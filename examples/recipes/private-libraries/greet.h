#ifndef GREET_H
#define GREET_H

/* Prints the greeting and the path of the file this library was loaded from. */
void greet(void);

#endif
