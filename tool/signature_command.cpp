#include <iostream>
#include <optional>

#include "tool/commands.h"
#include "tool/mapped_file.h"
#include "tool/mapping_fault_guard.h"
#include "tool/payload_locate.h"
#include "tool/signature_area.h"
#include "tool/tool_error.h"

namespace onefile::tool {

int runSignature(const CommandLine& line) {
    const MappedFile launcher(line.input);
    std::optional<SshSignature> signature;
    {
        const MappingFaultGuard guard(launcher.bytes());
        try {
            signature = readSignatureArea(findPayloadSection(launcher.bytes()));
        } catch (const FormatError& error) {
            if (MappingFaultGuard::faulted() || launcher.cutShort())
                throw ToolError(line.input, "became shorter while being read");
            throw ToolError(line.input, error.what());
        }
        if (MappingFaultGuard::faulted() || launcher.cutShort())
            throw ToolError(line.input, "became shorter while being read");
    }
    if (!signature) throw SignatureError(line.input, "is not signed", kUnsignedStatus);
    std::cout << armorSshSignature(signature->blob) << std::flush;
    if (!std::cout) throw ToolError("standard output", "cannot write");
    return 0;
}

}  // namespace onefile::tool
