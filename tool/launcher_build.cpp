#include "tool/launcher_build.h"

#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <iostream>
#include <optional>

#include "tool/digest_follower.h"
#include "tool/launcher_digest.h"
#include "tool/launcher_signing.h"

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

// A default place of --reuse: one directory per application below `prefix`
// (the user's cache, or the user's own level in the temporary directory),
// named when the launcher is packed, so that two applications never share
// (nor evict each other's trees).
std::string defaultReuseTemplate(const CommandLine& line, const char* prefix) {
    const bool byProduct = line.productName.has_value();
    const std::string name =
        byProduct ? *line.productName : std::filesystem::path(line.output).filename().string();
    const std::string fault = findHoldingNameFault(name);
    if (!fault.empty())
        throw ToolError(byProduct ? "--product" : line.output,
                        "\"" + name + "\" cannot name the directory of --reuse (" + fault +
                            "); give --template");
    return std::string(prefix) + name;
}

}  // namespace

LauncherStrings chooseLauncherStrings(const CommandLine& line) {
    LauncherStrings strings = defaultLauncherStrings();
    strings.fallbackTemplates = line.fallbackTemplates;
    if (line.directoryTemplate) {
        strings.directoryTemplate = *line.directoryTemplate;
    } else if (line.reuse) {
        // The user's cache first; a place of the user's own in the temporary
        // directory when the cache cannot be used (no home, a read-only or
        // noexec one), so that a kept tree works for every user.
        strings.directoryTemplate = defaultReuseTemplate(line, kReuseTemplatePrefix);
        strings.fallbackTemplates.insert(strings.fallbackTemplates.begin(),
                                         defaultReuseTemplate(line, kReuseFallbackTemplatePrefix));
    }
    if (line.productName) strings.productName = *line.productName;
    if (line.versionString) strings.versionString = *line.versionString;
    if (line.firstRunMessage) strings.firstRunMessage = *line.firstRunMessage;
    checkLauncherStrings(strings);
    for (const std::string& templateText : allTemplates(strings)) {
        const std::string perRun = line.reuse ? findPerRunPlaceholder(templateText) : std::string();
        if (!perRun.empty())
            throw ToolError("--template", perRun + " in \"" + templateText +
                                              "\" changes from run to run: with --reuse the next run would "
                                              "never find the kept tree");
    }
    for (const std::string& templateText : allTemplates(strings)) {
        for (const std::string& hazard : findTemplateHazards(templateText, line.reuse))
            std::cerr << "onefile: warning: template '" << templateText << "': " << hazard << "\n";
    }
    return strings;
}

CheckedStub::CheckedStub(const std::optional<std::string>& stubPath, std::optional<Architecture> architecture,
                         StubKind kind) {
    if (stubPath) {
        file_ = std::make_unique<GuardedMapping>(*stubPath);
        bytes_ = file_->bytes();
        subject_ = *stubPath;
    } else {
        const Architecture builtIn = architecture.value_or(Architecture::x86_64);
        bytes_ = getEmbeddedStub(builtIn, kind);
        subject_ = "built-in " + std::string(architectureName(builtIn)) +
                   (kind == StubKind::decoder ? " decoder stub" : " stub");
    }
    read([this] {
        try {
            layout_ = checkStubLayout(bytes_);
        } catch (const FormatError& error) {
            throw ToolError(subject_, std::string("not a usable launcher stub: ") + error.what());
        }
    });
    // A launcher runs only where its stub does: --arch cannot change a file.
    if (architecture && *architecture != layout_.architecture)
        throw ToolError(subject_, "made for " + std::string(architectureName(layout_.architecture)) +
                                      ", but --arch " + std::string(architectureName(*architecture)) +
                                      " was given");
}

void CheckedStub::refuseAsOutput(const OutputTarget& target) const {
    if (file_) target.refuseIfItIs(file_->identity(), "the --stub file");
}

void CheckedStub::read(const std::function<void()>& read) const {
    if (file_) file_->read("read", read);
    else read();
}

void CheckedStub::requireReuse() const {
    if (layout_.configLayout == ConfigLayout::first)
        throw ToolError(subject_, "its configuration area has the first layout, which records no digest: "
                                  "--reuse names the kept tree after the digest");
}

std::uint64_t produceLauncher(const std::string& outputPath, const CheckedStub& stub, const LauncherStrings& strings,
                     std::optional<int> compressionLevel, bool reuse, bool reclaim, std::optional<std::uint64_t> blockBytes,
                     const std::function<void(OutputStream&)>& writeBlockBytes,
                     const std::optional<std::string>& signKey) {
    LauncherSettings settings{stub.layout().configLayout, strings, std::nullopt, std::nullopt};
    const bool recordsDigest = settings.layout == ConfigLayout::second;
    if (!strings.firstRunMessage.empty() && !recordsDigest)
        throw ToolError("--first-run-message", "the stub's configuration area has the first layout, which has no "
                                               "field for it");
    if (signKey && !recordsDigest)
        throw ToolError("--sign", "the stub's configuration area has the first layout, which records no digest "
                                  "to sign");
    // A key that is not there is named before the work, not after it.
    if (signKey && ::access(signKey->c_str(), R_OK) != 0)
        throw ToolError(*signKey, "cannot be read: " + systemErrorText(errno));
    if (recordsDigest) {
        settings.compressionLevel = compressionLevel;
        settings.digest = LauncherDigest{};  // filled in below
        settings.reuse = reuse;
        settings.reclaim = reclaim;
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
    // A --stub file cut short while it is copied leaves no launcher.
    stub.read([&] {
        writeLauncher(stream, stub.bytes(), stub.layout(), makeConfigArea(settings), blockBytes, writeBlockBytes);
    });
    if (follower) {
        const LauncherDigest digest = follower->finish(stream.position());
        recordLauncherDigest(output.fd(), outputPath, digestFieldOffset, digest);
        if (signKey) recordSignatureArea(output.fd(), outputPath, payloadOffset, signLauncherDigest(digest, *signKey));
    }
    output.commit();
    return stream.position();
}

}  // namespace onefile::tool
