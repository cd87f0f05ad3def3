#include "runtime/launcher_state.h"

namespace onefile {

char gExtractionDirectory[kPathBufferBytes];
char gLaunchTarget[kPathBufferBytes];
volatile sig_atomic_t gChildProcessId;
volatile sig_atomic_t gInChild;
volatile sig_atomic_t gRemovalFlag;
volatile sig_atomic_t gTreeWalked;
DirectoryLevel gExtractionLevel = {-1, {}};
volatile sig_atomic_t gExtractionDescriptor = -1;
DirectoryLevel gCreatedLevels[kMaxCreatedLevels];
volatile sig_atomic_t gCreatedLevelCount;
DirectoryLevel gCreatedMark;
volatile sig_atomic_t gChildReaped;
volatile sig_atomic_t gSweepStopped;
volatile sig_atomic_t gChildStatus;
volatile sig_atomic_t gChildStatusKnown;
volatile sig_atomic_t gStopSignal;
volatile sig_atomic_t gGraceStarted;
struct timespec gGraceDeadline;
volatile sig_atomic_t gHeldSignals[kSignalSlots];
void (*gStopWriters)();
volatile sig_atomic_t gCleanupRunning;

}  // namespace onefile
