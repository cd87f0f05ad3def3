#include <sys/stat.h>

#include "tool/commands.h"
#include "tool/launcher_build.h"
#include "tool/output_target.h"
#include "tool/tool_error.h"

namespace onefile::tool {

int runAttach(const CommandLine& line) {
    const LauncherStrings strings = chooseLauncherStrings(line);
    const OutputTarget target(line.output);
    // --decoder: for a hand-made block with compressed entries.
    const CheckedStub stub(line.stubPath, line.architecture, line.decoderStub ? StubKind::decoder : StubKind::plain);
    if (line.reuse) stub.requireReuse();
    stub.refuseAsOutput(target);
    struct stat status {};
    const FileDescriptor block = openRegularFile(line.input, status);
    target.refuseIfItIs(FileIdentity::of(status), "the input");
    const auto blockBytes = static_cast<std::uint64_t>(status.st_size);
    produceLauncher(line.output, stub, strings, std::nullopt, line.reuse, !line.noReclaim, blockBytes, [&line, &block, blockBytes](OutputStream& output) {
        output.copyFrom(block.get(), line.input, blockBytes);
    }, line.signKey);
    return 0;
}

}  // namespace onefile::tool
