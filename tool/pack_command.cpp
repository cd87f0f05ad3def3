#include <sys/stat.h>

#include <iostream>

#include "tool/app_dir_scan.h"
#include "tool/block_writer.h"
#include "tool/commands.h"
#include "tool/launcher_build.h"
#include "tool/output_target.h"
#include "tool/script_interpreter.h"

namespace onefile::tool {
namespace {

// The launcher must never be written over what it is made from, nor where
// the next pack of the same directory would carry it. Checked once before
// the scan, so that an output inside APPDIR is named as the fault rather
// than what it brings into the directory (an earlier launcher is one more
// executable), and again against what the scan opened and found.
void refuseOutputOnInput(const OutputTarget& target, const std::string& input) {
    struct stat status {};
    if (::stat(input.c_str(), &status) != 0) return;  // the scan says why
    target.refuseIfItIs(FileIdentity::of(status), "the input");
    if (S_ISDIR(status.st_mode)) target.refuseIfInside(FileIdentity::of(status), input);
}

void refuseOutputAmongInputs(const OutputTarget& target, const AppDirContents& contents, const std::string& input) {
    target.refuseIfItIs(contents.input, "the input");
    if (contents.singleFile) return;
    target.refuseIfInside(contents.input, input);
    for (const PayloadEntry& entry : contents.entries) {
        if (entry.kind == EntryKind::file)
            target.refuseIfItIs(entry.source, entry.sourcePath + ", a file the launcher would carry");
    }
}

}  // namespace

int runPack(const CommandLine& line) {
    const LauncherStrings strings = chooseLauncherStrings(line);
    const ExcludePatterns excluded(line.excludePatterns);
    const OutputTarget target(line.output);
    // A compressed launcher needs the stub that carries the decoder.
    const CheckedStub stub(line.stubPath, line.architecture,
                           line.compressionLevel ? StubKind::decoder : StubKind::plain);
    if (line.reuse) stub.requireReuse();
    stub.refuseAsOutput(target);
    refuseOutputOnInput(target, line.input);
    AppDirContents contents = scanAppDir(line.input, line.mainName, excluded);
    refuseOutputAmongInputs(target, contents, line.input);
    for (const std::string& directory : contents.emptyDirectories)
        std::cerr << "onefile: " << directory << ": empty directory, not carried\n";
    if (const std::string warning = describeMainInterpreter(contents); !warning.empty())
        std::cerr << "onefile: " << warning << "\n";
    // A compressed block's size is known only once it is written.
    const std::optional<std::uint64_t> blockBytes =
        line.compressionLevel ? std::nullopt : std::optional(measureBlock(contents.entries));
    produceLauncher(line.output, stub, strings, line.compressionLevel, line.reuse, blockBytes, [&contents, &line](OutputStream& output) {
        writeBlock(
            output, contents.entries,
            [&contents](const PayloadEntry& entry) { return contents.openContent(entry); }, line.compressionLevel);
    });
    return 0;
}

}  // namespace onefile::tool
