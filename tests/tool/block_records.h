// Blocks spelled out byte by byte, independent of the tool's block writer,
// for the tests of the block format.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "build/tool/block_reader.h"

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

}  // namespace onefile::testing
