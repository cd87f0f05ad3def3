// Process-wide state of one launcher run. Everything is fixed-size, zero at
// process start and never freed; the scalars that the termination handler
// reads have types that are safe to read in a signal handler.
#pragma once

#include <csignal>
#include <cstddef>
#include <ctime>

namespace onefile {

// A path buffer holds one NUL-terminated path of at most 4095 bytes.
inline constexpr std::size_t kPathBufferBytes = 4096;

// The expanded directory template. Written before the termination handler is
// installed and only read afterwards.
extern char gExtractionDirectory[kPathBufferBytes];

// Path of the first payload entry written: the file the child execs.
extern char gLaunchTarget[kPathBufferBytes];

// Process id of the child, stored by the parent right after fork; 0 until
// then and 0 in the child. Never reset.
extern volatile sig_atomic_t gChildProcessId;

// Set in the child, before its signal mask opens: from then on a signal that
// reaches one of the launcher's handlers acts as it would on the application
// (launcher/supervision.h, actAsInherited).
extern volatile sig_atomic_t gInChild;

// Set once this run has made the extraction directory itself, before
// anything is created below it; never cleared. Tells the cleanup to remove
// it. A directory that already existed is never ours to remove.
extern volatile sig_atomic_t gRemovalFlag;

// Set when a removal walk of the extraction directory starts (the cleanup
// of a termination signal, of a fatal error); never cleared. The threads'
// first pass of the removal then does not run.
extern volatile sig_atomic_t gTreeWalked;

// The longest name of one directory level.
inline constexpr std::size_t kLevelNameBytes = 256;

// A directory level this run made: the descriptor of the level that holds it
// and its name there. The cleanup removes it through that descriptor, so a
// level renamed or replaced by someone else is never followed.
struct DirectoryLevel {
    int parentDescriptor;
    char name[kLevelNameBytes];
};

// The extraction directory once this run has made it: its level, and a
// descriptor of the directory itself (-1 before).
extern DirectoryLevel gExtractionLevel;
extern volatile sig_atomic_t gExtractionDescriptor;

// The levels above the extraction directory that this run made, top first.
// The cleanup removes them again, deepest first, when they are empty. Levels
// beyond the capacity are made but not recorded, and stay.
inline constexpr int kMaxCreatedLevels = 32;
extern DirectoryLevel gCreatedLevels[kMaxCreatedLevels];
extern volatile sig_atomic_t gCreatedLevelCount;

// An empty file this run made in the deepest of gCreatedLevels (the mark of a
// directory that holds kept trees): it goes before that level, and comes
// back when the level still holds something of others and stays. No file
// while its name is empty.
extern DirectoryLevel gCreatedMark;

// Set by any wait of this process that has collected the child, and by a
// poll that learns the child is no longer ours (ECHILD). Once set, no signal
// is ever sent to the child process id again: the id may belong to another
// process by then.
extern volatile sig_atomic_t gChildReaped;

// Set by every termination signal: a sweep for the trees of other runs
// (payload/tree_sweep.h) stops at its next step, and the run goes on with
// its own cleanup. Never cleared.
extern volatile sig_atomic_t gSweepStopped;

// The child's wait status once a wait or a poll of this process collected
// it; gChildStatusKnown tells whether one did.
extern volatile sig_atomic_t gChildStatus;
extern volatile sig_atomic_t gChildStatusKnown;

// The first termination signal handled before the child was started; 0 when
// none came. The handler only records it: the main sequence looks between
// its steps (and between write calls) and then stops the run.
extern volatile sig_atomic_t gStopSignal;

// The one grace period of a run: set by the first termination signal that
// stops the child, never moved by later ones. The child gets SIGKILL at the
// deadline (CLOCK_MONOTONIC) at the latest.
extern volatile sig_atomic_t gGraceStarted;
extern struct timespec gGraceDeadline;

// Stops the threads that write entries, when they run, and waits until they
// have stopped: the fatal exits call it before they remove anything.
extern void (*gStopWriters)();

// Set while a cleanup runs, in the termination handler or in the main
// sequence at the end: a termination signal then only forwards SIGINT (when
// the grace period runs), so cleanups never nest, however many signals come.
extern volatile sig_atomic_t gCleanupRunning;

// Signals meant for the application that arrived before the child existed,
// by number; passed on once it does.
inline constexpr int kSignalSlots = 65;
extern volatile sig_atomic_t gHeldSignals[kSignalSlots];

}  // namespace onefile
