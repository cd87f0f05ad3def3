// The decoding part of the decode floor (floor_launch built with
// ONEFILE_FLOOR_DECODE): compressed entries, their frames decoded by one
// thread per processor.
#pragma once

#include <cstdint>

// Creates `leaf` in `directory` and hands each frame of `content` (`size`
// bytes of zstd frames back to back) to the decoding threads, which write
// it at its offset.
void decodeFile(int directory, const char* leaf, const unsigned char* content, std::uint64_t size, bool executable);

// Returns once every frame handed over is written and its file closed.
void waitForDecoders();
