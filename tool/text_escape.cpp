#include "tool/text_escape.h"

#include <cstdio>

namespace onefile::tool {
namespace {

std::string hexEscape(const char* format, unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// Length of the valid UTF-8 sequence that starts at `i`, or 0.
std::size_t utf8SequenceLength(std::string_view text, std::size_t i) {
    const auto byte = [&text](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(i);
    std::size_t length;
    unsigned minimum;
    unsigned codePoint;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2, minimum = 0x80, codePoint = lead & 0x1fu;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3, minimum = 0x800, codePoint = lead & 0x0fu;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4, minimum = 0x10000, codePoint = lead & 0x07u;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xc0u) != 0x80u) return 0;
        codePoint = (codePoint << 6) | (byte(i + k) & 0x3fu);
    }
    // Overlong forms, surrogates and values beyond U+10FFFF are not UTF-8.
    if (codePoint < minimum || (codePoint >= 0xd800 && codePoint <= 0xdfff) || codePoint > 0x10ffff) return 0;
    return length;
}

}  // namespace

std::string escapeField(std::string_view text) {
    std::string escaped;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\t') escaped += "\\t";
        else if (c == '\n') escaped += "\\n";
        else if (c == '\\') escaped += "\\\\";
        else if (byte < 0x20 || byte == 0x7f) escaped += hexEscape("\\x%02x", byte);
        else escaped.push_back(c);
    }
    return escaped;
}

std::string jsonString(std::string_view text) {
    std::string json = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x80) {
            const std::size_t length = utf8SequenceLength(text, i);
            if (length == 0) {
                json += "\\ufffd";
                ++i;
            } else {
                json.append(text.substr(i, length));
                i += length;
            }
            continue;
        }
        if (byte == '"') json += "\\\"";
        else if (byte == '\\') json += "\\\\";
        else if (byte == '\n') json += "\\n";
        else if (byte == '\t') json += "\\t";
        else if (byte < 0x20 || byte == 0x7f) json += hexEscape("\\u%04x", byte);
        else json.push_back(static_cast<char>(byte));
        ++i;
    }
    return json + "\"";
}

}  // namespace onefile::tool
