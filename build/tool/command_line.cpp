#include "build/tool/command_line.h"

#include <algorithm>

#include "build/tool/tool_error.h"

namespace onefile::tool {
namespace {

struct OptionRule {
    std::vector<std::string> spellings;
    std::optional<std::string> CommandLine::*target;
};

std::vector<OptionRule> optionsOf(Command command) {
    std::vector<OptionRule> options;
    if (command == Command::list) return options;
    options.push_back({{"-o", "--output"}, nullptr});
    if (command == Command::pack) options.push_back({{"--main"}, &CommandLine::mainName});
    options.push_back({{"--template"}, &CommandLine::directoryTemplate});
    options.push_back({{"--product"}, &CommandLine::productName});
    options.push_back({{"--version"}, &CommandLine::versionString});
    options.push_back({{"--stub"}, &CommandLine::stubPath});
    return options;
}

Command parseCommand(const std::string& word) {
    if (word == "pack") return Command::pack;
    if (word == "attach") return Command::attach;
    if (word == "list") return Command::list;
    throw UsageError("unknown command '" + word + "'");
}

class CommandArgumentParser {
public:
    explicit CommandArgumentParser(CommandLine& line) : line_(line), options_(optionsOf(line.command)) {}

    void parse(const std::vector<std::string>& arguments, std::size_t first) {
        std::vector<std::string> positional;
        bool optionsEnded = false;
        for (std::size_t i = first; i < arguments.size(); ++i) {
            const std::string& argument = arguments[i];
            if (optionsEnded || argument.size() < 2 || argument.front() != '-') {
                positional.push_back(argument);
            } else if (argument == "--") {
                optionsEnded = true;
            } else if (argument == "-h" || argument == "--help") {
                line_.showHelp = true;
            } else {
                i = parseOption(arguments, i);
            }
        }
        if (line_.showHelp) return;
        const std::string what = line_.command == Command::pack     ? "APPDIR"
                                 : line_.command == Command::attach ? "BLOCKFILE"
                                                                    : "LAUNCHER";
        if (positional.empty()) throw usageError(what + " missing");
        if (positional.size() > 1)
            throw usageError("unexpected argument '" + positional[1] + "'");
        line_.input = positional.front();
        if (line_.command != Command::list && !outputSeen_)
            throw usageError("-o OUTPUT missing");
    }

private:
    // Returns the index of the last argument the option used.
    std::size_t parseOption(const std::vector<std::string>& arguments, std::size_t index) {
        const std::string& argument = arguments[index];
        const std::size_t equals = argument.find('=');
        const std::string spelling = argument.substr(0, equals);
        const auto rule = std::find_if(options_.begin(), options_.end(), [&spelling](const OptionRule& option) {
            return std::find(option.spellings.begin(), option.spellings.end(), spelling) != option.spellings.end();
        });
        if (rule == options_.end())
            throw usageError("unknown option '" + spelling + "'");
        std::string value;
        if (equals != std::string::npos) {
            value = argument.substr(equals + 1);
        } else if (index + 1 < arguments.size()) {
            value = arguments[++index];
        } else {
            throw usageError("option '" + spelling + "' needs a value");
        }
        if (rule->target == nullptr) {
            if (outputSeen_) throw usageError("output given twice");
            if (value.empty()) throw usageError("empty OUTPUT");
            outputSeen_ = true;
            line_.output = value;
        } else {
            std::optional<std::string>& target = line_.*(rule->target);
            if (target) throw usageError("option '" + spelling + "' given twice");
            target = value;
        }
        return index;
    }

    UsageError usageError(const std::string& text) const {
        return UsageError(std::string(commandName(line_.command)) + ": " + text);
    }

    CommandLine& line_;
    std::vector<OptionRule> options_;
    bool outputSeen_ = false;
};

}  // namespace

const char* commandName(Command command) {
    switch (command) {
        case Command::pack: return "pack";
        case Command::attach: return "attach";
        case Command::list: return "list";
        case Command::none: break;
    }
    return "onefile";
}

CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    CommandLine line;
    if (arguments.empty()) throw UsageError("no command given");
    const std::string& first = arguments.front();
    if (first == "-h" || first == "--help" || first == "--version") {
        if (arguments.size() > 1) throw UsageError("unexpected argument '" + arguments[1] + "'");
        line.showHelp = first != "--version";
        line.showVersion = first == "--version";
        return line;
    }
    line.command = parseCommand(first);
    CommandArgumentParser(line).parse(arguments, 1);
    return line;
}

}  // namespace onefile::tool
