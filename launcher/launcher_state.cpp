#include "launcher/launcher_state.h"

namespace onefile {

char gExtractionDirectory[kPathBufferBytes];
char gLaunchTarget[kPathBufferBytes];
volatile sig_atomic_t gChildProcessId;
volatile sig_atomic_t gRemovalFlag;
volatile sig_atomic_t gChildReaped;
volatile sig_atomic_t gTerminationHandled;

}  // namespace onefile
