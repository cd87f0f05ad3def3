#include "tool/command_line.h"

#include <algorithm>

#include "tool/content_compressor.h"
#include "tool/tool_error.h"

namespace onefile::tool {
namespace {

// Options of the kinds `compression`, `decoder`, `reuse`, `json` and `flag`
// never take the next argument as their value: --compress[=LEVEL],
// --decoder, --reuse, --json, --quiet, --progress, --no-reclaim.
enum class OptionKind { output, text, directoryTemplate, architecture, compression, decoder, reuse, exclude, json, flag };

struct OptionRule {
    std::vector<std::string> spellings;
    OptionKind kind = OptionKind::text;
    std::optional<std::string> CommandLine::*text = nullptr;  // where a text option goes
    bool CommandLine::*flag = nullptr;                         // what a flag sets
};

std::vector<OptionRule> optionsOf(Command command) {
    std::vector<OptionRule> options;
    if (command == Command::info) options.push_back({{"--json"}, OptionKind::json});
    if (command == Command::sign) options.push_back({{"--key"}, OptionKind::text, &CommandLine::signKey});
    if (command == Command::verify) {
        options.push_back({{"--allowed-signers"}, OptionKind::text, &CommandLine::allowedSigners});
        options.push_back({{"--identity"}, OptionKind::text, &CommandLine::identity});
    }
    if (command != Command::pack && command != Command::attach) return options;
    options.push_back({{"-o", "--output"}, OptionKind::output});
    if (command == Command::pack) {
        options.push_back({{"--main"}, OptionKind::text, &CommandLine::mainName});
        options.push_back({{"--compress"}, OptionKind::compression});
        options.push_back({{"--exclude"}, OptionKind::exclude});
        options.push_back({{"--quiet"}, OptionKind::flag, nullptr, &CommandLine::quiet});
        options.push_back({{"--progress"}, OptionKind::flag, nullptr, &CommandLine::progress});
    }
    if (command == Command::attach) options.push_back({{"--decoder"}, OptionKind::decoder});
    options.push_back({{"--reuse"}, OptionKind::reuse});
    options.push_back({{"--no-reclaim"}, OptionKind::flag, nullptr, &CommandLine::noReclaim});
    options.push_back({{"--template"}, OptionKind::directoryTemplate});
    options.push_back({{"--product"}, OptionKind::text, &CommandLine::productName});
    options.push_back({{"--version"}, OptionKind::text, &CommandLine::versionString});
    options.push_back({{"--first-run-message"}, OptionKind::text, &CommandLine::firstRunMessage});
    options.push_back({{"--stub"}, OptionKind::text, &CommandLine::stubPath});
    options.push_back({{"--arch"}, OptionKind::architecture});
    options.push_back({{"--sign"}, OptionKind::text, &CommandLine::signKey});
    return options;
}

Command parseCommand(const std::string& word) {
    if (word == "pack") return Command::pack;
    if (word == "attach") return Command::attach;
    if (word == "list") return Command::list;
    if (word == "extract") return Command::extract;
    if (word == "info") return Command::info;
    if (word == "verify") return Command::verify;
    if (word == "sign") return Command::sign;
    if (word == "signature") return Command::signature;
    throw UsageError("unknown command '" + word + "'");
}

bool isNumber(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
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
        // extract names its directory as a second argument, not with -o.
        const std::size_t expected = line_.command == Command::extract ? 2 : 1;
        if (positional.empty()) throw usageError(what + " missing");
        if (positional.size() < expected) throw usageError("DIR missing");
        if (positional.size() > expected)
            throw usageError("unexpected argument '" + positional[expected] + "'");
        line_.input = positional.front();
        if (line_.command == Command::extract) {
            if (positional[1].empty()) throw usageError("empty DIR");
            line_.output = positional[1];
        }
        if ((line_.command == Command::pack || line_.command == Command::attach) && !outputSeen_)
            throw usageError("-o OUTPUT missing");
        if (line_.quiet && line_.progress) throw usageError("--quiet and --progress contradict each other");
        if (line_.command == Command::sign && !line_.signKey) throw usageError("--key KEY missing");
        if (line_.signKey && line_.signKey->empty()) throw usageError("empty KEY");
        if (line_.identity && !line_.allowedSigners)
            throw usageError("--identity names whom --allowed-signers must allow; give --allowed-signers FILE");
        if (line_.allowedSigners && line_.allowedSigners->empty()) throw usageError("empty FILE");
        if (line_.decoderStub && line_.stubPath)
            throw usageError("--decoder chooses a built-in stub; with --stub FILE, FILE decides");
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
        const bool takesNextArgument = rule->kind != OptionKind::compression && rule->kind != OptionKind::decoder &&
                                       rule->kind != OptionKind::reuse && rule->kind != OptionKind::json &&
                                       rule->kind != OptionKind::flag;
        if (equals != std::string::npos) {
            value = argument.substr(equals + 1);
        } else if (takesNextArgument) {
            if (index + 1 >= arguments.size()) throw usageError("option '" + spelling + "' needs a value");
            value = arguments[++index];
        }
        switch (rule->kind) {
            case OptionKind::output:
                if (outputSeen_) throw usageError("output given twice");
                if (value.empty()) throw usageError("empty OUTPUT");
                outputSeen_ = true;
                line_.output = value;
                break;
            case OptionKind::text: {
                std::optional<std::string>& target = line_.*(rule->text);
                if (target) throw usageError("option '" + spelling + "' given twice");
                target = value;
                break;
            }
            case OptionKind::directoryTemplate:
                // Given again, a template is one more place to try.
                if (line_.directoryTemplate) line_.fallbackTemplates.push_back(value);
                else line_.directoryTemplate = value;
                break;
            case OptionKind::architecture:
                if (line_.architecture) throw usageError("option '" + spelling + "' given twice");
                line_.architecture = parseArchitecture(value);
                if (!line_.architecture)
                    throw usageError("unknown architecture '" + value + "'; " + spelling + " takes " +
                                     acceptedArchitectureNames());
                break;
            case OptionKind::compression:
                if (line_.compressionLevel) throw usageError("option '" + spelling + "' given twice");
                // The level is never the next argument: a number there would
                // be a level to one reader and an APPDIR to another.
                if (equals == std::string::npos && index + 1 < arguments.size() && isNumber(arguments[index + 1]))
                    throw usageError("'" + arguments[index + 1] + "' after " + spelling + ": did you mean " + spelling +
                                     "=" + arguments[index + 1] + "?");
                line_.compressionLevel =
                    equals == std::string::npos ? kDefaultCompressionLevel : parseCompressionLevel(spelling, value);
                break;
            case OptionKind::decoder:
                if (equals != std::string::npos) throw usageError("option '" + spelling + "' takes no value");
                if (line_.decoderStub) throw usageError("option '" + spelling + "' given twice");
                line_.decoderStub = true;
                break;
            case OptionKind::reuse:
                if (equals != std::string::npos) throw usageError("option '" + spelling + "' takes no value");
                if (line_.reuse) throw usageError("option '" + spelling + "' given twice");
                line_.reuse = true;
                break;
            case OptionKind::json:
                if (equals != std::string::npos) throw usageError("option '" + spelling + "' takes no value");
                line_.json = true;
                break;
            case OptionKind::flag:
                if (equals != std::string::npos) throw usageError("option '" + spelling + "' takes no value");
                if (line_.*(rule->flag)) throw usageError("option '" + spelling + "' given twice");
                line_.*(rule->flag) = true;
                break;
            case OptionKind::exclude:
                if (value.empty()) throw usageError("empty pattern for " + spelling);
                line_.excludePatterns.push_back(value);
                break;
        }
        return index;
    }

    // A level is written as a decimal number from the lowest to the highest,
    // and only so: no sign, no spaces, no leading zero.
    int parseCompressionLevel(const std::string& spelling, const std::string& value) const {
        const bool digits = !value.empty() && value.size() <= 2 && value.front() != '0' &&
                            std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
        const int level = digits ? std::stoi(value) : 0;
        if (level < kLowestCompressionLevel || level > kHighestCompressionLevel)
            throw usageError("unknown compression level '" + value + "'; " + spelling + "=LEVEL takes " +
                             std::to_string(kLowestCompressionLevel) + " to " +
                             std::to_string(kHighestCompressionLevel));
        return level;
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
        case Command::extract: return "extract";
        case Command::info: return "info";
        case Command::verify: return "verify";
        case Command::sign: return "sign";
        case Command::signature: return "signature";
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
