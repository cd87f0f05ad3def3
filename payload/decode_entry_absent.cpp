// The plain stubs carry no decoder: a compressed entry is damage there.
#include <cerrno>

#include "payload/entry_decoder.h"

namespace onefile {

bool launcherHasDecoder() { return false; }

std::size_t decoderWorkspaceBytes() { return 0; }

bool reserveDecoderWorkspace(int) {
    errno = ENOSYS;
    return false;
}

bool readUnpackedSize(const unsigned char*, std::uint64_t, std::uint64_t*) { return false; }

bool measureFrame(const unsigned char*, std::uint64_t, std::uint64_t*, std::uint64_t*) { return false; }

bool measureFrames(const unsigned char*, std::uint64_t, std::uint64_t*, FrameVisitor, void*) { return false; }

DecodeOutcome decodeEntryContent(int, const unsigned char*, std::uint64_t, int, bool (*)(),
                                 void (*)(void*, const unsigned char*), void*) {
    return {DecodeResult::damaged, 0};
}

DecodeOutcome decodeEntryChunks(const DecodedChunkSink&, const unsigned char*, std::uint64_t, int, bool (*)(),
                                void (*)(void*, const unsigned char*), void*) {
    return {DecodeResult::damaged, 0};
}

void releaseDecoderWorkspaces() {}

}  // namespace onefile
