// Blocks spelled out byte by byte, independent of the tool's block writer,
// for the tests of the block format; and the entries that writer is given
// and the bytes it writes of them.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/file_helpers.h"
#include "tool/block_reader.h"
#include "tool/block_writer.h"
#include "tool/output_stream.h"
#include "tool/payload_entry.h"

namespace onefile::testing {

inline std::string littleEndian(std::uint64_t value) {
    std::string bytes;
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
    return bytes;
}

inline std::string fileRecord(const std::string& name, unsigned char flags, const std::string& content) {
    return name + '\0' + static_cast<char>(flags) + littleEndian(content.size()) + content;
}

inline std::string linkRecord(const std::string& name, unsigned char flags, const std::string& text) {
    return name + '\0' + static_cast<char>(flags) + text + '\0';
}

// Magic, the records, the end mark and the length trailer.
inline std::string wholeBlock(const std::string& records) {
    const std::string body = "ZQX" + records + '\0';
    return body + littleEndian(body.size());
}

inline std::vector<tool::BlockEntryInfo> read(const std::string& bytes) {
    return tool::readBlock(std::span(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
}

// A file entry whose content is first written to the file `source`.
inline tool::PayloadEntry fileEntry(const std::string& name, const std::string& content, bool executable,
                                    const std::string& source) {
    writeFile(source, content);
    tool::PayloadEntry entry;
    entry.name = name;
    entry.executable = executable;
    entry.size = content.size();
    entry.sourcePath = source;
    return entry;
}

inline tool::PayloadEntry linkEntry(const std::string& name, const std::string& text) {
    tool::PayloadEntry entry;
    entry.name = name;
    entry.kind = tool::EntryKind::link;
    entry.linkText = text;
    return entry;
}

// What the block writer writes of `entries` (compressed at `level`, or not)
// to a new file at `path` behind `leading` bytes, read back without them.
// Each content is read from its entry's source.
inline std::string writtenBlock(const std::string& path, const std::vector<tool::PayloadEntry>& entries,
                                const std::string& leading = "", std::optional<int> level = std::nullopt) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("open " + path);
    {
        tool::OutputStream output(fd, path);
        output.write(leading);
        tool::writeBlock(
            output, entries,
            [](const tool::PayloadEntry& entry) {
                tool::FileDescriptor source(::open(entry.sourcePath.c_str(), O_RDONLY | O_CLOEXEC));
                if (!source.valid()) throw std::runtime_error("open " + entry.sourcePath);
                return source;
            },
            level);
        output.flush();
    }
    ::close(fd);
    return readFile(path).substr(leading.size());
}

}  // namespace onefile::testing
