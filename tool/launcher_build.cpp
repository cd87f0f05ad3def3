#include "tool/launcher_build.h"

#include <unistd.h>

#include <cerrno>
#include <optional>
#include <iostream>

#include "tool/digest_follower.h"
#include "tool/launcher_digest.h"

#include "tool/launcher_writer.h"
#include "tool/temporary_output.h"
#include "tool/tool_error.h"

namespace onefile::tool {
namespace {

// Writes `digest` into its field at `fieldOffset` of the launcher open at
// `fd`.
void recordLauncherDigest(int fd, const std::string& outputPath, std::uint64_t fieldOffset,
                          const LauncherDigest& digest) {
    const ssize_t written = ::pwrite(fd, digest.data(), digest.size(), static_cast<off_t>(fieldOffset));
    if (written != static_cast<ssize_t>(digest.size()))
        throw ToolError(outputPath, written < 0 ? systemErrorText(errno) : "short write");
}

}  // namespace

LauncherStrings chooseLauncherStrings(const CommandLine& line) {
    LauncherStrings strings = defaultLauncherStrings();
    if (line.directoryTemplate) strings.directoryTemplate = *line.directoryTemplate;
    if (line.productName) strings.productName = *line.productName;
    if (line.versionString) strings.versionString = *line.versionString;
    checkLauncherStrings(strings);
    for (const std::string& hazard : findTemplateHazards(strings.directoryTemplate))
        std::cerr << "onefile: warning: template '" << strings.directoryTemplate << "': " << hazard << "\n";
    return strings;
}

CheckedStub::CheckedStub(const std::optional<std::string>& stubPath, std::optional<Architecture> architecture,
                         StubKind kind) {
    std::string subject;
    if (stubPath) {
        file_ = std::make_unique<MappedFile>(*stubPath);
        bytes_ = file_->bytes();
        subject = *stubPath;
    } else {
        const Architecture builtIn = architecture.value_or(Architecture::x86_64);
        bytes_ = getEmbeddedStub(builtIn, kind);
        subject = "built-in " + std::string(architectureName(builtIn)) +
                  (kind == StubKind::decoder ? " decoder stub" : " stub");
    }
    try {
        layout_ = checkStubLayout(bytes_);
    } catch (const FormatError& error) {
        throw ToolError(subject, std::string("not a usable launcher stub: ") + error.what());
    }
    // A launcher runs only where its stub does: --arch cannot change a file.
    if (architecture && *architecture != layout_.architecture)
        throw ToolError(subject, "made for " + std::string(architectureName(layout_.architecture)) +
                                     ", but --arch " + std::string(architectureName(*architecture)) +
                                     " was given");
}

void CheckedStub::refuseAsOutput(const OutputTarget& target) const {
    if (file_) target.refuseIfItIs(file_->identity(), "the --stub file");
}

void produceLauncher(const std::string& outputPath, const CheckedStub& stub, const LauncherStrings& strings,
                     std::optional<int> compressionLevel, std::optional<std::uint64_t> blockBytes,
                     const std::function<void(OutputStream&)>& writeBlockBytes) {
    LauncherSettings settings{stub.layout().configLayout, strings, std::nullopt, std::nullopt};
    const bool recordsDigest = settings.layout == ConfigLayout::second;
    if (recordsDigest) {
        settings.compressionLevel = compressionLevel;
        settings.digest = LauncherDigest{};  // filled in below
    }
    TemporaryOutput output(outputPath);
    OutputStream stream(output.fd(), outputPath);
    const std::uint64_t payloadOffset = stub.layout().sections[stub.layout().payloadSection].sh_offset;
    const std::uint64_t digestFieldOffset = payloadOffset + kDigestFieldOffset;
    // The digest follows the writing, on a thread of its own. Only a block
    // measured beforehand lets every byte be final once written: the ELF
    // tables that state the block's size come first.
    std::optional<DigestFollower> follower;
    if (recordsDigest) {
        follower.emplace(output.fd(), outputPath, digestFieldOffset);
        if (blockBytes) stream.observeWrittenEnd([&follower](std::uint64_t end) { follower->advance(end); });
    }
    writeLauncher(stream, stub.bytes(), stub.layout(), makeConfigArea(settings), blockBytes, writeBlockBytes);
    if (follower) recordLauncherDigest(output.fd(), outputPath, digestFieldOffset, follower->finish(stream.position()));
    output.commit();
}

}  // namespace onefile::tool
