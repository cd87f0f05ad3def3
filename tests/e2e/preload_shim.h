// Runs of a launcher with the preload shim (preload_shim.c), which makes
// chosen system calls fail.
#pragma once

#include <cstdlib>
#include <map>
#include <string>

#include "tests/support/run_process.h"

namespace onefile::e2e {

// Process options that preload the shim with `controls` (ONEFILE_SHIM_*
// variables and their values).
inline onefile::testing::ProcessOptions withPreloadShim(std::map<std::string, std::string> controls) {
    onefile::testing::ProcessOptions options;
    options.setEnvironment = std::move(controls);
    options.setEnvironment["LD_PRELOAD"] = ONEFILE_SHIM_PATH;
    if (ONEFILE_SANITIZED_BUILD) {
        // The sanitizer runtime wants to be loaded first; the shim must be,
        // to see the launcher's calls.
        const char* inherited = std::getenv("ASAN_OPTIONS");
        options.setEnvironment["ASAN_OPTIONS"] =
            std::string(inherited != nullptr ? inherited : "") + ":verify_asan_link_order=0";
    }
    return options;
}

}  // namespace onefile::e2e
