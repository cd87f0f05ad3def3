// File contents the compression tests pack, and zstd frames made as the
// decoder takes them.
#pragma once

#include <zstd.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>

#include "tests/support/sample_contents.h"

namespace onefile::testing {

// A hundred numbered lines over and over: shrinks to almost nothing.
inline std::string repeatedText(std::size_t size) {
    std::string unit;
    for (int i = 0; i < 100; ++i) unit += "entry " + std::to_string(i) + ": a highly compressible line of text\n";
    std::string text;
    while (text.size() < size) text += unit;
    text.resize(size);
    return text;
}

// One frame with its checksum and the unpacked size in its header.
inline std::string frameOf(const std::string& content) {
    ZSTD_CCtx* context = ZSTD_createCCtx();
    (void)ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
    std::string frame(ZSTD_compressBound(content.size()), '\0');
    const std::size_t size = ZSTD_compress2(context, frame.data(), frame.size(), content.data(), content.size());
    ZSTD_freeCCtx(context);
    if (ZSTD_isError(size)) throw std::runtime_error("frame not made");
    frame.resize(size);
    return frame;
}

}  // namespace onefile::testing
