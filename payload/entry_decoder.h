// Decoding of compressed entry content: zstd frames back to back, each with
// its checksum and its unpacked size in the frame header, written straight
// into the entry's file. The decoder stubs carry the decoder; the plain stubs do
// not, and for them a compressed entry is damage.
#pragma once

#include <cstddef>
#include <cstdint>

namespace onefile {

// Decoding workspaces: one for the main thread and one for each writer thread
// that decodes. Each takes about 9 MB of address space, mapped only when its
// thread decodes a first frame, so a launcher that decodes nothing, or on one
// thread, does not need the room for the others. Up to 16 threads, one per
// usable processor: the frames of one large entry are decoded on all of them.
inline constexpr int kDecoderSlots = 16;
inline constexpr int kMainDecoderSlot = 0;

// The largest window a frame may ask for (8 MiB); each workspace holds one.
inline constexpr unsigned kDecoderWindowLog = 23;

enum class DecodeResult { done, damaged, writeFailed, stopped, noWorkspace };

struct DecodeOutcome {
    DecodeResult result;
    int error;  // for writeFailed and noWorkspace
};

// Whether this launcher carries the decoder.
bool launcherHasDecoder();

// The unpacked size that the header of the frame at `frame` (`frameSize`
// bytes) states, into *size; false when the header is not one the decoder
// would take, and always in a launcher without the decoder. Reads the header
// only: for the check of a kept tree, which hashes nothing.
bool readUnpackedSize(const unsigned char* frame, std::uint64_t frameSize, std::uint64_t* size);

// The frame at `frame`, within the `available` bytes up to the end of its
// entry's content: its compressed size into *bytes and the unpacked size its
// header states into *contentBytes. False when the header is not one the
// decoder takes or the frame does not end within those bytes. Reads the
// frame's header and the headers of its blocks, not the blocks: how the
// frames of one entry are found, to be decoded on several threads.
bool measureFrame(const unsigned char* frame, std::uint64_t available, std::uint64_t* bytes,
                  std::uint64_t* contentBytes);

// Called for each frame of a walk: where it starts, its compressed size, the
// offset of its content in the file, and whether it is the last.
using FrameVisitor = void (*)(void* context, const unsigned char* frame, std::uint64_t frameBytes,
                              std::uint64_t offset, bool last);

// The unpacked size of the whole compressed content at `content` (`size`
// bytes, all of it readable) into *unpacked: the sum of its frames', found by
// walking their headers as measureFrame does, each sized as
// compressedFrameFits wants, the last one ending exactly at `size`. False
// when they are not, or when their unpacked sizes add up to more than 64
// bits count. `visit`, when set, is called with `context` for each
// frame that passed, in order, before the next one is looked at.
bool measureFrames(const unsigned char* content, std::uint64_t size, std::uint64_t* unpacked,
                   FrameVisitor visit = nullptr, void* context = nullptr);

// Where decoded content goes, chunk by chunk. The decoder decodes into the
// round buffer of its workspace and hands each piece of at most
// kWriteChunkBytes to `deliver`, with the piece's offset in the file. Before
// it decodes over a part of the buffer, and for the whole buffer before it
// returns, it calls `reclaim` (when set), which returns once every piece
// handed over that overlaps [from, to) is written. So the pieces may be
// written by other threads while the decoder goes on. Both return 0, or the
// errno value of a failed write. When the decoding fails or stops, `drop`
// (when set) is called before that last reclaim: what is not written by then
// need not be.
struct DecodedChunkSink {
    int (*deliver)(void* context, const unsigned char* data, std::size_t size, std::uint64_t offset);
    int (*reclaim)(void* context, const unsigned char* from, const unsigned char* to);
    void (*drop)(void* context);
    void* context;
};

// The address space one workspace takes.
std::size_t decoderWorkspaceBytes();

// Maps the workspace of `slot` unless it is mapped already: once per slot and
// run, not per entry. False, with errno set, when the system gives no room
// for it (an address-space limit); the slot then decodes nothing. Each slot
// belongs to one thread; another thread may reserve it only before handing
// that thread work under a lock.
bool reserveDecoderWorkspace(int slot);

// Decodes the frames at `content` (`size` bytes) into `sink` with workspace
// `slot`, which it reserves first when that was not done (noWorkspace when
// that fails, before anything is written); `shouldStop` is asked before
// each block (at most 128 KiB of content). The content is damaged unless it
// is whole valid frames back to back (a flipped byte fails a checksum),
// each unpacking to the size its header says, with a window the workspace
// holds, and sized as compressedFrameFits wants, the last one ending exactly
// at `size`. `released` is called with `context` and the end of the input
// consumed so far, so the caller can give the block's pages back.
DecodeOutcome decodeEntryChunks(const DecodedChunkSink& sink, const unsigned char* content, std::uint64_t size,
                                int slot, bool (*shouldStop)(),
                                void (*released)(void* context, const unsigned char* consumed), void* context);

// The same into the file open at `descriptor`, written in order on this
// thread, at most kWriteChunkBytes per write call.
DecodeOutcome decodeEntryContent(int descriptor, const unsigned char* content, std::uint64_t size, int slot,
                                 bool (*shouldStop)(), void (*released)(void* context, const unsigned char* consumed),
                                 void* context);

// Unmaps the workspaces once the extraction is over: no thread decodes any
// more.
void releaseDecoderWorkspaces();

}  // namespace onefile
