#include <cstdio>
#include <cstring>
#include <sys/statvfs.h>

#include "format/payload_format.h"
#include "payload/entry_decoder.h"
#include "payload/extract_payload.h"
#include "payload/placement_check.h"
#include "runtime/skipped_places.h"

namespace onefile {

namespace {

// What the block asks of a file system with blocks of `blockBytes`.
struct BlockNeeds {
    std::uint64_t bytes;
    std::uint64_t files;
};

// Adds `size` rounded up to a multiple of `unit` to *total; false when
// that does not fit 64 bits.
bool addRoundedUp(std::uint64_t* total, std::uint64_t size, std::uint64_t unit) {
    std::uint64_t rounded = size / unit * unit;
    if (rounded != size && !addBlockSizes(&rounded, unit)) return false;
    return addBlockSizes(total, rounded);
}

// How many directories the name `name` adds to those the name before it
// (`previous`) needed: the levels of its path below the levels both share.
// Exact for a block written in tree order, as the tool writes it; a block in
// another order only counts some directories twice.
std::uint64_t countNewDirectories(const char* name, const char* previous) {
    std::size_t shared = 0;
    for (std::size_t i = 0; name[i] != '\0' && name[i] == previous[i]; ++i) {
        if (name[i] == '/') shared = i + 1;
    }
    std::uint64_t count = 0;
    for (const char* c = name + shared; *c != '\0'; ++c) count += *c == '/';
    return count;
}

// Reads the text at *cursor (at most one name's bytes, before `end`) and
// moves past its NUL; nullptr when it does not end in time.
const char* takeText(const unsigned char** cursor, const unsigned char* end) {
    std::size_t left = static_cast<std::size_t>(end - *cursor);
    const void* nul = memchr(*cursor, '\0', left < kNameBufferBytes ? left : kNameBufferBytes);
    if (nul == nullptr) return nullptr;
    const char* text = reinterpret_cast<const char*>(*cursor);
    *cursor = static_cast<const unsigned char*>(nul) + 1;
    return text;
}

enum class Measurement { done, unreadable, beyondCounting };

// Measures the block: unreadable when it cannot be read to its end mark,
// beyondCounting when what it needs adds up to more than 64 bits count.
Measurement measureBlock(const unsigned char* block, const unsigned char* end, std::uint64_t blockBytes,
                         BlockNeeds* needs) {
    *needs = {0, 0};
    const unsigned char* cursor = block + kPayloadMagicBytes;
    const char* previous = "";
    for (;;) {
        const char* name = takeText(&cursor, end);
        if (name == nullptr) return Measurement::unreadable;
        if (name[0] == '\0') return Measurement::done;
        // A name of fewer than 1024 bytes has fewer than 512 levels, so the
        // product of a file system's block size and the count stays small.
        std::uint64_t directories = countNewDirectories(name, previous);
        needs->files += 1 + directories;
        if (!addBlockSizes(&needs->bytes, directories * blockBytes)) return Measurement::beyondCounting;
        previous = name;
        if (cursor >= end) return Measurement::unreadable;
        std::uint8_t flags = *cursor++;
        if (flags & kEntryFlagLink) {
            if (takeText(&cursor, end) == nullptr) return Measurement::unreadable;
            if (!addBlockSizes(&needs->bytes, blockBytes)) return Measurement::beyondCounting;
            continue;
        }
        if (static_cast<std::size_t>(end - cursor) < kContentSizeBytes) return Measurement::unreadable;
        std::uint64_t size = decodeBlockNumber(cursor);
        cursor += kContentSizeBytes;
        if (size > static_cast<std::uint64_t>(end - cursor)) return Measurement::unreadable;
        std::uint64_t unpacked = size;
        if ((flags & kEntryFlagCompressed) && !measureFrames(cursor, size, &unpacked)) return Measurement::unreadable;
        if (!addRoundedUp(&needs->bytes, unpacked, blockBytes)) return Measurement::beyondCounting;
        cursor += size;
    }
}

struct Unit {
    const char* name;
    std::uint64_t bytes;
};

// Decimal units, largest first.
constexpr Unit kUnits[] = {{"GB", 1000000000}, {"MB", 1000000}, {"kB", 1000}, {"bytes", 1}};

// The largest unit in which the smaller figure (or the larger, when the
// smaller is zero) still has two digits.
const Unit& chooseUnit(std::uint64_t needed, std::uint64_t available) {
    std::uint64_t basis = available != 0 && available < needed ? available : needed;
    for (const Unit& unit : kUnits) {
        if (basis / unit.bytes >= 10) return unit;
    }
    return kUnits[sizeof kUnits / sizeof kUnits[0] - 1];
}

// "the application needs N MB, M MB are free": the need rounded up and the
// free room rounded down, so the figures never look as if it fitted.
void describeNeed(const Placement& placement, char* text, std::size_t bytes) {
    if (placement.verdict == PlacementVerdict::noFiles) {
        snprintf(text, bytes, "the application needs %llu files, %llu are free",
                 static_cast<unsigned long long>(placement.needed), static_cast<unsigned long long>(placement.available));
        return;
    }
    const Unit& unit = chooseUnit(placement.needed, placement.available);
    snprintf(text, bytes, "the application needs %llu %s, %llu %s are free",
             static_cast<unsigned long long>((placement.needed + unit.bytes - 1) / unit.bytes), unit.name,
             static_cast<unsigned long long>(placement.available / unit.bytes), unit.name);
}

}  // namespace

Placement examinePlacement(int directory, bool needsRoom, const unsigned char* block, const unsigned char* end) {
    struct statvfs fileSystem;
    if (fstatvfs(directory, &fileSystem) != 0) return {PlacementVerdict::fits, 0, 0};
    if (fileSystem.f_flag & ST_NOEXEC) return {PlacementVerdict::noexec, 0, 0};
    if (!needsRoom) return {PlacementVerdict::fits, 0, 0};
    std::uint64_t blockBytes = fileSystem.f_frsize != 0 ? fileSystem.f_frsize : fileSystem.f_bsize;
    if (blockBytes == 0) blockBytes = 1;
    BlockNeeds needs;
    Measurement measurement = measureBlock(block, end, blockBytes, &needs);
    if (measurement == Measurement::beyondCounting) stopOnDamagedBlock();
    if (measurement == Measurement::unreadable) return {PlacementVerdict::fits, 0, 0};
    std::uint64_t freeBytes = static_cast<std::uint64_t>(fileSystem.f_bavail) * blockBytes;
    if (needs.bytes > freeBytes) return {PlacementVerdict::noSpace, needs.bytes, freeBytes};
    // A file system that does not count its files reports none at all.
    if (fileSystem.f_files != 0 && needs.files > fileSystem.f_favail) {
        return {PlacementVerdict::noFiles, needs.files, fileSystem.f_favail};
    }
    return {PlacementVerdict::fits, 0, 0};
}

void describePlacement(const Placement& placement, char* text, std::size_t bytes) {
    if (placement.verdict == PlacementVerdict::noexec) {
        snprintf(text, bytes, "mounted noexec");
        return;
    }
    char need[128];
    describeNeed(placement, need, sizeof need);
    snprintf(text, bytes, "not enough space: %s", need);
}

void reportUnfitPlacement(const Placement& placement, const char* path) {
    reportSkippedPlaces();
    // What moves the place: the variable its template starts with, or the
    // template itself, which only packing can change.
    const char* variable = describePlaceVariable();
    char remedy[192];
    const char* wanted = placement.verdict == PlacementVerdict::noexec ? "a directory that allows them" : "a place with more room";
    if (variable != nullptr) {
        snprintf(remedy, sizeof remedy, "set %s to %s", variable, wanted);
    } else {
        snprintf(remedy, sizeof remedy, "pack the launcher with a --template that names %s", wanted);
    }
    if (placement.verdict == PlacementVerdict::noexec) {
        fprintf(stderr, "Error, '%s' is on a file system mounted noexec, where programs cannot run; %s.\n", path,
                remedy);
    } else {
        char need[128];
        describeNeed(placement, need, sizeof need);
        fprintf(stderr, "Error, not enough space in '%s': %s; %s.\n", path, need, remedy);
    }
}

}  // namespace onefile
