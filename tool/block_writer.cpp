#include "tool/block_writer.h"

#include <unistd.h>

#include <cerrno>
#include <memory>

#include "format/payload_format.h"
#include "tool/content_compressor.h"
#include "tool/tool_error.h"

namespace onefile::tool {
namespace {

inline constexpr char kEndMark = '\0';

void appendLittleEndian(std::string& bytes, std::uint64_t value) {
    for (std::size_t i = 0; i < 8; ++i) bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

std::uint8_t entryFlags(const PayloadEntry& entry) {
    std::uint8_t flags = 0;
    if (entry.executable) flags |= kEntryFlagExecutable;
    if (entry.kind == EntryKind::link) flags |= kEntryFlagLink;
    return flags;
}

// The header of a file entry whose content takes `storedSize` bytes.
std::string encodeFileHeader(const PayloadEntry& entry, std::uint8_t flags, std::uint64_t storedSize) {
    std::string header = entry.name;
    header.push_back('\0');
    header.push_back(static_cast<char>(flags));
    appendLittleEndian(header, storedSize);
    return header;
}

// Writes a file entry whose content is one frame or more, or, when they would
// not be smaller, the entry as it would be without compression. The header
// goes first with the size left open and is completed once the last frame ends.
void writeCompressedFile(OutputStream& output, const PayloadEntry& entry, const ContentOpener& openContent,
                         ContentCompressor& compressor) {
    const std::uint64_t entryStart = output.position();
    output.write(encodeFileHeader(entry, static_cast<std::uint8_t>(entryFlags(entry) | kEntryFlagCompressed), 0));
    const std::uint64_t frameStart = output.position();
    const FileDescriptor source = openContent(entry);
    if (compressor.appendFrames(output, source.get(), entry.sourcePath, entry.size)) {
        std::string frameBytes;
        appendLittleEndian(frameBytes, output.position() - frameStart);
        output.overwrite(frameStart - kContentSizeBytes,
                         std::span(reinterpret_cast<const unsigned char*>(frameBytes.data()), frameBytes.size()));
        return;
    }
    output.rewindTo(entryStart);
    output.write(encodeEntryHeader(entry));
    output.copyFrom(source.get(), entry.sourcePath, entry.size);
}

std::string encodeLengthTrailer(std::uint64_t bodyBytes) {
    std::string trailer;
    appendLittleEndian(trailer, bodyBytes);
    return trailer;
}

}  // namespace

std::string encodeEntryHeader(const PayloadEntry& entry) {
    if (entry.kind == EntryKind::file) return encodeFileHeader(entry, entryFlags(entry), entry.size);
    std::string header = entry.name;
    header.push_back('\0');
    header.push_back(static_cast<char>(entryFlags(entry)));
    header += entry.linkText;
    header.push_back('\0');
    return header;
}

std::uint64_t measureBlock(const std::vector<PayloadEntry>& entries) {
    std::uint64_t bytes = kPayloadMagicBytes + sizeof kEndMark + kLengthTrailerBytes;
    for (const PayloadEntry& entry : entries) {
        bytes += entry.name.size() + 2;  // NUL and flags
        bytes += entry.kind == EntryKind::link ? entry.linkText.size() + 1
                                               : kContentSizeBytes + entry.size;
    }
    return bytes;
}

void writeBlock(OutputStream& output, const std::vector<PayloadEntry>& entries, const ContentOpener& openContent,
                std::optional<int> compressionLevel, ProgressCounters* counters) {
    std::unique_ptr<ContentCompressor> compressor;
    if (compressionLevel) compressor = std::make_unique<ContentCompressor>(*compressionLevel);
    const std::uint64_t start = output.position();
    output.write(std::span(kPayloadMagic));
    for (const PayloadEntry& entry : entries) {
        if (compressor && entry.kind == EntryKind::file) {
            writeCompressedFile(output, entry, openContent, *compressor);
        } else {
            output.write(encodeEntryHeader(entry));
            if (entry.kind == EntryKind::file) {
                const FileDescriptor source = openContent(entry);
                output.copyFrom(source.get(), entry.sourcePath, entry.size);
            }
        }
        if (counters) {
            if (entry.kind == EntryKind::file) counters->bytes += entry.size;
            ++counters->entries;
        }
    }
    output.write(std::string_view(&kEndMark, 1));
    output.write(encodeLengthTrailer(output.position() - start));
}

}  // namespace onefile::tool
