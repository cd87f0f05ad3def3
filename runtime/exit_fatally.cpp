#include <cstdio>
#include <unistd.h>

#include "launcher/launcher_state.h"
#include "launcher/shared_operations.h"
#include "launcher/supervision.h"

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
