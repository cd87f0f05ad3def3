// Compressed blocks from the writer's side: each content one zstd frame that
// the library reads back, the window kept to what the decoder holds, a
// content that does not shrink stored as it is, and the reader's verdict on
// the frame headers of compressed entries.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader, ZSTD_getCParams
#include <zstd.h>

#include "format/payload_format.h"
#include "payload/entry_decoder.h"
#include "tests/support/file_helpers.h"
#include "tests/support/sample_contents.h"
#include "tests/support/temp_dir.h"
#include "tests/tool/block_records.h"
#include "tool/block_reader.h"
#include "tool/block_writer.h"
#include "tool/content_compressor.h"
#include "tool/output_stream.h"
#include "tool/tool_error.h"

namespace onefile::testing {
namespace {

using tool::BlockEntryInfo;
using tool::EntryKind;
using tool::PayloadEntry;

inline constexpr std::uint64_t kDecoderWindowBytes = std::uint64_t{1} << kDecoderWindowLog;

// Numbered lines: shrinks a lot, but not to nothing.
std::string lines(std::size_t size) {
    std::string text;
    for (std::size_t i = 0; text.size() < size; ++i) text += "line " + std::to_string(i) + " of the text\n";
    text.resize(size);
    return text;
}

// One frame made by the library directly; without `statesSize` the content
// is streamed in without telling its size, which the header then lacks.
std::string frameOf(const std::string& content, bool statesSize, bool withChecksum = true) {
    ZSTD_CCtx* context = ZSTD_createCCtx();
    (void)ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, withChecksum ? 1 : 0);
    std::string frame(ZSTD_compressBound(content.size()) + 64, '\0');
    ZSTD_outBuffer out{frame.data(), frame.size(), 0};
    ZSTD_inBuffer in{content.data(), content.size(), 0};
    // Given all at once with ZSTD_e_end, the library states the size itself.
    if (!statesSize) (void)ZSTD_compressStream2(context, &out, &in, ZSTD_e_continue);
    const std::size_t left = ZSTD_compressStream2(context, &out, &in, ZSTD_e_end);
    ZSTD_freeCCtx(context);
    if (ZSTD_isError(left) || left != 0) throw std::runtime_error("frame not made");
    frame.resize(out.pos);
    return frame;
}

// The content a frame unpacks to; the whole input must be one frame.
std::string unpack(const std::string& frame) {
    const unsigned long long size = ZSTD_getFrameContentSize(frame.data(), frame.size());
    if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN) throw std::runtime_error("no size");
    if (ZSTD_findFrameCompressedSize(frame.data(), frame.size()) != frame.size())
        throw std::runtime_error("not exactly one frame");
    std::string content(size, '\0');
    const std::size_t result = ZSTD_decompress(content.data(), content.size(), frame.data(), frame.size());
    if (ZSTD_isError(result) || result != size) throw std::runtime_error("frame does not unpack");
    return content;
}

ZSTD_frameHeader frameHeader(const std::string& frame) {
    ZSTD_frameHeader header{};
    if (ZSTD_getFrameHeader(&header, frame.data(), frame.size()) != 0) throw std::runtime_error("no frame header");
    return header;
}

class CompressedBlockTest : public ::testing::Test {
protected:
    PayloadEntry file(const std::string& name, const std::string& content, bool executable = false) {
        return fileEntry(name, content, executable, dir_.file("source/" + std::to_string(sources_++)));
    }

    // The block written to a real file, compressed at `level` or not.
    std::string writeToFile(const std::vector<PayloadEntry>& entries, std::optional<int> level) {
        return writtenBlock(dir_.file("block"), entries, "", level);
    }

    // The frame that `compressor` makes of `content`, or nothing when it
    // gives up because storing the content would be smaller.
    std::optional<std::string> compress(tool::ContentCompressor& compressor, const std::string& content) {
        const PayloadEntry entry = file("x", content);
        const std::string path = dir_.file("frame");
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int source = ::open(entry.sourcePath.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || source < 0) throw std::runtime_error("open");
        bool framed = false;
        {
            tool::OutputStream output(fd, path);
            framed = compressor.appendFrames(output, source, entry.sourcePath, content.size());
            output.flush();
        }
        ::close(fd);
        ::close(source);
        if (!framed) return std::nullopt;
        return readFile(path);
    }

    TempDir dir_;
    int sources_ = 0;
};

