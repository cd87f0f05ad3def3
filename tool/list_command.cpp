#include <iostream>

#include "tool/block_reader.h"
#include "tool/commands.h"
#include "tool/guarded_mapping.h"
#include "tool/payload_locate.h"
#include "tool/text_escape.h"
#include "tool/tool_error.h"

namespace onefile::tool {

int runList(const CommandLine& line) {
    const GuardedMapping launcher(line.input);
    // The whole block is checked before the first line, so that a broken
    // block lists nothing; then it is read again, line by line, so that
    // memory stays the same for any number of entries.
    std::string text;
    const auto printLine = [&text](const BlockEntryInfo& entry) {
        const bool link = entry.kind == EntryKind::link;
        text.assign(link ? "link\t" : "file\t");
        text += entry.executable ? "x\t" : "-\t";
        // A compressed file's size as it will be once unpacked.
        text += link ? escapeField(entry.linkText) : std::to_string(entry.unpackedSize);
        text += '\t';
        text += escapeField(entry.name);
        text += '\n';
        std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
        if (!std::cout) throw ToolError("standard output", "cannot write");
    };
    launcher.read("read", [&launcher, &line, &printLine] {
        try {
            const ByteSpan block = findAttachedBlock(launcher.bytes());
            (void)visitBlock(block, [](const BlockEntryInfo&) {});
            (void)visitBlock(block, printLine);
        } catch (const FormatError& error) {
            throw ToolError(line.input, error.what());
        }
    });
    std::cout << std::flush;
    if (!std::cout) throw ToolError("standard output", "cannot write");
    return 0;
}

}  // namespace onefile::tool
