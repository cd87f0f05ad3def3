#include "tool/launcher_digest.h"

#include <algorithm>
#include <array>
#include <cstddef>

#include "tool/signature_area.h"
#include "tool/tool_error.h"

namespace onefile::tool {
namespace {

// Bytes from the start of the file up to the end of its program headers;
// 0 while `start` is too short to say.
std::uint64_t tablesEndOf(ByteSpan start) {
    if (start.size() < sizeof(Elf64_Ehdr)) return 0;
    const Elf64_Ehdr header = readElfHeader(start);
    return std::max<std::uint64_t>(sizeof(Elf64_Ehdr),
                                   header.e_phoff + std::uint64_t{header.e_phnum} * sizeof(Elf64_Phdr));
}

}  // namespace

LauncherDigester::LauncherDigester(std::uint64_t digestFieldOffset) : digestFieldOffset_(digestFieldOffset) {
    sha256_init(&context_);
}

bool LauncherDigester::learnRanges(ByteSpan start) {
    const std::uint64_t tablesEnd = tablesEndOf(start);
    if (tablesEnd == 0 || start.size() < tablesEnd) return false;
    const Elf64_Ehdr header = readElfHeader(start);
    std::vector<ByteRange> ranges;
    for (const Elf64_Phdr& segment : readProgramHeaders(start, header)) {
        if (segment.p_type != PT_LOAD || segment.p_filesz == 0) continue;
        if (segment.p_offset > UINT64_MAX - segment.p_filesz)
            throw FormatError("a loadable segment lies outside the file");
        ranges.push_back({segment.p_offset, segment.p_offset + segment.p_filesz});
    }
    std::sort(ranges.begin(), ranges.end(), [](const ByteRange& a, const ByteRange& b) { return a.begin < b.begin; });
    for (const ByteRange& range : ranges) {
        if (!loaded_.empty() && range.begin <= loaded_.back().end) loaded_.back().end = std::max(loaded_.back().end, range.end);
        else loaded_.push_back(range);
    }
    const std::uint64_t signatureAreaOffset = digestFieldOffset_ - kDigestFieldOffset + kSignatureAreaOffset;
    zeroed_ = {
        {offsetof(Elf64_Ehdr, e_shoff), offsetof(Elf64_Ehdr, e_shoff) + sizeof(Elf64_Off)},
        {offsetof(Elf64_Ehdr, e_shnum), offsetof(Elf64_Ehdr, e_shstrndx) + sizeof(Elf64_Half)},
        {digestFieldOffset_, digestFieldOffset_ + kLauncherDigestBytes},
        {signatureAreaOffset, signatureAreaOffset + kSignatureAreaBytes},
    };
    std::sort(zeroed_.begin(), zeroed_.end(), [](const ByteRange& a, const ByteRange& b) { return a.begin < b.begin; });
    rangesKnown_ = true;
    return true;
}

void LauncherDigester::add(ByteSpan bytes) {
    if (!rangesKnown_) {
        // A first piece that holds the ELF tables is read where it is; else
        // the start is held, no more of it than the tables need.
        if (head_.empty() && learnRanges(bytes)) {
            hashPiece(bytes.data(), 0, bytes.size());
            position_ = bytes.size();
            return;
        }
        while (!bytes.empty() && !rangesKnown_) {
            const std::uint64_t tablesEnd = tablesEndOf(head_);
            const std::uint64_t wanted = tablesEnd == 0 ? sizeof(Elf64_Ehdr) - head_.size() : tablesEnd - head_.size();
            const std::size_t taken = static_cast<std::size_t>(std::min<std::uint64_t>(wanted, bytes.size()));
            head_.insert(head_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(taken));
            bytes = bytes.subspan(taken);
            (void)learnRanges(head_);
        }
        if (!rangesKnown_) return;
        if (!head_.empty()) {
            hashPiece(head_.data(), 0, head_.size());
            position_ = head_.size();
            head_.clear();
            head_.shrink_to_fit();
        }
    }
    hashPiece(bytes.data(), position_, bytes.size());
    position_ += bytes.size();
}

void LauncherDigester::hashZeros(std::uint64_t count) {
    static constexpr std::array<unsigned char, 64> kZeros{};
    while (count > 0) {
        const std::uint64_t piece = std::min<std::uint64_t>(count, kZeros.size());
        sha256_update(&context_, static_cast<std::size_t>(piece), kZeros.data());
        count -= piece;
    }
}

void LauncherDigester::hashPiece(const unsigned char* bytes, std::uint64_t begin, std::uint64_t size) {
    const std::uint64_t end = begin + size;
    for (const ByteRange& range : loaded_) {
        std::uint64_t position = std::max(range.begin, begin);
        const std::uint64_t rangeEnd = std::min(range.end, end);
        if (position >= rangeEnd) continue;
        for (const ByteRange& zero : zeroed_) {
            const std::uint64_t from = std::max(zero.begin, position);
            const std::uint64_t to = std::min(zero.end, rangeEnd);
            if (from >= to) continue;
            sha256_update(&context_, static_cast<std::size_t>(from - position), bytes + (position - begin));
            hashZeros(to - from);
            position = to;
        }
        // nettle takes size_t lengths; one call per piece keeps any size.
        sha256_update(&context_, static_cast<std::size_t>(rangeEnd - position), bytes + (position - begin));
    }
}

LauncherDigest LauncherDigester::finish() {
    if (!rangesKnown_) {
        // The file ends inside its ELF tables: the reader says how.
        const Elf64_Ehdr header = readElfHeader(head_);
        (void)readProgramHeaders(head_, header);
        throw FormatError("the file ends inside its program headers");
    }
    for (const ByteRange& range : loaded_) {
        if (range.end > position_) throw FormatError("a loadable segment lies outside the file");
    }
    LauncherDigest digest;
    sha256_digest(&context_, digest.size(), digest.data());
    return digest;
}

LauncherDigest computeLauncherDigest(ByteSpan launcher, std::uint64_t digestFieldOffset) {
    LauncherDigester digester(digestFieldOffset);
    digester.add(launcher);
    return digester.finish();
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
