#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <optional>

#include "tool/app_dir_scan.h"
#include "tool/block_writer.h"
#include "tool/commands.h"
#include "tool/launcher_build.h"
#include "tool/output_target.h"
#include "tool/pack_progress.h"
#include "tool/pack_summary.h"
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

// On a terminal pack tells how far it has got and what it wrote; scripts and
// logs that read standard error see neither, unless --progress asks.
bool showsProgress(const CommandLine& line) {
    if (line.quiet) return false;
    return line.progress || ::isatty(STDERR_FILENO) == 1;
}

PackedLauncher describeContents(const CommandLine& line, const AppDirContents& contents) {
    PackedLauncher launcher{line.output};
    for (const PayloadEntry& entry : contents.entries) {
        if (entry.kind == EntryKind::link) {
            ++launcher.links;
        } else {
            ++launcher.files;
            launcher.unpackedBytes += entry.size;
        }
    }
    launcher.compressed = line.compressionLevel.has_value();
    return launcher;
}

}  // namespace

int runPack(const CommandLine& line) {
    const auto start = std::chrono::steady_clock::now();
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
    PackedLauncher launcher = describeContents(line, contents);
    const bool reporting = showsProgress(line);
    ProgressCounters counters;
    {
        std::optional<PackProgress> progress;
        if (reporting) progress.emplace(counters, contents.entries.size(), launcher.unpackedBytes);
        launcher.launcherBytes = produceLauncher(
            line.output, stub, strings, line.compressionLevel, line.reuse, !line.noReclaim, blockBytes,
            [&contents, &line, &counters](OutputStream& output) {
                writeBlock(
                    output, contents.entries,
                    [&contents](const PayloadEntry& entry) { return contents.openContent(entry); },
                    line.compressionLevel, &counters);
            },
            line.signKey);
    }  // the progress line is erased before the summary takes its place
    if (reporting) {
        launcher.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::cerr << describePackedLauncher(launcher) << "\n";
    }
    return 0;
}

}  // namespace onefile::tool
