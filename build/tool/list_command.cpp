#include <cstdio>
#include <iostream>

#include "build/tool/block_reader.h"
#include "build/tool/commands.h"
#include "build/tool/mapped_file.h"
#include "build/tool/payload_locate.h"
#include "build/tool/tool_error.h"

namespace onefile::tool {
namespace {

// Keeps every line one entry with four fields whatever bytes a name holds.
std::string escapeField(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\t') escaped += "\\t";
        else if (c == '\n') escaped += "\\n";
        else if (c == '\\') escaped += "\\\\";
        else if (byte < 0x20 || byte == 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            escaped += hex;
        } else escaped.push_back(c);
    }
    return escaped;
}

}  // namespace

int runList(const CommandLine& line) {
    const MappedFile launcher(line.input);
    std::vector<BlockEntryInfo> entries;
    try {
        entries = readBlock(findAttachedBlock(launcher.bytes()));
    } catch (const FormatError& error) {
        throw ToolError(line.input, error.what());
    }
    std::string text;
    for (const BlockEntryInfo& entry : entries) {
        const bool link = entry.kind == EntryKind::link;
        text += link ? "link\t" : "file\t";
        text += entry.executable ? "x\t" : "-\t";
        text += link ? escapeField(entry.linkText) : std::to_string(entry.size);
        text += '\t';
        text += escapeField(entry.name);
        text += '\n';
    }
    std::cout << text << std::flush;
    if (!std::cout) throw ToolError("standard output", "cannot write");
    return 0;
}

}  // namespace onefile::tool
