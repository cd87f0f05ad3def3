// Reading the SSH wire encoding of keys, certificates and signatures: a
// string is a big-endian u32 length and that many bytes. Everything is read
// within the bytes given; what lies outside throws FormatError.
#pragma once

#include <cstdint>
#include <string>

#include "tool/elf_reader.h"

namespace onefile::tool {

class SshWireReader {
public:
    // `what` names the bytes in messages ("the signature", "the key").
    SshWireReader(ByteSpan bytes, std::string what) : bytes_(bytes), what_(std::move(what)) {}

    std::uint32_t readU32();
    std::uint64_t readU64();
    ByteSpan readString();
    std::string readText() {
        const ByteSpan text = readString();
        return {reinterpret_cast<const char*>(text.data()), text.size()};
    }
    // `count` raw bytes.
    ByteSpan readBytes(std::size_t count);

    bool atEnd() const { return position_ == bytes_.size(); }
    std::size_t position() const { return position_; }
    // Throws unless every byte was read.
    void requireEnd() const;

private:
    ByteSpan bytes_;
    std::string what_;
    std::size_t position_ = 0;
};

// Appends `bytes` as an SSH string.
void appendSshString(std::string& out, std::string_view bytes);

}  // namespace onefile::tool
