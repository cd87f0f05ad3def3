#include "tool/ssh_wire_reader.h"

#include "tool/tool_error.h"

namespace onefile::tool {

ByteSpan SshWireReader::readBytes(std::size_t count) {
    if (count > bytes_.size() - position_) throw FormatError(what_ + " ends inside a field");
    const ByteSpan field = bytes_.subspan(position_, count);
    position_ += count;
    return field;
}

std::uint32_t SshWireReader::readU32() {
    const ByteSpan field = readBytes(4);
    return std::uint32_t{field[0]} << 24 | std::uint32_t{field[1]} << 16 | std::uint32_t{field[2]} << 8 | field[3];
}

std::uint64_t SshWireReader::readU64() {
    const std::uint64_t high = readU32();
    return high << 32 | readU32();
}

ByteSpan SshWireReader::readString() { return readBytes(readU32()); }

void SshWireReader::requireEnd() const {
    if (!atEnd()) throw FormatError(what_ + " has bytes after its last field");
}

void appendSshString(std::string& out, std::string_view bytes) {
    const auto length = static_cast<std::uint32_t>(bytes.size());
    for (const int shift : {24, 16, 8, 0}) out.push_back(static_cast<char>((length >> shift) & 0xff));
    out.append(bytes);
}

}  // namespace onefile::tool
