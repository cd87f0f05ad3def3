// The digest a launcher records of itself: SHA-256 over every byte of the
// file that a loadable segment maps (code, configuration area and block),
// each byte once and in file order, with the digest field, the signature
// area behind it (so that signing changes no digest) and the ELF header's
// e_shoff, e_shnum and e_shstrndx taken as zero. strip and objcopy
// rewrite those three header fields, which lie inside the first loaded
// segment, and nothing else that is loaded; any change to what runs changes
// the digest.
#pragma once

#include <nettle/sha2.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tool/config_area.h"
#include "tool/elf_reader.h"

namespace onefile::tool {

// The digest of a launcher whose bytes come in file order, in pieces of
// any size: the program headers at its start say which bytes count.
class LauncherDigester {
public:
    // The launcher's digest field starts at file offset `digestFieldOffset`,
    // in a configuration area of the second layout, whose signature area
    // lies where that layout puts it.
    explicit LauncherDigester(std::uint64_t digestFieldOffset);

    // The next bytes of the file.
    void add(ByteSpan bytes);

    // The digest of the bytes added, which are the whole file. Throws
    // FormatError for a file too short for its ELF tables, or one that a
    // loadable segment reaches beyond.
    LauncherDigest finish();

private:
    struct ByteRange {
        std::uint64_t begin = 0;
        std::uint64_t end = 0;
    };

    // Takes the loaded ranges from the ELF tables at the file's `start`;
    // false while `start` is too short to hold them.
    bool learnRanges(ByteSpan start);
    // Hashes what the loaded ranges hold of the bytes at file offsets
    // [begin, begin + size).
    void hashPiece(const unsigned char* bytes, std::uint64_t begin, std::uint64_t size);
    void hashZeros(std::uint64_t count);

    std::uint64_t digestFieldOffset_;
    std::vector<unsigned char> head_;  // the file's start, until the ranges are known
    bool rangesKnown_ = false;
    std::vector<ByteRange> loaded_;
    std::vector<ByteRange> zeroed_;
    std::uint64_t position_ = 0;  // bytes added
    sha256_ctx context_;
};

// The digest of `launcher`, whose digest field starts at file offset
// `digestFieldOffset`. A segment that lies outside the file throws
// FormatError.
LauncherDigest computeLauncherDigest(ByteSpan launcher, std::uint64_t digestFieldOffset);

// Lower-case hexadecimal, 64 characters.
std::string formatDigest(const LauncherDigest& digest);

}  // namespace onefile::tool
