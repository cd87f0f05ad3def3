// The block writer and reader: the exact bytes of a block, the round trip
// through real files, and the reader's verdict on malformed blocks.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "tests/support/file_helpers.h"
#include "tests/support/temp_dir.h"
#include "tests/tool/block_records.h"
#include "tool/block_reader.h"
#include "tool/block_writer.h"
#include "tool/output_stream.h"
#include "tool/tool_error.h"

namespace onefile::testing {
namespace {

using tool::BlockEntryInfo;
using tool::EntryKind;
using tool::FormatError;
using tool::PayloadEntry;

class BlockWriterTest : public ::testing::Test {
protected:
    PayloadEntry file(const std::string& name, const std::string& content, bool executable) {
        return fileEntry(name, content, executable, dir_.file("source/" + std::to_string(sources_++)));
    }

    // The block written to a real file behind `leading` bytes, read back.
    std::string writeToFile(const std::vector<PayloadEntry>& entries, const std::string& leading = "") {
        return writtenBlock(dir_.file("block"), entries, leading);
    }

    TempDir dir_;
    int sources_ = 0;
};

TEST_F(BlockWriterTest, WritesTheExactBytesOfASmallBlock) {
    const std::vector<PayloadEntry> entries = {file("run", "AB", true), linkEntry("d/l", "../t"),
                                               file("d/e", "", false)};
    const std::string expected = std::string("ZQX") +
                                 std::string("run\0\x01", 5) + littleEndian(2) + "AB" +
                                 std::string("d/l\0\x02../t\0", 10) +
                                 std::string("d/e\0\x00", 5) + littleEndian(0) +
                                 std::string(1, '\0') + littleEndian(42);
    ASSERT_EQ(expected.size(), 50u);
    EXPECT_EQ(writeToFile(entries), expected);
    EXPECT_EQ(tool::measureBlock(entries), expected.size());
}

TEST_F(BlockWriterTest, BlockOfNoEntriesIsMagicEndMarkAndTrailer) {
    EXPECT_EQ(writeToFile({}), wholeBlock(""));
}

// Large contents at a page-aligned output offset (copied by the kernel) and
// at odd offsets (copied through the buffer), small ones gathered with the
// headers; every byte must come back.
TEST_F(BlockWriterTest, RoundTripKeepsEveryEntryAndItsContent) {
    std::string large(3 * 1024 * 1024 + 7, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>((i * 131 + i / 4099) & 0xff);
    const std::vector<PayloadEntry> entries = {
        file("main", large.substr(5), true), file("empty", "", true),   linkEntry("lib/x.so", "x.so.1"),
        file("lib/x.so.1", large, false),  file("lib/small", "s", false), linkEntry("up", "../../etc"),
        file("big2", large.substr(1000), true)};
    // The first content starts behind the magic and the header of "main".
    const std::size_t firstContent = 3 + tool::encodeEntryHeader(entries[0]).size();
    for (const std::string& leading : {std::string("odd"), std::string(4096 - firstContent, 'L')}) {
        SCOPED_TRACE("leading bytes: " + std::to_string(leading.size()));
        const std::string block = writeToFile(entries, leading);
        ASSERT_EQ(block.size(), tool::measureBlock(entries));
        const std::vector<BlockEntryInfo> back = read(block);
        ASSERT_EQ(back.size(), entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            SCOPED_TRACE(entries[i].name);
            EXPECT_EQ(back[i].name, entries[i].name);
            EXPECT_EQ(back[i].kind, entries[i].kind);
            EXPECT_EQ(back[i].executable, entries[i].executable);
            if (entries[i].kind == EntryKind::link) {
                EXPECT_EQ(back[i].linkText, entries[i].linkText);
            } else {
                ASSERT_EQ(back[i].size, entries[i].size);
                EXPECT_TRUE(block.substr(back[i].contentOffset, back[i].size) == readFile(entries[i].sourcePath));
            }
        }
    }
}

TEST_F(BlockWriterTest, RefusesASourceThatChangedSizeSinceTheScan) {
    PayloadEntry entry = file("a", "four", false);
    entry.size = 5;
    try {
        writeToFile({entry});
        FAIL() << "a changed source was written";
    } catch (const tool::ToolError& error) {
        EXPECT_NE(std::string(error.what()).find("changed while being packed"), std::string::npos) << error.what();
    }
}

TEST(BlockReaderTest, AcceptsTheLimitsOfTheFormat) {
    const std::string longest(1023, 'n');
    const std::vector<BlockEntryInfo> entries =
        read(wholeBlock(fileRecord(longest, 0xf9, "c") + linkRecord("l", 0xfa, std::string(1023, 't'))));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, longest);
    EXPECT_EQ(entries[0].kind, EntryKind::file);  // bits 3 to 7 mean nothing
    EXPECT_FALSE(entries[0].compressed);
    EXPECT_TRUE(entries[0].executable);
    EXPECT_EQ(entries[0].contentOffset, 3u + 1024 + 1 + 8);
    EXPECT_EQ(entries[1].kind, EntryKind::link);
    EXPECT_FALSE(entries[1].executable);
    EXPECT_EQ(entries[1].linkText.size(), 1023u);
}

struct MalformedBlock {
    const char* what;
    std::string bytes;
    const char* message;
};

TEST(BlockReaderTest, RejectsMalformedBlocksSayingWhatIsWrong) {
    const std::string valid = wholeBlock(fileRecord("a", 1, "xy"));
    const std::string entryA = fileRecord("a", 0, "x");
    const std::vector<MalformedBlock> cases = {
        {"empty", "", "does not start with the magic"},
        {"short magic", "ZQ", "does not start with the magic"},
        {"first magic byte", "AQX" + valid.substr(3), "does not start with the magic"},
        {"second magic byte", "ZAX" + valid.substr(3), "does not start with the magic"},
        {"third magic byte", "ZQA" + valid.substr(3), "does not start with the magic"},
        {"magic only", "ZQX", "entry 1 at byte 3: end mark missing"},
        {"no end mark after an entry", "ZQX" + entryA, "entry 2 at byte 15: end mark missing"},
        {"trailer missing", std::string("ZQX\0", 4), "length trailer cut off"},
        {"trailer short", std::string("ZQX\0", 4) + "1234567", "length trailer cut off"},
        {"trailer lies", std::string("ZQX\0", 4) + littleEndian(5), "length trailer says 5 bytes, the block holds 4"},
        {"bytes after trailer", valid + "!", "1 stray bytes after the length trailer"},
        {"name without NUL", "ZQX" + std::string("abc"), "name runs past the end of the block"},
        {"name too long", "ZQX" + std::string(1024, 'n') + std::string(1, '\0') + valid.substr(4),
         "name longer than 1023 bytes"},
        {"flags missing", std::string("ZQX" "a\0", 5), "flags missing"},
        {"size cut off", std::string("ZQX" "a\0\0" "123", 8), "content size cut off"},
        {"content runs past", std::string("ZQX" "a\0\0", 6) + littleEndian(10) + "abc",
         "content of 10 bytes runs past the end"},
        {"size near 2^64", std::string("ZQX" "a\0\0", 6) + littleEndian(~std::uint64_t{0}) + "abc",
         "runs past the end"},
        {"link text without NUL", std::string("ZQX" "a\0\2" "abc", 9), "link text runs past the end"},
        {"empty link text", wholeBlock(linkRecord("a", 2, "")), "empty link text"},
        {"link text too long", wholeBlock(linkRecord("a", 2, std::string(1024, 't'))),
         "link text longer than 1023 bytes"},
    };
    for (const MalformedBlock& block : cases) {
        SCOPED_TRACE(block.what);
        try {
            read(block.bytes);
            ADD_FAILURE() << "accepted";
        } catch (const FormatError& error) {
            EXPECT_NE(std::string(error.what()).find(block.message), std::string::npos) << error.what();
        }
    }
}

// A block cut anywhere is refused, never read past its end (the sanitizer
// builds check the latter).
TEST(BlockReaderTest, RejectsEveryTruncationOfAValidBlock) {
    const std::string valid = wholeBlock(fileRecord("dir/a", 1, "content") + linkRecord("l", 2, "dir/a") +
                                         fileRecord("e", 0, ""));
    ASSERT_EQ(read(valid).size(), 3u);
    for (std::size_t length = 0; length < valid.size(); ++length) {
        const auto copy = std::make_unique<unsigned char[]>(length);  // exact size: overreads are caught
        std::memcpy(copy.get(), valid.data(), length);
        EXPECT_THROW(tool::readBlock(std::span<const unsigned char>(copy.get(), length)), FormatError)
            << "length " << length;
    }
}

}  // namespace
}  // namespace onefile::testing
