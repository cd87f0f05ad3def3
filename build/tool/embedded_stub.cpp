#include "build/tool/embedded_stub.h"

extern "C" const unsigned char onefileEmbeddedStubStart[];
extern "C" const unsigned char onefileEmbeddedStubEnd[];

namespace onefile::tool {

ByteSpan getEmbeddedStub() {
    return {onefileEmbeddedStubStart, static_cast<std::size_t>(onefileEmbeddedStubEnd - onefileEmbeddedStubStart)};
}

}  // namespace onefile::tool
