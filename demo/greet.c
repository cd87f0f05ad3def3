/* The sample application's shared library. */
#include "greet.h"

const char* greeting(void) { return "Hello from a library found through $ORIGIN/lib"; }
