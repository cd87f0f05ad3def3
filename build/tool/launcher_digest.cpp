#include "build/tool/launcher_digest.h"

#include <nettle/sha2.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <vector>

#include "build/tool/tool_error.h"

namespace onefile::tool {
namespace {

struct ByteRange {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
};

// The file bytes of the loadable segments, sorted, overlaps merged.
std::vector<ByteRange> loadedRanges(ByteSpan launcher) {
    const Elf64_Ehdr header = readElfHeader(launcher);
    std::vector<ByteRange> ranges;
    for (const Elf64_Phdr& segment : readProgramHeaders(launcher, header)) {
        if (segment.p_type != PT_LOAD || segment.p_filesz == 0) continue;
        if (!spansInside(launcher, segment.p_offset, segment.p_filesz))
            throw FormatError("a loadable segment lies outside the file");
        ranges.push_back({segment.p_offset, segment.p_offset + segment.p_filesz});
    }
    std::sort(ranges.begin(), ranges.end(), [](const ByteRange& a, const ByteRange& b) { return a.begin < b.begin; });
    std::vector<ByteRange> merged;
    for (const ByteRange& range : ranges) {
        if (!merged.empty() && range.begin <= merged.back().end) merged.back().end = std::max(merged.back().end, range.end);
        else merged.push_back(range);
    }
    return merged;
}

class DigestHasher {
public:
    DigestHasher() { sha256_init(&context_); }

    void addBytes(const unsigned char* bytes, std::uint64_t count) {
        // nettle takes size_t lengths; one call per piece keeps any size.
        sha256_update(&context_, static_cast<std::size_t>(count), bytes);
    }

    void addZeros(std::uint64_t count) {
        static constexpr std::array<unsigned char, 64> kZeros{};
        for (; count > 0;) {
            const std::uint64_t piece = std::min<std::uint64_t>(count, kZeros.size());
            sha256_update(&context_, static_cast<std::size_t>(piece), kZeros.data());
            count -= piece;
        }
    }

    LauncherDigest finish() {
        LauncherDigest digest;
        sha256_digest(&context_, digest.size(), digest.data());
        return digest;
    }

private:
    sha256_ctx context_;
};

}  // namespace

LauncherDigest computeLauncherDigest(ByteSpan launcher, std::uint64_t digestFieldOffset) {
    const std::vector<ByteRange> loaded = loadedRanges(launcher);
    // Bytes hashed as zeros wherever they lie in a loaded range.
    std::vector<ByteRange> zeroed = {
        {offsetof(Elf64_Ehdr, e_shoff), offsetof(Elf64_Ehdr, e_shoff) + sizeof(Elf64_Off)},
        {offsetof(Elf64_Ehdr, e_shnum), offsetof(Elf64_Ehdr, e_shstrndx) + sizeof(Elf64_Half)},
        {digestFieldOffset, digestFieldOffset + kLauncherDigestBytes},
    };
    std::sort(zeroed.begin(), zeroed.end(), [](const ByteRange& a, const ByteRange& b) { return a.begin < b.begin; });

    DigestHasher hasher;
    for (const ByteRange& range : loaded) {
        std::uint64_t position = range.begin;
        for (const ByteRange& zero : zeroed) {
            const std::uint64_t from = std::max(zero.begin, position);
            const std::uint64_t to = std::min(zero.end, range.end);
            if (from >= to) continue;
            hasher.addBytes(launcher.data() + position, from - position);
            hasher.addZeros(to - from);
            position = to;
        }
        hasher.addBytes(launcher.data() + position, range.end - position);
    }
    return hasher.finish();
}

std::string formatDigest(const LauncherDigest& digest) {
    static constexpr char kHexDigits[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char byte : digest) {
        text.push_back(kHexDigits[byte >> 4]);
        text.push_back(kHexDigits[byte & 0xf]);
    }
    return text;
}

}  // namespace onefile::tool
