// The decoder of the decoder stubs: zstd's block-by-block decoder (its
// buffer-less API) on a fixed workspace per thread, mapped on its own when
// the thread decodes its first frame, so no heap is ever used and a launcher
// needs the address space of only the workspaces its threads use. Each
// workspace holds the decoding context and a round buffer that is the
// frame's window: blocks are decoded into it, and the file is written
// straight from it, without a copy into another buffer.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <sys/mman.h>
#include <unistd.h>

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include "format/payload_format.h"
#include "payload/entry_decoder.h"
#include "payload/extract_payload.h"

namespace onefile {

namespace {

// ZSTD_estimateDCtxSize() is 95,992 bytes with the library of this build;
// the room is checked when a context is made.
constexpr std::size_t kContextBytes = 160u << 10;
// The round buffer a window of 8 MiB needs: ZSTD_decodingBufferSize_min
// gives 8,650,816 bytes (the window, two blocks of 128 KiB and a little
// room) with the library of this build; checked per frame.
constexpr std::size_t kRoundBufferBytes = (8u << 20) + (512u << 10);

struct Workspace {
    unsigned char context[kContextBytes];
    unsigned char round[kRoundBufferBytes];
};

// Mapped by reserveDecoderWorkspace, unmapped by releaseDecoderWorkspaces.
Workspace* workspaces[kDecoderSlots];

int writeInOrder(void* context, const unsigned char* data, std::size_t size, std::uint64_t) {
    const int descriptor = *static_cast<const int*>(context);
    while (size > 0) {
        ssize_t written = write(descriptor, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return written < 0 ? errno : EIO;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

// Checks the frame header: the tool always writes a plain frame with its
// checksum and unpacked size, and a window of at most 8 MiB.
bool readFrameHeader(const unsigned char* frame, std::uint64_t frameSize, ZSTD_frameHeader* header) {
    std::size_t result = ZSTD_getFrameHeader(header, frame, frameSize);
    return !ZSTD_isError(result) && result == 0 && header->frameType == ZSTD_frame && header->checksumFlag != 0 &&
           header->frameContentSize != ZSTD_CONTENTSIZE_UNKNOWN &&
           header->windowSize <= (1ull << kDecoderWindowLog);
}

// Decoded content not yet handed over: [start, end) of the round buffer,
// the content at `offset` of the file.
struct Pending {
    unsigned char* start;
    unsigned char* end;
    std::uint64_t offset;
};

int handOver(const DecodedChunkSink& sink, Pending& pending) {
    if (pending.end == pending.start) return 0;
    const std::size_t size = static_cast<std::size_t>(pending.end - pending.start);
    int error = sink.deliver(sink.context, pending.start, size, pending.offset);
    pending.offset += size;
    pending.start = pending.end;
    return error;
}

}  // namespace

bool launcherHasDecoder() { return true; }

std::size_t decoderWorkspaceBytes() { return sizeof(Workspace); }

bool reserveDecoderWorkspace(int slot) {
    if (workspaces[slot] != nullptr) return true;
    // Address space only: the pages come as the decoder touches them, and a
    // small frame touches few.
    void* mapped = mmap(nullptr, sizeof(Workspace), PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapped == MAP_FAILED) return false;
    workspaces[slot] = static_cast<Workspace*>(mapped);
    return true;
}

bool measureFrame(const unsigned char* frame, std::uint64_t available, std::uint64_t* bytes,
                  std::uint64_t* contentBytes) {
    ZSTD_frameHeader header;
    if (!readFrameHeader(frame, available, &header)) return false;
    const std::size_t found = ZSTD_findFrameCompressedSize(frame, static_cast<std::size_t>(available));
    if (ZSTD_isError(found)) return false;
    *bytes = found;
    *contentBytes = header.frameContentSize;
    return true;
}

bool measureFrames(const unsigned char* content, std::uint64_t size, std::uint64_t* unpacked, FrameVisitor visit,
                   void* context) {
    std::uint64_t used = 0;
    std::uint64_t offset = 0;
    while (used != size) {
        std::uint64_t frameBytes = 0;
        std::uint64_t contentBytes = 0;
        if (!measureFrame(content + used, size - used, &frameBytes, &contentBytes) ||
            !compressedFrameFits(offset, contentBytes, used + frameBytes != size)) {
            return false;
        }
        // Frames whose sizes add up to more than 64 bits count are damage,
        // not a small file.
        std::uint64_t next = offset;
        if (!addBlockSizes(&next, contentBytes)) return false;
        if (visit != nullptr) visit(context, content + used, frameBytes, offset, used + frameBytes == size);
        used += frameBytes;
        offset = next;
    }
    *unpacked = offset;
    return used != 0;
}

bool readUnpackedSize(const unsigned char* frame, std::uint64_t frameSize, std::uint64_t* size) {
    ZSTD_frameHeader header;
    if (!readFrameHeader(frame, frameSize, &header)) return false;
    *size = header.frameContentSize;
    return true;
}

namespace {

// Decodes the frame at `frame`, which must end by `inputEnd`, into `sink`
// at `offset` of the file; *frameEnd is where it ended, *contentBytes what it
// unpacked to. The round buffer is free when it starts and handed over
// whole when it returns done.
DecodeOutcome decodeFrame(const DecodedChunkSink& sink, Workspace& workspace, const unsigned char* frame,
                          const unsigned char* inputEnd, std::uint64_t offset, bool (*shouldStop)(),
                          void (*released)(void* context, const unsigned char* consumed), void* context,
                          const unsigned char** frameEnd, std::uint64_t* contentBytes) {
    ZSTD_DCtx* decoder = ZSTD_initStaticDCtx(workspace.context, sizeof workspace.context);
    ZSTD_frameHeader header;
    if (decoder == nullptr || !readFrameHeader(frame, static_cast<std::uint64_t>(inputEnd - frame), &header) ||
        ZSTD_isError(ZSTD_decompressBegin(decoder))) {
        return {DecodeResult::damaged, 0};
    }
    const std::size_t roundBytes = ZSTD_decodingBufferSize_min(header.windowSize, header.frameContentSize);
    if (ZSTD_isError(roundBytes) || roundBytes > sizeof workspace.round) return {DecodeResult::damaged, 0};
    // A frame larger than the round buffer starts again at its beginning
    // once a whole block no longer fits behind the last one.
    const bool wraps = roundBytes < header.frameContentSize;
    unsigned char* const round = workspace.round;
    unsigned char* const roundEnd = round + roundBytes;
    const std::uint64_t expected = header.frameContentSize;
    const unsigned char* input = frame;
    unsigned char* position = round;
    Pending pending = {round, round, offset};
    std::uint64_t total = 0;
    for (std::size_t need = ZSTD_nextSrcSizeToDecompress(decoder); need != 0;
         need = ZSTD_nextSrcSizeToDecompress(decoder)) {
        if (shouldStop()) return {DecodeResult::stopped, 0};
        // Input used up in the middle of a frame: it was cut short.
        if (need > static_cast<std::size_t>(inputEnd - input)) return {DecodeResult::damaged, 0};
        // Room for one block at most, never past the unpacked size the
        // header gives: a frame that would unpack to more fails here.
        std::uint64_t room = expected - total;
        if (room > header.blockSizeMax) room = header.blockSizeMax;
        if (room > static_cast<std::uint64_t>(roundEnd - position)) room = static_cast<std::uint64_t>(roundEnd - position);
        if (sink.reclaim != nullptr) {
            if (int error = sink.reclaim(sink.context, position, position + room); error != 0) {
                return {DecodeResult::writeFailed, error};
            }
        }
        std::size_t produced = ZSTD_decompressContinue(decoder, position, static_cast<std::size_t>(room), input, need);
        if (ZSTD_isError(produced)) return {DecodeResult::damaged, 0};
        input += need;
        position += produced;
        total += produced;
        pending.end = position;
        // Whole chunks go to the file as they are decoded; the rest before
        // the buffer starts again.
        const bool wrapNow = wraps && static_cast<std::size_t>(roundEnd - position) < header.blockSizeMax;
        if (static_cast<std::size_t>(pending.end - pending.start) + header.blockSizeMax > kWriteChunkBytes || wrapNow) {
            if (int error = handOver(sink, pending); error != 0) return {DecodeResult::writeFailed, error};
            released(context, input);
        }
        if (wrapNow) position = pending.start = pending.end = round;
    }
    // The frame is whole, checksum included.
    if (total != expected) return {DecodeResult::damaged, 0};
    if (int error = handOver(sink, pending); error != 0) return {DecodeResult::writeFailed, error};
    released(context, input);
    // The next frame decodes into the buffer from its start again.
    if (sink.reclaim != nullptr) {
        if (int error = sink.reclaim(sink.context, round, roundEnd); error != 0) return {DecodeResult::writeFailed, error};
    }
    *frameEnd = input;
    *contentBytes = total;
    return {DecodeResult::done, 0};
}

}  // namespace

DecodeOutcome decodeEntryChunks(const DecodedChunkSink& sink, const unsigned char* content, std::uint64_t size,
                                int slot, bool (*shouldStop)(),
                                void (*released)(void* context, const unsigned char* consumed), void* context) {
    if (!reserveDecoderWorkspace(slot)) return {DecodeResult::noWorkspace, errno};
    Workspace& workspace = *workspaces[slot];
    const unsigned char* input = content;
    const unsigned char* const inputEnd = content + size;
    std::uint64_t offset = 0;
    DecodeOutcome outcome = {DecodeResult::done, 0};
    // The frames back to back, the last one ending with the entry.
    do {
        const unsigned char* frameEnd = nullptr;
        std::uint64_t contentBytes = 0;
        outcome = decodeFrame(sink, workspace, input, inputEnd, offset, shouldStop, released, context, &frameEnd,
                              &contentBytes);
        if (outcome.result != DecodeResult::done) break;
        if (!compressedFrameFits(offset, contentBytes, frameEnd != inputEnd)) outcome = {DecodeResult::damaged, 0};
        input = frameEnd;
        offset += contentBytes;
    } while (outcome.result == DecodeResult::done && input != inputEnd);
    // Every chunk handed over is written (or dropped after a stop) before
    // the caller closes the file.
    if (outcome.result != DecodeResult::done) {
        if (sink.drop != nullptr) sink.drop(sink.context);
        if (sink.reclaim != nullptr) (void)sink.reclaim(sink.context, workspace.round, workspace.round + sizeof workspace.round);
    }
    return outcome;
}

DecodeOutcome decodeEntryContent(int descriptor, const unsigned char* content, std::uint64_t size, int slot,
                                 bool (*shouldStop)(), void (*released)(void* context, const unsigned char* consumed),
                                 void* context) {
    const DecodedChunkSink sink = {writeInOrder, nullptr, nullptr, &descriptor};
    return decodeEntryChunks(sink, content, size, slot, shouldStop, released, context);
}

void releaseDecoderWorkspaces() {
    for (Workspace*& workspace : workspaces) {
        if (workspace == nullptr) continue;
        (void)munmap(workspace, sizeof(Workspace));
        workspace = nullptr;
    }
}

}  // namespace onefile
