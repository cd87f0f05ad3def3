// Writers of file entries on threads of their own, so that a payload of many
// files is written by all of the machine's processors.
//
// The main thread reads the block in order, makes the directories and hands
// each file entry to the writers; a writer creates the file relative to a
// descriptor of its directory, with its final mode, and writes its content
// straight from the mapped block. Writers take no signals: every handled
// signal reaches the main thread, whose handler only records it before the
// fork. Writers look at that record (and at a failure of another writer)
// before each file and each write call, and stop there; the main thread
// removes what exists only once every writer has stopped.
#pragma once

#include <cstdint>

namespace onefile {

// A file entry to write: its name (in the block, NUL-terminated), where its
// last component starts, its content in the block, and its flags.
struct FileEntryJob {
    const char* name;
    const char* leaf;
    const unsigned char* content;
    std::uint64_t size;
    bool executable;
    bool compressed;  // one zstd frame
    std::uint32_t sequence;  // position among the block's entries
};

enum class WriterFailureKind { none, open, escape, write, damaged };

// The first failure of a writer, by position in the block.
struct WriterFailure {
    WriterFailureKind kind;
    int error;
    const char* name;
};

// The modes of new files (see extractPayload) for the writers.
void setWriterFileModes(std::uint32_t plainMode, std::uint32_t executableMode, bool executableModeNeedsChmod);

// Starts the writers when the machine has more than one processor for this
// process (sched_getaffinity) and the block is large enough to gain from
// them; false when the extraction stays on the main thread.
bool startEntryWriters(std::uint64_t blockBytes);

// Hands one file entry to the writers. `directory` is the main thread's
// descriptor of the entry's directory; the writers use a copy of their own.
// false when the writers stopped (a failure, a termination signal).
bool queueFileEntry(int directory, const FileEntryJob& job);

// Waits until every entry handed over is written or a writer failed, and
// returns the first failure (kind none when all went well). Entries that
// found their name taken (a block that names a file twice) are kept back for
// takeKeptBackEntry, in block order.
WriterFailure waitForEntryWriters();

// The next kept-back entry, in block order; false when none is left.
bool takeKeptBackEntry(FileEntryJob* job);

// Stops the writers at their next file or write call and waits until they
// have stopped; nothing is written afterwards. For the fatal exits.
void stopEntryWriters();

// Ends the writer threads once everything is written.
void endEntryWriters();

// Whether this run's extraction used the writers: a payload worth more than
// one thread, on a machine with more than one processor.
bool extractedInParallel();

}  // namespace onefile
