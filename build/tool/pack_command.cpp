#include <iostream>

#include "build/tool/app_dir_scan.h"
#include "build/tool/block_writer.h"
#include "build/tool/commands.h"
#include "build/tool/launcher_build.h"

namespace onefile::tool {

int runPack(const CommandLine& line) {
    const LauncherStrings strings = chooseLauncherStrings(line);
    const CheckedStub stub(line.stubPath, line.architecture);
    const AppDirContents contents = scanAppDir(line.input, line.mainName);
    for (const std::string& directory : contents.emptyDirectories)
        std::cerr << "onefile: " << directory << ": empty directory, not carried\n";
    produceLauncher(line.output, stub, strings, measureBlock(contents.entries),
                    [&contents](OutputStream& output) { writeBlock(output, contents.entries); });
    return 0;
}

}  // namespace onefile::tool
