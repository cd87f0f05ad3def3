#include "build/tool/help_text.h"

#include "build/build_defaults.h"
#include "build/launcher_config.h"
#include "build/tool/architecture.h"
#include "build/tool/entry_name.h"
#include "payload/payload_format.h"
#include "templates/placeholder_table.h"

namespace onefile::tool {
namespace {

std::string placeholderList() {
    std::string list;
    for (const char* name : kPlaceholderNames) {
        if (!list.empty()) list += ' ';
        list.append("{").append(name).append("}");
    }
    return list;
}

std::string launcherOptionsText() {
    return std::string(
               "  --template T    directory template of the launcher's extraction directory\n"
               "                  (default \"") +
           kDefaultDirectoryTemplate +
           "\"). Text and placeholders\n"
           "                  {NAME}, names compared ignoring ASCII case; recognised:\n"
           "                  " + placeholderList() + "\n"
           "                  An empty template, an unknown name (\"{}\" included), more\n"
           "                  than " + std::to_string(kDirectoryTemplateBytes - 1) +
           " bytes, or literal text of more than " + std::to_string(kLongestComponentBytes) + " bytes\n"
           "                  between two slashes is refused. Inside a name a second \"{\"\n"
           "                  starts the name again; a \"}\" outside a name is literal text; a\n"
           "                  name left open at the end is dropped, as the launcher does.\n"
           "                  A warning, and the launcher is still written, when the last\n"
           "                  level has no {RANDOM} (anyone can take that name first), or a\n"
           "                  level without {RANDOM} stands straight under {TEMP} (the first\n"
           "                  user to launch makes it private to themselves).\n"
           "  --product NAME  product name for {PRODUCT} (default \"" + kDefaultProductName +
           "\"), at most " + std::to_string(kProductNameBytes - 1) + " bytes\n"
           "  --version V     version string for {VERSION} (default \"" + kDefaultVersionString +
           "\"), at most " + std::to_string(kVersionStringBytes - 1) + " bytes\n"
           "  --arch A        the machine the launcher runs on: " + acceptedArchitectureNames() +
           "\n"
           "                  (default x86_64). This tool carries a stub for each.\n"
           "  --stub FILE     attach to FILE instead of the stub built into this tool; any\n"
           "                  launcher made by onefile serves as a stub too (its payload is\n"
           "                  replaced). The launcher is for FILE's machine, which must be\n"
           "                  one of those --arch takes; a different --arch is refused.\n";
}

const std::string kOutputText =
    "OUTPUT is written under a temporary name beside it, made executable (0777 less\n"
    "the umask) and renamed into place when complete; a failure, or SIGINT, SIGQUIT,\n"
    "SIGTERM or SIGHUP, leaves no output.\n";

}  // namespace

std::string helpText(Command command) {
    switch (command) {
        case Command::pack:
            return "usage: onefile pack APPDIR -o OUTPUT [--main RELPATH] [--template T]\n"
                   "                    [--product NAME] [--version V] [--arch A] [--stub FILE]\n"
                   "\n"
                   "Writes OUTPUT, a launcher that carries the application in APPDIR. When it\n"
                   "runs, the launcher unpacks the application into a fresh directory named by\n"
                   "its directory template, runs the main executable there with the launcher's\n"
                   "arguments, removes the directory and exits with the application's status.\n"
                   "\n"
                   "The main executable is the first entry. Then come every other regular file\n"
                   "and symbolic link below APPDIR, subdirectories included, sorted by their\n"
                   "path relative to APPDIR in byte order: the same input always gives the same\n"
                   "bytes. A file with any execute permission bit is unpacked executable. A\n"
                   "symbolic link is carried as a link with its own text and never followed,\n"
                   "also when it leads to a directory. A directory with nothing to carry below\n"
                   "it is reported on standard error and left out.\n"
                   "\n"
                   "  -o, --output OUTPUT  the launcher to write\n"
                   "  --main RELPATH  the main executable, relative to APPDIR. May be left out\n"
                   "                  when the top level of APPDIR holds exactly one executable\n"
                   "                  regular file. It must be an executable regular file, not\n"
                   "                  a symbolic link: name the file a link leads to instead.\n" +
                   launcherOptionsText() +
                   "\n"
                   "APPDIR may also be a single executable file: the launcher then carries just\n"
                   "that file, under its base name.\n"
                   "\n"
                   "Refused before anything is written: an entry name (path relative to APPDIR)\n"
                   "or a link text of " + std::to_string(kNameBufferBytes) +
                   " bytes or more, an empty link text, a name with an\n"
                   "empty, \".\" or \"..\" component or one of more than " +
                   std::to_string(kLongestComponentBytes) + " bytes, a missing or\n"
                   "non-executable main executable, a device, fifo or socket, a file or directory\n"
                   "that cannot be read, and an OUTPUT that is APPDIR itself, the single input\n"
                   "file, the --stub file, a file the launcher would carry, or a path inside APPDIR.\n"
                   "Nothing below APPDIR is reached through a symbolic link, and each file is read\n"
                   "from what was checked: a file or directory that changes while being packed\n"
                   "is refused.\n"
                   "\n" + kOutputText;
        case Command::attach:
            return "usage: onefile attach BLOCKFILE -o OUTPUT [--template T] [--product NAME]\n"
                   "                      [--version V] [--arch A] [--stub FILE]\n"
                   "\n"
                   "Writes OUTPUT, a launcher that carries the bytes of BLOCKFILE as its block,\n"
                   "byte for byte and unchecked. For making launchers with hand-made blocks,\n"
                   "broken ones included; `onefile pack` writes well-formed blocks. BLOCKFILE\n"
                   "must be a regular file, and OUTPUT must be neither BLOCKFILE nor the --stub\n"
                   "file.\n"
                   "\n"
                   "  -o, --output OUTPUT  the launcher to write\n" +
                   launcherOptionsText() + "\n" + kOutputText;
        case Command::list:
            return "usage: onefile list LAUNCHER\n"
                   "\n"
                   "Lists the entries LAUNCHER carries, in payload order, one line each with\n"
                   "four fields separated by tabs:\n"
                   "  kind        \"file\" or \"link\"\n"
                   "  executable  \"x\" when the entry's executable flag is set, else \"-\"\n"
                   "  size/text   a file's size in bytes, a link's text\n"
                   "  name        the entry's path below the extraction directory\n"
                   "A tab, a newline, a backslash and other control characters in a name or\n"
                   "link text are written as \\t, \\n, \\\\ and \\xHH.\n"
                   "\n"
                   "The block is found through the ELF tables: the section \"" +
                   std::string(kPayloadSectionName) +
                   "\", or,\n"
                   "when the section headers have been removed, the last loadable segment. A\n"
                   "launcher processed by strip or objcopy still lists. A block that breaks the\n"
                   "format in any way is reported and nothing is listed. Launchers for\n"
                   "x86_64 and aarch64 are read alike; a file for any other machine is refused,\n"
                   "and so is anything but a regular file (a fifo is never waited on). Lines are\n"
                   "written as they are read: memory does not grow with the number of entries.\n";
        case Command::none: break;
    }
    return "usage: onefile COMMAND [ARGUMENTS]\n"
           "\n"
           "Builds single-file launchers for 64-bit Linux on x86-64 and aarch64: one\n"
           "executable that carries an application, unpacks it into a private directory\n"
           "when run, starts it there and removes the directory when it ends. A launcher\n"
           "is made for one machine (pack and attach --arch), whatever this tool runs on.\n"
           "\n"
           "Commands:\n"
           "  pack APPDIR -o OUTPUT    make a launcher carrying an application directory\n"
           "  attach BLOCKFILE -o OUTPUT  make a launcher carrying a prepared block\n"
           "  list LAUNCHER            list the entries a launcher carries\n"
           "\n"
           "  onefile COMMAND --help   the options of a command\n"
           "  onefile --help           this text\n"
           "  onefile --version        the version of this tool\n"
           "\n"
           "Exit status: 0 on success, 1 when the work failed (the message names the\n"
           "path or option concerned), 2 for a malformed command line.\n";
}

}  // namespace onefile::tool
