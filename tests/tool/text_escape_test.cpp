// How list and info print names and strings: one line per field, and JSON
// that is always valid.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tool/text_escape.h"

namespace onefile::testing {
namespace {

TEST(TextEscapeTest, EscapeFieldKeepsALineOneLine) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"plain name.txt", "plain name.txt"},
        {"a\tb\nc\\d", "a\\tb\\nc\\\\d"},
        {std::string("nul\0x", 5), "nul\\x00x"},
        {"\x01\x1f\x7f\r", "\\x01\\x1f\\x7f\\x0d"},
        {"quote\"'", "quote\"'"},
        {"\xc3\xa9t\xc3\xa9 \xff\xfe", "\xc3\xa9t\xc3\xa9 \xff\xfe"},  // other bytes as they are
        {"", ""},
    };
    for (const auto& [text, escaped] : cases) EXPECT_EQ(tool::escapeField(text), escaped) << text;
}

TEST(TextEscapeTest, JsonStringIsAlwaysValidJson) {
    const std::string replacement = "\\ufffd";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "\"\""},
        {"plain", "\"plain\""},
        {"say \"hi\" \\ /", "\"say \\\"hi\\\" \\\\ /\""},
        {"a\tb\nc", "\"a\\tb\\nc\""},
        {std::string("\0\x01\x1f\x7f\r", 5), "\"\\u0000\\u0001\\u001f\\u007f\\u000d\""},
        // Valid UTF-8 of two, three and four bytes, and the highest code
        // point, as it is.
        {"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf",
         "\"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf\""},
        // Each byte that is not part of valid UTF-8 becomes U+FFFD.
        {"a\xff" "b", "\"a" + replacement + "b\""},
        {"\x80", "\"" + replacement + "\""},
        {"cut \xc3", "\"cut " + replacement + "\""},
        {"\xe2\x82", "\"" + replacement + replacement + "\""},
        {"\xc3(", "\"" + replacement + "(\""},
        {"\xc0\xaf", "\"" + replacement + replacement + "\""},                                // overlong
        {"\xe0\x80\xaf", "\"" + replacement + replacement + replacement + "\""},              // overlong
        {"\xed\xa0\x80", "\"" + replacement + replacement + replacement + "\""},              // a surrogate
        {"\xf4\x90\x80\x80", "\"" + replacement + replacement + replacement + replacement + "\""},  // past U+10FFFF
        {"\xf5\x80\x80\x80", "\"" + replacement + replacement + replacement + replacement + "\""},
        {"\xc3\xa9\xa9", "\"\xc3\xa9" + replacement + "\""},
    };
    for (const auto& [text, json] : cases) EXPECT_EQ(tool::jsonString(text), json) << tool::escapeField(text);
}

}  // namespace
}  // namespace onefile::testing