// Every file's content is one frame with a checksum and the unpacked size in
// its header, and unpacks to the source; the headers in front of the frames
// state the frames' sizes, also where a frame outgrew the output buffer (the
// size field was then already in the file when it was completed).
TEST_F(CompressedBlockTest, EachContentIsOneFrameThatUnpacksToTheSource) {
    std::string varied = randomBytes(4 << 20, 7);
    for (char& byte : varied) byte = static_cast<char>('a' + (byte & 0x0f));  // about half its size packed
    const std::vector<std::string> contents = {lines(300000), varied, lines(400) + "tail"};
    const std::vector<PayloadEntry> entries = {file("main", contents[0], true), linkEntry("lib/l", "../main"),
                                               file("lib/varied", contents[1]), file("short", contents[2])};
    const std::string block = writeToFile(entries, 3);
    const std::vector<BlockEntryInfo> back = read(block);
    ASSERT_EQ(back.size(), entries.size());
    std::size_t file = 0;
    for (std::size_t i = 0; i < back.size(); ++i) {
        SCOPED_TRACE(back[i].name);
        EXPECT_EQ(back[i].name, entries[i].name);
        EXPECT_EQ(back[i].executable, entries[i].executable);
        if (entries[i].kind == EntryKind::link) {
            EXPECT_EQ(back[i].flags, kEntryFlagLink);
            EXPECT_EQ(back[i].linkText, "../main");
            continue;
        }
        EXPECT_EQ(back[i].flags & kEntryFlagCompressed, kEntryFlagCompressed);
        const std::string frame = block.substr(back[i].contentOffset, back[i].size);
        EXPECT_LT(frame.size(), contents[file].size());
        EXPECT_EQ(back[i].unpackedSize, contents[file].size());
        EXPECT_TRUE(frameHeader(frame).checksumFlag);
        EXPECT_TRUE(unpack(frame) == contents[file]);
        ++file;
    }
    EXPECT_GT(back[2].size, std::uint64_t{1} << 20) << "the frame should outgrow the output buffer";
}

// A content whose frame would not be smaller goes in as it would without
// compression, flag included, whether the frame given up was still in the
// output buffer or already in the file (more than the buffer's 1 MiB): a
// block of such contents is byte for byte the uncompressed block.
TEST_F(CompressedBlockTest, AContentThatDoesNotShrinkIsStoredAsItIs) {
    const std::vector<PayloadEntry> entries = {
        file("main", randomBytes(3 << 20, 1), true), file("empty", ""), file("five", "hello"),
        linkEntry("l", "five"), file("small", randomBytes(5000, 2))};
    const std::string compressed = writeToFile(entries, 3);
    const std::string plain = writeToFile(entries, std::nullopt);
    EXPECT_TRUE(compressed == plain);
    for (const BlockEntryInfo& entry : read(compressed)) EXPECT_FALSE(entry.compressed) << entry.name;
}

// Frames are the same for the same content, at every level the command line
// takes, and the level matters.
TEST_F(CompressedBlockTest, TheSameContentGivesTheSameFrame) {
    const std::string content = lines(100000);
    std::string previous;
    for (const int level : {1, 3, 19}) {
        SCOPED_TRACE("level " + std::to_string(level));
        tool::ContentCompressor first(level);
        tool::ContentCompressor second(level);
        const std::optional<std::string> frame = compress(first, content);
        ASSERT_TRUE(frame.has_value());
        // A context that made another frame before makes the same one.
        ASSERT_TRUE(compress(second, lines(5000)).has_value());
        EXPECT_TRUE(compress(second, content) == frame);
        EXPECT_TRUE(unpack(*frame) == content);
        EXPECT_TRUE(*frame != previous);
        previous = *frame;
    }
}

// A level whose own window would exceed the decoder's 8 MiB gets 8 MiB at
// most: a content larger than a frame is cut into frames, none with a larger
// window. The command line stops at 19, whose window is smaller with this
// zstd, so the levels above show it (on zeros, which even they pack at once).
TEST_F(CompressedBlockTest, TheWindowNeverExceedsWhatTheDecoderHolds) {
    const std::string content(9 << 20, '\0');
    for (const int level : {20, 22}) {
        SCOPED_TRACE("level " + std::to_string(level));
        ASSERT_GT(ZSTD_getCParams(level, content.size(), 0).windowLog, kDecoderWindowLog)
            << "the level no longer asks for a larger window: the test shows nothing";
        tool::ContentCompressor compressor(level);
        const std::optional<std::string> frames = compress(compressor, content);
        ASSERT_TRUE(frames.has_value());
        std::string unpacked;
        for (std::size_t start = 0; start < frames->size();) {
            const std::size_t bytes = ZSTD_findFrameCompressedSize(frames->data() + start, frames->size() - start);
            ASSERT_FALSE(ZSTD_isError(bytes));
            const std::string frame = frames->substr(start, bytes);
            EXPECT_LE(frameHeader(frame).windowSize, kDecoderWindowBytes);
            unpacked += unpack(frame);
            start += bytes;
        }
        EXPECT_TRUE(unpacked == content);
    }
}

