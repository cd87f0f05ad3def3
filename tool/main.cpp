// onefile: builds single-file launchers, and lists, describes, checks and
// unpacks what they carry.
#include <iostream>
#include <string>
#include <vector>

#include "tool/build_defaults.h"
#include "tool/command_line.h"
#include "tool/commands.h"
#include "tool/help_text.h"
#include "tool/tool_error.h"

namespace {

inline constexpr int kFailureStatus = 1;
inline constexpr int kUsageStatus = 2;

int runCommandLine(const onefile::tool::CommandLine& line) {
    using onefile::tool::Command;
    if (line.showVersion) {
        std::cout << "onefile " << onefile::kToolVersion << "\n";
        return 0;
    }
    if (line.showHelp || line.command == Command::none) {
        std::cout << onefile::tool::helpText(line.command);
        return 0;
    }
    switch (line.command) {
        case Command::pack: return onefile::tool::runPack(line);
        case Command::attach: return onefile::tool::runAttach(line);
        case Command::list: return onefile::tool::runList(line);
        case Command::extract: return onefile::tool::runExtract(line);
        case Command::info: return onefile::tool::runInfo(line);
        case Command::verify: return onefile::tool::runVerify(line);
        case Command::sign: return onefile::tool::runSign(line);
        case Command::signature: return onefile::tool::runSignature(line);
        case Command::none: break;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    try {
        return runCommandLine(onefile::tool::parseCommandLine(arguments));
    } catch (const onefile::tool::UsageError& error) {
        std::cerr << "onefile: " << error.what() << "\nTry 'onefile --help' for more information.\n";
        return kUsageStatus;
    } catch (const onefile::tool::SignatureError& error) {
        std::cerr << "onefile: " << error.what() << "\n";
        return error.status();
    } catch (const std::exception& error) {
        std::cerr << "onefile: " << error.what() << "\n";
        return kFailureStatus;
    }
}
