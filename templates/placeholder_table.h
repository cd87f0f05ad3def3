// The one table of placeholder names and the routines that produce their
// values. Names compare whole and ignoring ASCII case.
#pragma once

#include <cstddef>

#include "templates/expand_template.h"

namespace onefile {

// A placeholder routine adds its value to the output and returns false for a
// failure that the scan passes on.
using PlaceholderRoutine = bool (*)(TemplateOutput& output);

struct Placeholder {
    const char* name;
    PlaceholderRoutine routine;
};

// The recognised names in their canonical upper-case spelling; the onefile
// tool checks templates against the same list.
inline constexpr const char* kPlaceholderNames[] = {
    "TEMP",    "PID",     "TIME_US",      "RANDOM",          "PROGRAM",
    "PROGRAM_BASE", "PROGRAM_DIR", "HOME", "CACHE_DIR",      "COMPANY",
    "PRODUCT", "VERSION", "FILE_VERSION", "PRODUCT_VERSION", "TIME",
    "UID",
};

// Longest name a scan collects; a longer one is unrecognised.
inline constexpr std::size_t kPlaceholderNameBytes = 1024;

// The table entry whose name equals `name` ignoring ASCII case, or nullptr.
const Placeholder* findPlaceholder(const char* name);

}  // namespace onefile
