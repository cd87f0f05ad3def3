// Writers of file entries on threads of their own, so that a payload of many
// files is written by all of the machine's processors.
//
// The main thread reads the block in order and makes every name in it, in
// block order: directories, files (created with their final mode) and links,
// so that what the tree holds, and which error a faulty block gives, are the
// same as on one thread. The writers then write each file's content, straight
// from the mapped block or decoded from its frame, and close it. A thread
// with nothing else to do writes the chunks a decoding thread hands over, so
// that even one large compressed entry keeps two processors busy. Writers take
// no signals: every handled signal reaches the main thread, whose handler
// only records it before the fork. Writers look at that record (and at a
// failure of another writer) before each file and each write call, and stop
// there; the main thread removes what exists only once every writer has
// stopped.
#pragma once

#include <cstdint>

namespace onefile {

// A file entry to write: the file open for writing (the writer closes it),
// its name in the block (for a report), its content in the block, and
// whether that is zstd frames. A compressed entry of several frames is one
// job per frame, each with a descriptor of its own for the same file and the
// offset in the file where the frame's content goes: the frames are decoded
// and written at once by several writers.
// A stored entry is copied from the launcher's own file (`source`, -1 to
// write it from the mapping) at `sourceOffset`.
struct FileEntryJob {
    int descriptor;
    const char* name;
    const unsigned char* content;
    std::uint64_t size;
    bool compressed;
    std::uint32_t sequence;  // position among the block's entries
    std::uint64_t offset;    // of the content in the file
    bool frameOfMany;        // one of several frames: a batch of its own
    int source;
    std::uint64_t sourceOffset;
};

enum class WriterFailureKind { none, write, damaged, noWorkspace, cutShort };

// The first failure of a writer, by position in the block; for cutShort,
// where the launcher's file ended.
struct WriterFailure {
    WriterFailureKind kind;
    int error;
    const char* name;
    std::uint64_t fileEnd;
};

// Starts the writers when the machine has more than one processor for this
// process (sched_getaffinity) and the block is large enough to gain from
// them; false when the extraction stays on the main thread.
bool startEntryWriters(std::uint64_t blockBytes);

// Reserves the decoding workspaces of the writers, once, before the first
// compressed entry is handed over; the main thread's must be reserved
// already. A writer that gets none (an address-space limit) takes no more
// files, whose content it might have to decode: it writes the chunks a
// decoding thread hands over, and the others, the main thread among them,
// write the files.
void reserveWriterWorkspaces();

// Hands one file entry to the writers; false when the writers stopped (a
// failure, a termination signal), and the entry's file was closed.
bool queueFileEntry(const FileEntryJob& job);

// Waits until every entry handed over is written or a writer failed, and
// returns the first failure (kind none when all went well).
WriterFailure waitForEntryWriters();

// Stops the writers at their next file or write call and waits until they
// have stopped; nothing is written afterwards. For the fatal exits.
void stopEntryWriters();

// Ends the writer threads once everything is written.
void endEntryWriters();

// Whether this run's extraction used the writers: a payload worth more than
// one thread, on a machine with more than one processor.
bool extractedInParallel();

}  // namespace onefile
