#include "tool/signature_area.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "format/payload_format.h"
#include "tool/config_area.h"
#include "tool/tool_error.h"

namespace onefile::tool {

std::optional<SshSignature> readSignatureArea(ByteSpan section) {
    if (recognizeConfigArea(section) == ConfigLayout::first) return std::nullopt;
    const ByteSpan area = section.subspan(kSignatureAreaOffset, kSignatureAreaBytes);
    const std::uint64_t length = decodeBlockNumber(area.data());
    const ByteSpan room = area.subspan(kSignatureLengthBytes);
    if (length > room.size())
        throw FormatError("the signature area states a signature of " + std::to_string(length) +
                          " bytes, more than its " + std::to_string(room.size()));
    const ByteSpan rest = room.subspan(static_cast<std::size_t>(length));
    if (std::any_of(rest.begin(), rest.end(), [](unsigned char byte) { return byte != 0; }))
        throw FormatError("the signature area holds bytes after its signature");
    if (length == 0) return std::nullopt;
    try {
        return parseSshSignature(room.first(static_cast<std::size_t>(length)));
    } catch (const FormatError& error) {
        throw FormatError(std::string("the signature area is damaged: ") + error.what());
    }
}

std::vector<unsigned char> makeSignatureArea(ByteSpan blob) {
    if (blob.size() > kSignatureBytes)
        throw FormatError("the signature takes " + std::to_string(blob.size()) + " bytes, and a launcher has room for " +
                          std::to_string(kSignatureBytes));
    std::vector<unsigned char> area(kSignatureAreaBytes, 0);
    std::uint64_t length = blob.size();
    for (std::size_t i = 0; i < kSignatureLengthBytes; ++i, length >>= 8) area[i] = static_cast<unsigned char>(length);
    std::copy(blob.begin(), blob.end(), area.begin() + kSignatureLengthBytes);
    return area;
}

}  // namespace onefile::tool
