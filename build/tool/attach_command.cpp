#include <sys/stat.h>

#include <cerrno>

#include "build/tool/commands.h"
#include "build/tool/launcher_build.h"
#include "build/tool/tool_error.h"

namespace onefile::tool {

int runAttach(const CommandLine& line) {
    const LauncherStrings strings = chooseLauncherStrings(line);
    const CheckedStub stub(line.stubPath, line.architecture);
    struct stat status {};
    if (::stat(line.input.c_str(), &status) != 0)
        throw ToolError(line.input, "cannot be examined: " + systemErrorText(errno));
    if (!S_ISREG(status.st_mode)) throw ToolError(line.input, "is not a regular file");
    const auto blockBytes = static_cast<std::uint64_t>(status.st_size);
    produceLauncher(line.output, stub, strings, blockBytes,
                    [&line, blockBytes](OutputStream& output) { output.copyFromFile(line.input, blockBytes); });
    return 0;
}

}  // namespace onefile::tool
