// The commands of the onefile tool. Each returns the exit status of a
// success and throws ToolError for a failure.
#pragma once

#include "tool/command_line.h"

namespace onefile::tool {

int runPack(const CommandLine& line);
int runAttach(const CommandLine& line);
int runList(const CommandLine& line);
int runExtract(const CommandLine& line);
int runInfo(const CommandLine& line);
int runVerify(const CommandLine& line);
int runSign(const CommandLine& line);
int runSignature(const CommandLine& line);

}  // namespace onefile::tool
