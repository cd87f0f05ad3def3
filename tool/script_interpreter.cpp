#include "tool/script_interpreter.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "tool/text_escape.h"
#include "tool/tool_error.h"

namespace onefile::tool {
namespace {

inline constexpr std::string_view kBlanks = " \t";
inline constexpr std::string_view kRecipes = "examples/recipes";

std::string_view baseName(std::string_view path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::vector<std::string_view> splitAtBlanks(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t start = text.find_first_not_of(kBlanks);
    while (start != std::string_view::npos) {
        const std::size_t end = std::min(text.find_first_of(kBlanks, start), text.size());
        words.push_back(text.substr(start, end - start));
        start = text.find_first_not_of(kBlanks, end);
    }
    return words;
}

// The program `env ARGUMENT` runs: its first word that is neither an
// option (-S, -i) nor a variable setting (NAME=value).
std::optional<std::string_view> programOfEnv(std::string_view argument) {
    for (const std::string_view word : splitAtBlanks(argument)) {
        if (word.front() != '-' && word.find('=') == std::string_view::npos) return word;
    }
    return std::nullopt;
}

bool isPythonName(std::string_view name) {
    if (!name.starts_with("python")) return false;
    name.remove_prefix(6);
    return std::all_of(name.begin(), name.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

// The recipe that carries `program` (a path or a bare name) inside the
// application directory, where there is one.
std::optional<std::string> recipeCarrying(std::string_view program) {
    const std::string_view name = baseName(program);
    if (name == "node" || name == "nodejs") return std::string(kRecipes) + "/node";
    if (isPythonName(name)) return std::string(kRecipes) + "/python";
    return std::nullopt;
}

std::optional<std::string> recipeForFileName(std::string_view name) {
    for (const std::string_view suffix : {".js", ".mjs", ".cjs"})
        if (name.ends_with(suffix)) return std::string(kRecipes) + "/node";
    if (name.ends_with(".py")) return std::string(kRecipes) + "/python";
    return std::nullopt;
}

}  // namespace

std::optional<InterpreterLine> readInterpreterLine(std::string_view head) {
    if (!head.starts_with("#!")) return std::nullopt;
    head.remove_prefix(2);
    head = head.substr(0, std::min(head.find('\n'), head.size()));
    const std::size_t first = head.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return std::nullopt;
    head = head.substr(first, head.find_last_not_of(kBlanks) - first + 1);
    // The kernel passes everything after the interpreter's path as one
    // argument.
    const std::size_t end = std::min(head.find_first_of(kBlanks), head.size());
    const std::string_view interpreter = head.substr(0, end);
    const std::string_view argument = head.substr(end);
    if (baseName(interpreter) == "env") {
        if (const std::optional<std::string_view> program = programOfEnv(argument))
            return InterpreterLine{std::string(head), std::string(*program), true};
    }
    return InterpreterLine{std::string(head), std::string(interpreter), false};
}

std::string describeOutsideInterpreter(const std::string& mainPath, std::string_view head) {
    const std::optional<InterpreterLine> line = readInterpreterLine(head);
    if (!line || line->program == (line->lookedUp ? "sh" : "/bin/sh")) return "";
    const std::optional<std::string> recipe = recipeCarrying(line->program);
    return "warning: " + mainPath + ": its first line asks for '" + escapeField(line->text) +
           "', which is not inside the application directory; the machine that runs the launcher must have " +
           escapeField(line->program) +
           (recipe ? " (" + *recipe + " carries one)" : " (the recipes in " + std::string(kRecipes) +
                                                            " show how to carry an interpreter)");
}

std::string describeMainInterpreter(AppDirContents& contents) {
    const PayloadEntry& main = contents.entries.front();
    const FileDescriptor fd = contents.openContent(main);
    std::string head(kInterpreterLineBytes, '\0');
    std::size_t filled = 0;
    while (filled < head.size()) {
        const ssize_t got = ::pread(fd.get(), head.data() + filled, head.size() - filled, static_cast<off_t>(filled));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw ToolError(main.sourcePath, "cannot read: " + systemErrorText(errno));
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
    }
    head.resize(filled);
    return describeOutsideInterpreter(main.sourcePath, head);
}

std::string hintForNonExecutableMain(const std::string& mainPath) {
    const std::optional<std::string> recipe = recipeForFileName(baseName(mainPath));
    return "chmod +x it, or let a wrapper start it with an interpreter the launcher carries (" +
           (recipe ? *recipe : "see " + std::string(kRecipes)) + ")";
}

}  // namespace onefile::tool
