#include "tool/embedded_stub.h"

extern "C" const unsigned char onefileEmbeddedStubX86_64Start[];
extern "C" const unsigned char onefileEmbeddedStubX86_64End[];
extern "C" const unsigned char onefileEmbeddedStubAarch64Start[];
extern "C" const unsigned char onefileEmbeddedStubAarch64End[];
extern "C" const unsigned char onefileEmbeddedDecoderStubX86_64Start[];
extern "C" const unsigned char onefileEmbeddedDecoderStubX86_64End[];
extern "C" const unsigned char onefileEmbeddedDecoderStubAarch64Start[];
extern "C" const unsigned char onefileEmbeddedDecoderStubAarch64End[];

namespace onefile::tool {

namespace {

ByteSpan spanBetween(const unsigned char* start, const unsigned char* end) {
    return {start, static_cast<std::size_t>(end - start)};
}

}  // namespace

ByteSpan getEmbeddedStub(Architecture architecture, StubKind kind) {
    bool decoder = kind == StubKind::decoder;
    if (architecture == Architecture::aarch64) {
        return decoder ? spanBetween(onefileEmbeddedDecoderStubAarch64Start, onefileEmbeddedDecoderStubAarch64End)
                       : spanBetween(onefileEmbeddedStubAarch64Start, onefileEmbeddedStubAarch64End);
    }
    return decoder ? spanBetween(onefileEmbeddedDecoderStubX86_64Start, onefileEmbeddedDecoderStubX86_64End)
                   : spanBetween(onefileEmbeddedStubX86_64Start, onefileEmbeddedStubX86_64End);
}

}  // namespace onefile::tool
