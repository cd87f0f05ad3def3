#include "tool/help_text.h"

#include "format/launcher_config.h"
#include "format/payload_format.h"
#include "templates/placeholder_table.h"
#include "tool/architecture.h"
#include "tool/build_defaults.h"
#include "tool/content_compressor.h"
#include "tool/entry_name.h"
#include "tool/launcher_strings.h"

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
           "                  Given again, each --template is one more place to try, in\n"
           "                  order: the launcher takes the first whose directory it can\n"
           "                  make, that is safe, allows programs (not mounted noexec) and\n"
           "                  has room, saying on standard error why it skipped the others.\n"
           "                  Together they must fit the same " + std::to_string(kDirectoryTemplateBytes) +
           " bytes, each with its NUL\n"
           "                  and one more.\n"
           "  --reuse         keep the unpacked application between runs: the template\n"
           "                  names the directory that holds it (default\n"
           "                  \"" + kReuseTemplatePrefix + "NAME\", NAME the --product value when\n"
           "                  given, else the output file's name), and the launcher adds\n"
           "                  a level named after the first 16 hex digits of its digest.\n"
           "                  A run unpacks it there once and later runs check that every\n"
           "                  entry is still there (names, sizes, the owner's execute bit,\n"
           "                  link texts; contents are not hashed), repair what differs and\n"
           "                  run it.\n"
           "                  A template with {PID}, {TIME}, {TIME_US} or {RANDOM} is\n"
           "                  refused with it.\n"
           "  --no-reclaim    runs never remove the directories that earlier runs killed\n"
           "                  outright left behind. By default a run removes, while its\n"
           "                  application runs, up to 16 such directories beside its own\n"
           "                  that its template made (with {PID} and {RANDOM} in the last\n"
           "                  level), whose run is gone, that nobody holds and that are\n"
           "                  older than a minute.\n"
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
           "                  one of those --arch takes; a different --arch is refused.\n"
           "                  FILE also decides whether the launcher unpacks compressed\n"
           "                  entries: only a decoder stub (onefile-stub-zstd) or a launcher\n"
           "                  made from one does; for any other they are damage.\n";
}

const std::string kOutputText =
    "OUTPUT is written under a temporary name beside it, made executable (0777 less\n"
    "the umask) and renamed into place when complete; a failure, or SIGINT, SIGQUIT,\n"
    "SIGTERM or SIGHUP, leaves no output.\n";

}  // namespace

