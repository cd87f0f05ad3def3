// How the tool prints names, link texts and strings of a launcher, whatever
// bytes they hold.
#pragma once

#include <string>
#include <string_view>

namespace onefile::tool {

// One field of a line: a tab, a newline, a backslash and other control
// characters become \t, \n, \\ and \xHH, so a line stays one line.
std::string escapeField(std::string_view text);

// A JSON string literal, quotes included. Valid UTF-8 is kept as it is;
// control characters are escaped, and a byte that is not part of valid UTF-8
// becomes U+FFFD, so the output is always valid JSON.
std::string jsonString(std::string_view text);

}  // namespace onefile::tool
