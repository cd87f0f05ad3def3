// The command line of the onefile tool.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tool/architecture.h"

namespace onefile::tool {

enum class Command { none, pack, attach, list, extract, info, verify, sign, signature };

struct CommandLine {
    Command command = Command::none;
    bool showHelp = false;     // of the command, or of the tool without one
    bool showVersion = false;
    std::string input;         // APPDIR, BLOCKFILE or LAUNCHER
    std::string output;        // -o OUTPUT, or extract's DIR
    std::optional<std::string> mainName;
    std::optional<std::string> directoryTemplate;  // the first --template
    std::vector<std::string> fallbackTemplates;    // every later --template, in order
    std::optional<std::string> productName;
    std::optional<std::string> versionString;
    std::optional<std::string> firstRunMessage;  // pack and attach --first-run-message
    std::optional<std::string> stubPath;
    std::optional<Architecture> architecture;  // --arch
    std::optional<int> compressionLevel;       // pack --compress[=LEVEL]
    bool decoderStub = false;                  // attach --decoder
    bool reuse = false;                        // pack and attach --reuse
    bool noReclaim = false;                    // pack and attach --no-reclaim
    std::vector<std::string> excludePatterns;  // pack --exclude, in order
    bool quiet = false;                        // pack --quiet
    bool progress = false;                     // pack --progress
    bool json = false;                         // info --json
    std::optional<std::string> signKey;        // pack and attach --sign, sign --key
    std::optional<std::string> allowedSigners; // verify --allowed-signers
    std::optional<std::string> identity;       // verify --identity
};

// Parses the arguments after the program name; a malformed command line
// throws UsageError.
CommandLine parseCommandLine(const std::vector<std::string>& arguments);

// The name of a command as typed.
const char* commandName(Command command);

}  // namespace onefile::tool
