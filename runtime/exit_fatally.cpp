#include <cstdio>
#include <unistd.h>

#include "runtime/directory_removal.h"
#include "runtime/fatal_stops.h"
#include "runtime/launcher_state.h"

namespace onefile {

void exitFatally() {
    // A full disk stays full, a damaged block leaves no half tree behind.
    if (gStopWriters != nullptr) gStopWriters();
    removeWhatThisRunMade();
    // _exit: a stream of an entry still open must not write what it holds.
    (void)fflush(stdout);
    _exit(kFatalExitStatus);
}

}  // namespace onefile
