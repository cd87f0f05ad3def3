// Extraction of the attached block below the extraction directory.
#pragma once

#include <cstddef>

namespace onefile {

// Most bytes of entry content handed to one write call: the stop flag of a
// termination signal is looked at between two calls. 256 KiB costs least on
// ext4 and tmpfs alike (one write of a whole 200 MB file takes about twice as
// long on ext4, writes of 32 KiB about 15% longer).
inline constexpr std::size_t kWriteChunkBytes = 256u << 10;

// Read position inside the attached block; the main sequence places it at
// getPayloadStart() (runtime/launcher_file.h) before extraction.
extern const unsigned char* gPayloadCursor;

// First byte past the mapped block. Extraction never reads at or beyond it,
// whatever the block's own fields claim.
extern const unsigned char* gPayloadEnd;

// Offset of the block's first byte in the launcher's own file: the check of
// a kept tree reads headers that lie far apart through the file, and stored
// entries are copied from it. Set by the main sequence with the block.
extern unsigned long long gPayloadFileOffset;

// Set by the main sequence when the block lies in the launcher's own file at
// gPayloadFileOffset: stored entries are then copied from that file by the
// kernel (copy_stored_content.h). Unset for a block elsewhere, which is
// written from memory.
extern bool gPayloadInLauncherFile;

// Set when the block lies in a read-only file mapping of its own pages (the
// launcher's image): extraction then drops the pages it has written out from
// the mapping. Never set for a block in ordinary memory, whose pages the
// drop would clear.
extern bool gPayloadPagesReleasable;

// Checks the magic, makes the extraction directory (which sets the removal
// flag) and writes every entry below it (extractEntries). Ends the process
// on every failure, except where the directory cannot be made or used and
// `lastPlace` is false: then false, after one line that says why
// (makeExtractionDirectory).
bool extractPayload(bool lastPlace);

// Ends the run with "Error, couldn't find attached data header." on standard
// output and the fatal exit status when the block at gPayloadCursor does not
// start with the magic.
void checkPayloadMagic();

// Ends the run with "Error, attached data is damaged." on standard error
// and the fatal exit status, after removing what the run made.
[[noreturn]] void stopOnDamagedBlock();

// Writes every entry of the block at gPayloadCursor (its magic checked)
// below the directory open at gExtractionDescriptor, which this run made
// and set the removal flag for; the first entry's path below
// gExtractionDirectory becomes the launch target. Ends the process on every
// failure, after removing what the run made.
void extractEntries();

}  // namespace onefile
