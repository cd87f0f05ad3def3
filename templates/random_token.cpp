#include "templates/random_token.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>
#if defined(__x86_64__)
#include <x86intrin.h>
#endif

#include <cerrno>

namespace onefile {

namespace {

// base64url (RFC 4648, section 5): no "/", ".", "{" or "}", so a token is
// safe inside a path and inside a template.
constexpr char kTokenAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

constexpr unsigned kBitsPerCharacter = 6;
constexpr std::uint64_t kCharacterMask = (1u << kBitsPerCharacter) - 1;
static_assert(sizeof kTokenAlphabet - 1 == kCharacterMask + 1);
constexpr unsigned kBitsPerByte = 8;
constexpr unsigned kTokenBits = kRandomBytes * kBitsPerByte;
static_assert(kTokenBits == 64, "the bytes are gathered in one 64-bit word");
// The eleventh character holds the last 4 bits, followed by two zero bits.
constexpr unsigned kLastCharacterPadding = kRandomTokenLength * kBitsPerCharacter - kTokenBits;

constexpr std::uint32_t lowHalf(std::uint64_t value) { return static_cast<std::uint32_t>(value); }
constexpr std::uint32_t highHalf(std::uint64_t value) {
    return static_cast<std::uint32_t>(value >> 32);
}

// The seed mixes the time-stamp counter with where the stack lies, which
// address-space randomisation varies between runs.
// The processor's free-running counter: the time-stamp counter on x86-64,
// the virtual counter on aarch64.
std::uint64_t readCycleCounter() {
#if defined(__x86_64__)
    return __rdtsc();
#elif defined(__aarch64__)
    std::uint64_t counter;
    asm volatile("mrs %0, cntvct_el0" : "=r"(counter));
    return counter;
#else
#error "the launcher is built for x86-64 and aarch64"
#endif
}

std::uint32_t makeFallbackSeed(const void* stackVariable) {
    const std::uint64_t counter = readCycleCounter();
    const std::uint64_t address = reinterpret_cast<std::uintptr_t>(stackVariable);
    return lowHalf(counter) ^ highHalf(counter) ^ lowHalf(address) ^ highHalf(address);
}

}  // namespace

bool readKernelRandomBytes(unsigned char bytes[kRandomBytes]) {
    const int descriptor = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (descriptor >= 0) {
        // One read and no retry: a short read is thrown away as a whole.
        const ssize_t received = read(descriptor, bytes, kRandomBytes);
        (void)close(descriptor);
        if (received == static_cast<ssize_t>(kRandomBytes)) return true;
    }
    // Without /dev/urandom (a chroot or a sandbox without /dev) the kernel
    // still serves the bytes directly. GRND_NONBLOCK: a pool that is not yet
    // initialised must not stall the launcher; the fallback takes over.
    ssize_t received;
    do {
        received = getrandom(bytes, kRandomBytes, GRND_NONBLOCK);
    } while (received < 0 && errno == EINTR);
    return received == static_cast<ssize_t>(kRandomBytes);
}

void generateFallbackBytes(std::uint32_t seed, unsigned char bytes[kRandomBytes]) {
    // xorshift32 never leaves the state 0, so 0 is no usable seed.
    std::uint32_t state = seed != 0 ? seed : 1;
    for (std::size_t index = 0; index < kRandomBytes; ++index) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[index] = static_cast<unsigned char>(state);
    }
}

void encodeRandomToken(const unsigned char bytes[kRandomBytes],
                       char token[kRandomTokenLength + 1]) {
    std::uint64_t bits = 0;
    for (std::size_t index = 0; index < kRandomBytes; ++index) {
        bits = (bits << kBitsPerByte) | bytes[index];
    }
    // Cut into 6-bit groups, the most significant first; the last group is
    // short and is filled up with zero bits on the right.
    constexpr std::size_t kWholeGroups = kRandomTokenLength - 1;
    for (std::size_t index = 0; index < kWholeGroups; ++index) {
        const unsigned shift = kTokenBits - (index + 1) * kBitsPerCharacter;
        token[index] = kTokenAlphabet[(bits >> shift) & kCharacterMask];
    }
    token[kWholeGroups] = kTokenAlphabet[(bits << kLastCharacterPadding) & kCharacterMask];
    token[kRandomTokenLength] = '\0';
}

void makeRandomToken(char token[kRandomTokenLength + 1]) {
    unsigned char bytes[kRandomBytes];
    if (!readKernelRandomBytes(bytes)) generateFallbackBytes(makeFallbackSeed(&bytes), bytes);
    encodeRandomToken(bytes, token);
}

}  // namespace onefile
