// Every environment variable a template expansion reads or writes; tests and
// fuzz targets set, save and restore exactly these.
#pragma once

namespace onefile::testing {

inline constexpr const char* kTemplateVariables[] = {
    "TMPDIR",
    "HOME",
    "XDG_CACHE_HOME",
    "TAVMIR_ONEFILE_PARENT",
    "TAVMIR_ONEFILE_TIME_US",
    "TAVMIR_ONEFILE_RANDOM",
    "TAVMIR_ONEFILE_START",
};

}  // namespace onefile::testing
