// Contents the tests pack: bytes no compressor can shrink, and text that
// compresses to about half; the same for the same seed.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>

namespace onefile::testing {

// Bytes no compressor can shrink.
inline std::string randomBytes(std::size_t size, std::uint64_t seed) {
    std::mt19937_64 generator(seed);
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; i += 8) {
        const std::uint64_t word = generator();
        std::memcpy(bytes.data() + i, &word, std::min<std::size_t>(8, size - i));
    }
    return bytes;
}

// Random hexadecimal digits, four bits to a byte: compresses to about half,
// so a large content still makes a large block.
inline std::string randomHexDigits(std::size_t size, std::uint64_t seed) {
    std::mt19937_64 generator(seed);
    std::string digits(size, '0');
    for (char& digit : digits) digit = "0123456789abcdef"[generator() & 0xF];
    return digits;
}

}  // namespace onefile::testing
