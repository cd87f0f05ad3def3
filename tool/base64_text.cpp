#include "tool/base64_text.h"

#include <nettle/base64.h>

namespace onefile::tool {

std::string encodeBase64(ByteSpan bytes) {
    std::string text(BASE64_ENCODE_RAW_LENGTH(bytes.size()), '\0');
    base64_encode_raw(text.data(), bytes.size(), bytes.data());
    return text;
}

std::optional<std::vector<unsigned char>> decodeBase64(std::string_view text) {
    std::vector<unsigned char> bytes(BASE64_DECODE_LENGTH(text.size()) + 1);
    base64_decode_ctx context;
    base64_decode_init(&context);
    std::size_t length = bytes.size();
    if (base64_decode_update(&context, &length, bytes.data(), text.size(), text.data()) != 1 ||
        base64_decode_final(&context) != 1)
        return std::nullopt;
    bytes.resize(length);
    return bytes;
}

}  // namespace onefile::tool