std::string helpText(Command command) {
    switch (command) {
        case Command::pack:
            return "usage: onefile pack APPDIR -o OUTPUT [--main RELPATH] [--compress[=LEVEL]]\n"
                   "                    [--exclude PATTERN]... [--quiet | --progress] [--reuse]\n"
                   "                    [--no-reclaim] [--template T]... [--product NAME] [--version V]\n"
                   "                    [--arch A] [--stub FILE]\n"
                   "\n"
                   "Writes OUTPUT, a launcher that carries the application in APPDIR. When it\n"
                   "runs, the launcher unpacks the application into a fresh directory named by\n"
                   "its directory template, runs the main executable there with the launcher's\n"
                   "arguments, removes the directory and exits with the application's status;\n"
                   "with --reuse it keeps the directory for the next run instead.\n"
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
                   "                  a symbolic link: name the file a link leads to instead.\n"
                   "                  A script whose \"#!\" line asks for a program other than\n"
                   "                  /bin/sh (\"#!/usr/bin/env node\") is packed with a warning:\n"
                   "                  the launcher does not carry that program, so the machine\n"
                   "                  that runs it must have it. The recipes of onefile's\n"
                   "                  examples/recipes carry an interpreter instead.\n"
                   "  --compress[=LEVEL]  store each regular file's content as zstd frames of\n"
                   "                  8 MiB of content each (the last one shorter), made at LEVEL,\n"
                   "                  " + std::to_string(kLowestCompressionLevel) + " to " +
                   std::to_string(kHighestCompressionLevel) + " (" + std::to_string(kDefaultCompressionLevel) +
                   " when no level is given), each with\n"
                   "                  a checksum and the unpacked size in its header and a\n"
                   "                  window of at most 8 MiB; the level goes after \"=\", never in\n"
                   "                  the next argument. The launcher is then made from the decoder\n"
                   "                  stub, which unpacks such frames. A content whose frames would\n"
                   "                  not be smaller is stored as it is; links are the same either\n"
                   "                  way. Frames are made on one thread per processor this\n"
                   "                  process may use, and written in block order: the same input\n"
                   "                  still gives the same bytes, whatever the number of\n"
                   "                  processors. Without --compress the launcher is made from\n"
                   "                  the plain stub and nothing is compressed.\n"
                   "  --exclude PATTERN  leave out what PATTERN matches; may be given more than\n"
                   "                  once. A glob (*, ?, [...]): without a \"/\" it is matched\n"
                   "                  against the name of every file, link and directory at any\n"
                   "                  depth (\".git\", \"*.pyc\"); with one, against the whole path\n"
                   "                  relative to APPDIR, \"*\" staying within one level, and a\n"
                   "                  leading \"/\" only anchors it there (\"/build\"). A trailing\n"
                   "                  \"/\" matches directories only. A directory left out takes\n"
                   "                  everything below it along; the main executable cannot be\n"
                   "                  left out.\n"
                   "  --quiet         show neither the progress line nor the summary, even on a\n"
                   "                  terminal. When standard error is a terminal, pack shows\n"
                   "                  there one line that tells the entries and bytes done of\n"
                   "                  the total, the rate and the time left, redrawn a few times\n"
                   "                  a second and erased at the end, then one line that tells\n"
                   "                  what it wrote: files, links, unpacked size, launcher size\n"
                   "                  (and its ratio to the unpacked size when compressed) and\n"
                   "                  the time taken. Warnings and errors are written either way.\n"
                   "  --progress      show the progress line and the summary even when standard\n"
                   "                  error is not a terminal. Not with --quiet.\n" +
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
            return "usage: onefile attach BLOCKFILE -o OUTPUT [--decoder] [--reuse] [--no-reclaim]\n"
                   "                      [--template T]... [--product NAME] [--version V] [--arch A] [--stub FILE]\n"
                   "\n"
                   "Writes OUTPUT, a launcher that carries the bytes of BLOCKFILE as its block,\n"
                   "byte for byte and unchecked. For making launchers with hand-made blocks,\n"
                   "broken ones included; `onefile pack` writes well-formed blocks. BLOCKFILE\n"
                   "must be a regular file, and OUTPUT must be neither BLOCKFILE nor the --stub\n"
                   "file.\n"
                   "\n"
                   "  -o, --output OUTPUT  the launcher to write\n"
                   "  --decoder       make the launcher from the built-in decoder stub, which\n"
                   "                  unpacks compressed entries (flag bit 2, zstd frames),\n"
                   "                  for a block that has them. Without it the plain stub, for\n"
                   "                  which such an entry is damage. Not with --stub FILE: FILE\n"
                   "                  decides.\n" +
                   launcherOptionsText() + "\n" + kOutputText;
        case Command::list:
            return "usage: onefile list LAUNCHER\n"
                   "\n"
                   "Lists the entries LAUNCHER carries, in payload order, one line each with\n"
                   "four fields separated by tabs:\n"
                   "  kind        \"file\" or \"link\"\n"
                   "  executable  \"x\" when the entry's executable flag is set, else \"-\"\n"
                   "  size/text   a file's size in bytes (unpacked, for a compressed entry: the\n"
                   "              size its zstd frame header states), a link's text\n"
                   "  name        the entry's path below the extraction directory\n"
                   "A tab, a newline, a backslash and other control characters in a name or\n"
                   "link text are written as \\t, \\n, \\\\ and \\xHH.\n"
                   "\n"
                   "The block is found through the ELF tables: the section \"" +
                   std::string(kPayloadSectionName) +
                   "\", or,\n"
                   "when the section headers have been removed, the last loadable segment. A\n"
                   "launcher processed by strip or objcopy still lists. A block that breaks the\n"
                   "format in any way is reported and nothing is listed, among others a link\n"
                   "flagged compressed and a compressed entry whose frame header cannot be read,\n"
                   "does not state the unpacked size or asks for a window of more than 8 MiB\n"
                   "(the rest of a frame is not read). Launchers for x86_64 and aarch64 are\n"
                   "read alike; a file for any other machine is refused, and so is anything but\n"
                   "a regular file (a fifo is never waited on). Lines are written as they are\n"
                   "read: memory does not grow with the number of entries.\n";
        case Command::extract:
            return "usage: onefile extract LAUNCHER DIR\n"
                   "\n"
                   "Unpacks what LAUNCHER carries into DIR without running anything, as the\n"
                   "launcher itself would: DIR is created (mode 0700) and must not exist; its\n"
                   "parent must. Files get mode 0666 less the umask, an executable entry adds\n"
                   "owner execute, and others execute where the group may read; directories on\n"
                   "the way are made 0700; links are made with their own text; a name the\n"
                   "block gives twice is replaced by the later entry; compressed entries are\n"
                   "decoded. Nothing is written through a symbolic link: an entry that would\n"
                   "leave DIR (\"..\", an absolute name, a level that is a link) is refused.\n"
                   "\n"
                   "The whole block is checked before DIR is made. A failure while unpacking\n"
                   "(damaged compressed content, a file that cannot be written), or SIGINT,\n"
                   "SIGQUIT, SIGTERM or SIGHUP, removes DIR again.\n";
        case Command::info:
            return "usage: onefile info LAUNCHER [--json]\n"
                   "\n"
                   "Describes LAUNCHER, one \"key: value\" line each, or with --json one JSON\n"
                   "object with the same keys:\n"
                   "  arch            the machine it runs on: x86_64 or aarch64\n"
                   "  template        its directory template\n"
                   "  fallback_template  one line for each template it tries after that\n"
                   "                  one, in order (JSON: fallback_templates, a list)\n"
                   "  product         its product name\n"
                   "  version         its version string\n"
                   "  files, links    how many entries of each kind it carries\n"
                   "  stored_bytes    the files' content as the block holds it\n"
                   "  unpacked_bytes  the files' content once unpacked\n"
                   "  compression     \"none\" (JSON: null), or zstd with the level pack used\n"
                   "                  (JSON: {\"codec\": \"zstd\", \"level\": N}, level null for a\n"
                   "                  block made elsewhere)\n"
                   "  digest          the SHA-256 digest it records of itself, or \"none\" (JSON:\n"
                   "                  null) for a launcher made before digests were recorded\n"
                   "  reuse           true when it keeps its unpacked tree between runs (pack\n"
                   "                  --reuse), else false\n"
                   "  reclaim         false for a launcher made with --no-reclaim, else true\n"
                   "In text, control characters in the strings are written as in `onefile list`;\n"
                   "in JSON, bytes that are not UTF-8 become U+FFFD. The whole block is checked.\n";
        case Command::verify:
            return "usage: onefile verify LAUNCHER\n"
                   "\n"
                   "Checks LAUNCHER against the digest that pack and attach record in it: SHA-256\n"
                   "over every byte its loadable segments map (code, configuration and block),\n"
                   "with the digest field and the ELF header's e_shoff, e_shnum and e_shstrndx\n"
                   "taken as zero, so strip does not break the check but any change to what runs\n"
                   "does. Prints \"LAUNCHER: OK\" and exits 0 when it matches; exits 1 with the\n"
                   "reason when it does not, when the file is cut short or malformed, or when it\n"
                   "records no digest.\n";
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
           "  pack APPDIR -o OUTPUT    make a launcher carrying an application directory,\n"
           "                           its files compressed with --compress\n"
           "  attach BLOCKFILE -o OUTPUT  make a launcher carrying a prepared block\n"
           "  list LAUNCHER            list the entries a launcher carries\n"
           "  extract LAUNCHER DIR     unpack a launcher into a new directory, unrun\n"
           "  info LAUNCHER [--json]   show a launcher's machine, strings, sizes, digest\n"
           "  verify LAUNCHER          check a launcher against the digest it records\n"
           "\n"
           "  onefile COMMAND --help   the options of a command\n"
           "  onefile --help           this text\n"
           "  onefile --version        the version of this tool\n"
           "\n"
           "Exit status: 0 on success, 1 when the work failed or verify found a\n"
           "mismatch (the message names the path or option concerned), 2 for a\n"
           "malformed command line.\n";
}

}  // namespace onefile::tool
