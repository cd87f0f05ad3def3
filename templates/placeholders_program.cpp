// The launcher's own path: {PROGRAM}, {PROGRAM_BASE} and {PROGRAM_DIR}.
#include "runtime/program_path.h"
#include "templates/placeholder_routines.h"

namespace onefile {

namespace {

constexpr char kProgramExtension[] = ".bin";
constexpr std::size_t kProgramExtensionLength = sizeof kProgramExtension - 1;

char foldAsciiCase(char character) {
    if (character >= 'A' && character <= 'Z') return static_cast<char>(character - 'A' + 'a');
    return character;
}

bool endsWithProgramExtension(const char* text, std::size_t length) {
    if (length < kProgramExtensionLength) return false;
    const char* ending = text + length - kProgramExtensionLength;
    for (std::size_t index = 0; index < kProgramExtensionLength; ++index) {
        if (foldAsciiCase(ending[index]) != kProgramExtension[index]) return false;
    }
    return true;
}

// Ends the output at newEnd, which lies within the output.
void cutOutputAt(TemplateOutput& output, std::size_t newEnd) {
    output.remainingCapacity += output.writePosition - newEnd;
    output.writePosition = newEnd;
    output.buffer[newEnd] = '\0';
}

}  // namespace

bool insertProgramPath(TemplateOutput& output) {
    appendPlaceholderValue(output, getProgramPath(), false);
    return true;
}

bool insertProgramBase(TemplateOutput& output) {
    const std::size_t start = output.writePosition;
    if (!expandTemplateOnto(output, "{PROGRAM}")) return false;
    // Only the one extension goes and the directory part stays: the value is
    // a full path, so /opt/x.bin.bin becomes /opt/x.bin.
    const std::size_t appended = output.writePosition - start;
    if (endsWithProgramExtension(output.buffer + start, appended)) {
        cutOutputAt(output, output.writePosition - kProgramExtensionLength);
    }
    return true;
}

// The value is the directory that holds the launcher's executable file, the
// same text as TAVMIR_ONEFILE_DIRECTORY: the program path without its last
// component and the slash (or slashes) before it, "/" for a file directly in
// the root, and "." for a path without any slash. The cut works only on the
// text the nested expansion appended, never on the output before it, and the
// trailing-slash rule does not run afterwards: a value of "/" stays "/".
bool insertProgramDirectory(TemplateOutput& output) {
    const std::size_t start = output.writePosition;
    if (!expandTemplateOnto(output, "{PROGRAM}")) return false;
    if (output.writePosition == start) return false;
    const char* text = output.buffer;

    // Slashes that end the path do not start a component; one character stays.
    std::size_t componentEnd = output.writePosition;
    while (componentEnd - start > 1 && text[componentEnd - 1] == '/') --componentEnd;

    std::size_t componentStart = componentEnd;
    while (componentStart > start && text[componentStart - 1] != '/') --componentStart;
    if (componentStart == start) {
        // A path of one name lies in the current directory.
        output.buffer[start] = '.';
        cutOutputAt(output, start + 1);
        return true;
    }

    std::size_t directoryEnd = componentStart - 1;
    while (directoryEnd > start && text[directoryEnd - 1] == '/') --directoryEnd;
    // Nothing but slashes before the last component: the root directory,
    // whose "/" is kept.
    if (directoryEnd == start) directoryEnd = start + 1;
    cutOutputAt(output, directoryEnd);
    return true;
}

}  // namespace onefile
