#include "tool/quantity_text.h"

#include <cmath>
#include <cstdio>

namespace onefile::tool {
namespace {

std::string formatted(const char* format, double value) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

std::string describeCount(std::uint64_t count) {
    const std::string digits = std::to_string(count);
    std::string text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) text.push_back(',');
        text.push_back(digits[i]);
    }
    return text;
}

std::string describeBytes(std::uint64_t bytes) {
    if (bytes < 1000) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    static const char* const kUnits[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
    double value = static_cast<double>(bytes) / 1000;
    std::size_t unit = 0;
    // 999.96 kB would print as "1000.0 kB": the next unit takes it.
    while (value >= 999.95 && unit + 1 < std::size(kUnits)) {
        value /= 1000;
        ++unit;
    }
    return formatted("%.1f ", value) + kUnits[unit];
}

std::string describeSeconds(double seconds) {
    if (!(seconds >= 0)) seconds = 0;
    if (seconds < 59.95) return formatted("%.1f s", seconds);
    const auto whole = static_cast<std::uint64_t>(std::llround(seconds));
    char text[48];
    if (whole < 3600)
        std::snprintf(text, sizeof text, "%llu min %02llu s", static_cast<unsigned long long>(whole / 60),
                      static_cast<unsigned long long>(whole % 60));
    else
        std::snprintf(text, sizeof text, "%llu h %02llu min", static_cast<unsigned long long>(whole / 3600),
                      static_cast<unsigned long long>(whole % 3600 / 60));
    return text;
}

}  // namespace onefile::tool
