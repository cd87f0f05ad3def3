#include "build/tool/block_writer.h"

#include "build/tool/tool_error.h"
#include "payload/payload_format.h"

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

std::string encodeLengthTrailer(std::uint64_t bodyBytes) {
    std::string trailer;
    appendLittleEndian(trailer, bodyBytes);
    return trailer;
}

}  // namespace

std::string encodeEntryHeader(const PayloadEntry& entry) {
    std::string header = entry.name;
    header.push_back('\0');
    header.push_back(static_cast<char>(entryFlags(entry)));
    if (entry.kind == EntryKind::link) {
        header += entry.linkText;
        header.push_back('\0');
    } else {
        appendLittleEndian(header, entry.size);
    }
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

void writeBlock(OutputStream& output, const std::vector<PayloadEntry>& entries, const ContentOpener& openContent) {
    const std::uint64_t start = output.position();
    output.write(std::span(kPayloadMagic));
    for (const PayloadEntry& entry : entries) {
        output.write(encodeEntryHeader(entry));
        if (entry.kind == EntryKind::file) {
            const FileDescriptor source = openContent(entry);
            output.copyFrom(source.get(), entry.sourcePath, entry.size);
        }
    }
    output.write(std::string_view(&kEndMark, 1));
    output.write(encodeLengthTrailer(output.position() - start));
}

}  // namespace onefile::tool
