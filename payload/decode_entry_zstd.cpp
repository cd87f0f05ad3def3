// The decoder of the decoder stubs: zstd's streaming decoder on a fixed
// workspace in static storage per thread (its static-context API), so no
// heap is ever used.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <unistd.h>

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include "payload/entry_decoder.h"
#include "payload/extract_payload.h"

namespace onefile {

namespace {

// ZSTD_estimateDStreamSize(1 << 23) is 8,877,880 bytes with the library of
// this build; the room above it is checked when a context is made.
constexpr std::size_t kWorkspaceBytes = 9u << 20;

struct alignas(64) Slot {
    unsigned char workspace[kWorkspaceBytes];
    unsigned char output[kWriteChunkBytes];
    bool used;
};

Slot slots[kDecoderSlots];

bool writeAll(int descriptor, const unsigned char* data, std::size_t size, int* error) {
    while (size > 0) {
        ssize_t written = write(descriptor, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            *error = written < 0 ? errno : EIO;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

bool launcherHasDecoder() { return true; }

DecodeOutcome decodeEntryContent(int descriptor, const unsigned char* frame, std::uint64_t frameSize, int slotIndex,
                                 bool (*shouldStop)(), void (*released)(void* context, const unsigned char* consumed),
                                 void* context) {
    Slot& slot = slots[slotIndex];
    slot.used = true;
    ZSTD_DStream* stream = ZSTD_initStaticDStream(slot.workspace, sizeof slot.workspace);
    if (stream == nullptr ||
        ZSTD_isError(ZSTD_DCtx_setParameter(stream, ZSTD_d_windowLogMax, kDecoderWindowLog))) {
        return {DecodeResult::damaged, 0};
    }
    // The tool always writes a plain frame with its checksum and unpacked
    // size; the window is checked here too, since content smaller than the
    // output buffer is decoded in one pass that never looks at it.
    ZSTD_frameHeader header;
    std::size_t headerResult = ZSTD_getFrameHeader(&header, frame, frameSize);
    if (ZSTD_isError(headerResult) || headerResult != 0 || header.frameType != ZSTD_frame ||
        header.checksumFlag == 0 || header.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN ||
        header.windowSize > (1ull << kDecoderWindowLog)) {
        return {DecodeResult::damaged, 0};
    }
    unsigned long long expected = header.frameContentSize;
    ZSTD_inBuffer input = {frame, static_cast<std::size_t>(frameSize), 0};
    unsigned long long total = 0;
    for (;;) {
        if (shouldStop()) return {DecodeResult::stopped, 0};
        ZSTD_outBuffer output = {slot.output, sizeof slot.output, 0};
        std::size_t result = ZSTD_decompressStream(stream, &output, &input);
        if (ZSTD_isError(result)) return {DecodeResult::damaged, 0};
        total += output.pos;
        if (total > expected) return {DecodeResult::damaged, 0};
        int error = 0;
        if (output.pos > 0 && !writeAll(descriptor, slot.output, output.pos, &error)) {
            return {DecodeResult::writeFailed, error};
        }
        released(context, frame + input.pos);
        // The frame is whole, checksum included: the entry must end with it.
        if (result == 0) break;
        // Input used up in the middle of a frame: it was cut short.
        if (input.pos == input.size && output.pos < output.size) return {DecodeResult::damaged, 0};
    }
    if (input.pos != input.size || total != expected) return {DecodeResult::damaged, 0};
    return {DecodeResult::done, 0};
}

void releaseDecoderWorkspaces() {
    const std::uintptr_t pageMask = getauxval(AT_PAGESZ) - 1;
    for (Slot& slot : slots) {
        if (!slot.used) continue;
        // The whole pages inside the slot; a page it shares with its
        // neighbour stays.
        std::uintptr_t start = (reinterpret_cast<std::uintptr_t>(&slot) + pageMask) & ~pageMask;
        std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(&slot + 1)) & ~pageMask;
        if (end > start) (void)madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
        slot.used = false;
    }
}

}  // namespace onefile
