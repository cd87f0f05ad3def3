#include <cstdio>
#include <unistd.h>

#include "runtime/directory_removal.h"
#include "runtime/fatal_stops.h"
#include "runtime/launcher_state.h"

namespace onefile {

void stopIfSignalled() {
    int number = gStopSignal;
    if (number == 0) return;
    if (gStopWriters != nullptr) gStopWriters();
    // Removed before the report, so the directory is gone when the caller
    // sees the message.
    removeWhatThisRunMade();
    fprintf(stderr, "Error, stopped by signal %d before the application started.\n", number);
    // _exit: a stream of an entry still open must not write what it holds.
    (void)fflush(stdout);
    _exit(kFatalExitStatus);
}

}  // namespace onefile
