// Fuzz target: the onefile tool's readers on arbitrary files, ELF or not,
// truncated, with lying offsets and sizes. The input is the whole file.
//
// The readers run twice: on the input's own bytes, a heap block of exactly
// the input's size, so that AddressSanitizer catches any read outside it;
// and as `onefile list` runs, through runList on a file that holds the
// input. Both must agree. A malformed file may only end in the tool's own
// errors (FormatError, ToolError); anything else escaping, a crash or an
// out-of-bounds read is a finding. A block that the reader accepts must be
// exactly what its entries encode, byte for byte.
//
// The configuration area of the payload section is read on the input's
// bytes too, in either layout, and where it has the second layout the
// launcher's digest is computed as verify computes it, and its signature
// area is read as info and verify read it, down to the signing key's
// fingerprint: each may only throw FormatError, and what they accept must
// fit the fields it came from.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "format/payload_format.h"
#include "tool/block_reader.h"
#include "tool/command_line.h"
#include "tool/commands.h"
#include "tool/config_area.h"
#include "tool/content_compressor.h"
#include "tool/launcher_digest.h"
#include "tool/payload_locate.h"
#include "tool/signature_area.h"
#include "tool/ssh_public_key.h"
#include "tool/tool_error.h"

namespace {

using onefile::tool::BlockEntryInfo;
using onefile::tool::ByteSpan;
using onefile::tool::EntryKind;

[[noreturn]] void reportFinding(const std::string& what) {
    fprintf(stderr, "tool readers: %s\n", what.c_str());
    abort();
}

void appendNumber(std::vector<unsigned char>& bytes, std::uint64_t value) {
    for (std::size_t i = 0; i < onefile::kContentSizeBytes; ++i) bytes.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

void appendText(std::vector<unsigned char>& bytes, const std::string& text) {
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.push_back(0);
}

// The block the entries describe, encoded afresh.
std::vector<unsigned char> encodeBlock(ByteSpan block, const std::vector<BlockEntryInfo>& entries) {
    std::vector<unsigned char> bytes(std::begin(onefile::kPayloadMagic), std::end(onefile::kPayloadMagic));
    for (const BlockEntryInfo& entry : entries) {
        appendText(bytes, entry.name);
        bytes.push_back(entry.flags);
        if (entry.kind == EntryKind::link) {
            appendText(bytes, entry.linkText);
        } else {
            appendNumber(bytes, entry.size);
            const ByteSpan content = block.subspan(entry.contentOffset, entry.size);
            bytes.insert(bytes.end(), content.begin(), content.end());
        }
    }
    bytes.push_back(0);
    appendNumber(bytes, bytes.size());
    return bytes;
}

void checkEntries(ByteSpan block, const std::vector<BlockEntryInfo>& entries) {
    for (const BlockEntryInfo& entry : entries) {
        if (entry.name.empty() || entry.name.size() >= onefile::kNameBufferBytes)
            reportFinding("an accepted entry name has " + std::to_string(entry.name.size()) + " bytes");
        if (entry.kind == EntryKind::link &&
            (entry.linkText.empty() || entry.linkText.size() >= onefile::kNameBufferBytes))
            reportFinding("an accepted link text has " + std::to_string(entry.linkText.size()) + " bytes");
        if (entry.kind == EntryKind::file &&
            (entry.contentOffset > block.size() || entry.size > block.size() - entry.contentOffset))
            reportFinding("an accepted entry's content lies outside the block");
    }
    const std::vector<unsigned char> encoded = encodeBlock(block, entries);
    if (encoded.size() != block.size() || !std::equal(encoded.begin(), encoded.end(), block.begin()))
        reportFinding("the accepted block is not what its " + std::to_string(entries.size()) +
                      " entries encode");
}

// The entries read straight from the input's bytes; false for a refusal.
bool readInMemory(ByteSpan file, std::vector<BlockEntryInfo>& entries) {
    try {
        const ByteSpan block = onefile::tool::findAttachedBlock(file);
        if (block.data() < file.data() || block.data() + block.size() > file.data() + file.size())
            reportFinding("the attached block lies outside the file");
        entries = onefile::tool::readBlock(block);
        checkEntries(block, entries);
        return true;
    } catch (const onefile::tool::FormatError&) {
        return false;
    } catch (const std::exception& error) {
        reportFinding(std::string("the readers threw something other than a format error: ") + error.what());
    }
}

// The signature of a configuration area of the second layout, and the
// fingerprint of its key.
void readSignatureInMemory(ByteSpan section) {
    try {
        const std::optional<onefile::tool::SshSignature> signature = onefile::tool::readSignatureArea(section);
        if (!signature) return;
        if (signature->blob.size() > onefile::kSignatureBytes)
            reportFinding("an accepted signature is larger than the signature area");
        (void)onefile::tool::sshKeyFingerprint(signature->publicKey);
    } catch (const onefile::tool::FormatError&) {
    } catch (const std::exception& error) {
        reportFinding(std::string("the signature area threw something other than a format error: ") + error.what());
    }
}

// The settings of the payload section's configuration area and, for the
// second layout, the launcher's digest and signature.
void readSettingsInMemory(ByteSpan file) {
    onefile::tool::PayloadLocation location;
    try {
        location = onefile::tool::locatePayloadSection(file);
    } catch (const onefile::tool::FormatError&) {
        return;
    } catch (const std::exception& error) {
        reportFinding(std::string("locating the payload section threw something other than a format error: ") +
                      error.what());
    }
    if (location.offset > file.size() || location.size > file.size() - location.offset)
        reportFinding("the payload section lies outside the file");
    try {
        const onefile::tool::LauncherSettings settings =
            onefile::tool::readConfigArea(file.subspan(location.offset, location.size));
        const onefile::tool::LauncherStrings& strings = settings.strings;
        if (strings.directoryTemplate.size() >= onefile::kDirectoryTemplateBytes ||
            strings.productName.size() >= onefile::kProductNameBytes ||
            strings.versionString.size() >= onefile::kVersionStringBytes)
            reportFinding("an accepted string does not fit its field with its NUL");
        if (settings.compressionLevel && (*settings.compressionLevel < onefile::tool::kLowestCompressionLevel ||
                                          *settings.compressionLevel > onefile::tool::kHighestCompressionLevel))
            reportFinding("an accepted compression level is out of range");
        if (settings.layout == onefile::tool::ConfigLayout::first) {
            if (settings.compressionLevel || settings.digest)
                reportFinding("an area of the first layout records a level or a digest");
            return;
        }
        (void)onefile::tool::computeLauncherDigest(file, location.offset + onefile::tool::kDigestFieldOffset);
        readSignatureInMemory(file.subspan(location.offset, location.size));
    } catch (const onefile::tool::FormatError&) {
    } catch (const std::exception& error) {
        reportFinding(std::string("the configuration area or the digest threw something other than a format error: ") +
                      error.what());
    }
}

// A file that `onefile list` opens by name, rewritten for every input.
const std::string& inputFilePath() {
    static const std::string path = [] {
        const int fd = memfd_create("onefile-list-input", 0);
        if (fd < 0) reportFinding("memfd_create failed");
        return "/proc/self/fd/" + std::to_string(fd);
    }();
    return path;
}

void writeInputFile(const std::uint8_t* data, std::size_t size) {
    FILE* file = fopen(inputFilePath().c_str(), "wb");
    if (file == nullptr || (size > 0 && fwrite(data, 1, size, file) != size) || fclose(file) != 0)
        reportFinding("cannot write the input file");
}

// runList's answer: its output lines, or nullopt for an error.
std::optional<std::string> runListCommand() {
    onefile::tool::CommandLine line;
    line.command = onefile::tool::Command::list;
    line.input = inputFilePath();
    std::ostringstream captured;
    std::streambuf* const saved = std::cout.rdbuf(captured.rdbuf());
    std::optional<std::string> output;
    try {
        if (onefile::tool::runList(line) != 0) reportFinding("list returned a status other than 0");
        output = captured.str();
    } catch (const onefile::tool::ToolError&) {
    } catch (const std::exception& error) {
        std::cout.rdbuf(saved);
        reportFinding(std::string("list threw something other than a tool error: ") + error.what());
    }
    std::cout.rdbuf(saved);
    return output;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<BlockEntryInfo> entries;
    const bool accepted = readInMemory(ByteSpan(data, size), entries);
    readSettingsInMemory(ByteSpan(data, size));

    writeInputFile(data, size);
    const std::optional<std::string> listed = runListCommand();
    if (listed.has_value() != accepted)
        reportFinding(accepted ? "list refused a file whose block reads" : "list accepted a file whose block does not read");
    if (listed) {
        const auto lines = static_cast<std::size_t>(std::count(listed->begin(), listed->end(), '\n'));
        if (lines != entries.size())
            reportFinding("list printed " + std::to_string(lines) + " lines for " + std::to_string(entries.size()) +
                          " entries");
    }
    return 0;
}