TEST_F(CompressedBlockTest, AFileThatChangedSinceTheScanIsRefused) {
    for (const std::uint64_t claimed : {std::uint64_t{4}, std::uint64_t{100000}}) {
        PayloadEntry entry = file("a", lines(50000));
        entry.size = claimed;
        try {
            writeToFile({entry}, 3);
            ADD_FAILURE() << "a changed source was written";
        } catch (const tool::ToolError& error) {
            EXPECT_NE(std::string(error.what()).find("changed while being packed"), std::string::npos)
                << error.what();
        }
    }
}

// The reader takes a compressed entry's unpacked size from its frame header
// and refuses one that the launcher's decoder would refuse for its header.
TEST(CompressedBlockReaderTest, ReadsTheUnpackedSizeFromTheFrameHeader) {
    const std::string content = lines(70000);
    const std::string frame = frameOf(content, true);
    const std::vector<BlockEntryInfo> entries = read(wholeBlock(
        fileRecord("a", kEntryFlagCompressed | kEntryFlagExecutable, frame) + fileRecord("b", 0, content) +
        fileRecord("c", 0xf8 | kEntryFlagExecutable, "xyz")));
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_TRUE(entries[0].compressed);
    EXPECT_TRUE(entries[0].executable);
    EXPECT_EQ(entries[0].size, frame.size());
    EXPECT_EQ(entries[0].unpackedSize, content.size());
    EXPECT_FALSE(entries[1].compressed);
    EXPECT_EQ(entries[1].unpackedSize, content.size());
    // Bits 3 to 7 mean nothing.
    EXPECT_FALSE(entries[2].compressed);
    EXPECT_EQ(entries[2].unpackedSize, 3u);
}

struct FrameDefect {
    const char* what;
    std::string records;
    const char* message;
};

TEST(CompressedBlockReaderTest, RefusesWhatTheDecoderWouldRefuseForItsHeader) {
    const std::string content = lines(70000);
    const std::string frame = frameOf(content, true);
    // A whole frame spelled out: magic, descriptor (4-byte content size, no
    // checksum, window descriptor present), window 2^(10 + 14) = 16 MiB,
    // content size 3, then one raw last block of 3 bytes. Its only fault is
    // the window.
    const std::string wideWindow =
        std::string("\x28\xb5\x2f\xfd\x80\x70", 6) + littleEndian(3).substr(0, 4) + std::string("\x19\0\0", 3) + "abc";
    ASSERT_EQ(unpack(wideWindow), "abc");
    const std::string skippable = std::string("\x50\x2a\x4d\x18", 4) + littleEndian(3).substr(0, 4) + "abc";
    const std::vector<FrameDefect> defects = {
        {"a link flagged compressed", linkRecord("l", kEntryFlagLink | kEntryFlagCompressed, "t"),
         "entry 1 at byte 3: a link flagged compressed"},
        {"no frame at all", fileRecord("a", kEntryFlagCompressed, content.substr(0, 100)),
         "entry 1 at byte 3: compressed content does not start with a zstd frame header"},
        {"an empty content", fileRecord("a", kEntryFlagCompressed, ""), "does not start with a zstd frame header"},
        {"a header cut short", fileRecord("a", kEntryFlagCompressed, frame.substr(0, 5)),
         "does not start with a zstd frame header"},
        {"no unpacked size", fileRecord("a", 0, "x") + fileRecord("b", kEntryFlagCompressed, frameOf(content, false)),
         "entry 2 at byte 15: compressed content's frame header does not state the unpacked size"},
        {"a window of 16 MiB", fileRecord("a", kEntryFlagCompressed, wideWindow),
         "compressed content asks for a window of 16777216 bytes, more than the decoder's 8388608"},
        {"a skippable frame", fileRecord("a", kEntryFlagCompressed, skippable),
         "compressed content is a skippable frame, not a zstd frame"},
        {"no checksum", fileRecord("a", kEntryFlagCompressed, frameOf(content, true, false)),
         "compressed content's frame has no checksum"},
    };
    for (const FrameDefect& defect : defects) {
        SCOPED_TRACE(defect.what);
        try {
            read(wholeBlock(defect.records));
            ADD_FAILURE() << "accepted";
        } catch (const tool::FormatError& error) {
            EXPECT_NE(std::string(error.what()).find(defect.message), std::string::npos) << error.what();
        }
    }
}

}  // namespace
}  // namespace onefile::testing
