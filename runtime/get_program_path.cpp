#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "runtime/error_text.h"
#include "runtime/fatal_stops.h"
#include "runtime/launcher_state.h"
#include "runtime/program_path.h"

namespace onefile {

namespace {

constexpr char kProgramLink[] = "/proc/self/exe";

// Text of the /proc/self/exe link; empty until read. Shared with the child
// through fork, so the child never reads the link again.
char linkBuffer[kPathBufferBytes];

// Copy of the link text that getProgramPath hands out.
char programPathCache[kProgramPathBytes];

}  // namespace

const char* readProgramLink() {
    if (linkBuffer[0] != '\0') return linkBuffer;
    memset(linkBuffer, 0, sizeof linkBuffer);
    // Reading up to the whole buffer tells a link text of 4095 bytes, which
    // fits with its NUL, from a longer one, which would otherwise be cut.
    ssize_t length = readlink(kProgramLink, linkBuffer, sizeof linkBuffer);
    if (length < 0) {
        reportSystemError(kProgramLink, errno);
        exit(kFatalExitStatus);
    }
    if (static_cast<std::size_t>(length) >= sizeof linkBuffer) {
        memset(linkBuffer, 0, sizeof linkBuffer);
        stopOnBrokenLimit("program path");
    }
    return linkBuffer;
}

const char* getProgramPath() {
    if (programPathCache[0] != '\0') return programPathCache;
    copyStringBounded(programPathCache, readProgramLink(), sizeof programPathCache,
                      "program path");
    return programPathCache;
}

}  // namespace onefile
