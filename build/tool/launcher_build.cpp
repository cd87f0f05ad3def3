#include "build/tool/launcher_build.h"

#include <iostream>

#include "build/tool/launcher_writer.h"
#include "build/tool/temporary_output.h"
#include "build/tool/tool_error.h"

namespace onefile::tool {

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
                     std::optional<std::uint64_t> blockBytes,
                     const std::function<void(OutputStream&)>& writeBlockBytes) {
    TemporaryOutput output(outputPath);
    OutputStream stream(output.fd(), outputPath);
    writeLauncher(stream, stub.bytes(), stub.layout(), makeLauncherConfig(strings), blockBytes, writeBlockBytes);
    output.commit();
}

}  // namespace onefile::tool
