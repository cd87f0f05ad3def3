// The random token of {RANDOM}: 8 random bytes as 11 base64url characters.
#pragma once

#include <cstddef>
#include <cstdint>

namespace onefile {

inline constexpr std::size_t kRandomBytes = 8;
inline constexpr std::size_t kRandomTokenLength = 11;

// Writes a fresh token and its NUL into token (12 bytes).
void makeRandomToken(char token[kRandomTokenLength + 1]);

// Fills bytes from the kernel: /dev/urandom, then the getrandom system call.
// Returns false when neither gave all 8 bytes.
bool readKernelRandomBytes(unsigned char bytes[kRandomBytes]);

// The fallback generator: eight steps of xorshift32 from seed (0 becomes 1);
// byte i is the low byte of the state after step i + 1.
void generateFallbackBytes(std::uint32_t seed, unsigned char bytes[kRandomBytes]);

// base64url without padding of the 8 bytes, most significant bit first.
void encodeRandomToken(const unsigned char bytes[kRandomBytes],
                       char token[kRandomTokenLength + 1]);

}  // namespace onefile
