// What a script's '#!' line asks the kernel to run, and where to turn when
// the machine that runs a launcher may not have that program: the recipes of
// examples/recipes carry an interpreter inside the application directory.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "tool/app_dir_scan.h"

namespace onefile::tool {

// The first bytes of a file that the kernel reads for a '#!' line.
inline constexpr std::size_t kInterpreterLineBytes = 256;

struct InterpreterLine {
    std::string text;     // after "#!" up to the end of the line, blanks trimmed: "/usr/bin/env node"
    std::string program;  // what it runs: the interpreter, or what /usr/bin/env looks up ("node")
    bool lookedUp = false;  // program is a name that env looks up on PATH
};

// The '#!' line at the start of `head` (a file's first bytes), read as the
// kernel reads it; none when `head` does not start with "#!" or names no
// interpreter.
std::optional<InterpreterLine> readInterpreterLine(std::string_view head);

// The warning for a main executable (`mainPath`, as messages name it) whose
// first bytes `head` are a '#!' line asking for a program from outside the
// application directory, which the launcher then does not carry; empty for
// any other main. A '#!/bin/sh' line gets none: every target has /bin/sh,
// and the recipes' wrappers rely on it.
std::string describeOutsideInterpreter(const std::string& mainPath, std::string_view head);

// describeOutsideInterpreter for the main executable of `contents` (its
// first entry), read from the file the scan checked.
std::string describeMainInterpreter(AppDirContents& contents);

// What a main executable without execute permission can become: made
// executable, or started by a recipe's wrapper with a carried interpreter,
// the recipe chosen by the file's name (`.js`, `.py`) where it tells.
std::string hintForNonExecutableMain(const std::string& mainPath);

}  // namespace onefile::tool
