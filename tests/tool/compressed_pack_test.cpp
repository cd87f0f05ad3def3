// Compressed launchers as a user makes and runs them: `pack --compress`,
// `attach --decoder` and `list` of what they make, and the launchers run
// with the probe as their application, which copies out what was unpacked.
#include <elf.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <sstream>

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader, ZSTD_findFrameCompressedSize
#include <zstd.h>

#include "format/launcher_config.h"
#include "format/payload_format.h"
#include "tests/support/file_helpers.h"
#include "tests/support/temp_dir.h"
#include "tests/tool/block_records.h"
#include "tests/tool/content_samples.h"
#include "tests/tool/tool_test_helpers.h"
#include "tool/payload_locate.h"
#include "tool/stub_layout.h"

namespace onefile::testing {
namespace {

inline constexpr int kFailureStatus = 1;
inline constexpr int kUsageStatus = 2;
inline constexpr std::uint64_t kDecoderWindowBytes = std::uint64_t{8} << 20;
inline constexpr char kDamagedMessage[] = "Error, attached data is damaged.";

// Whether every byte between the program headers and the payload section of
// `launcher` is the stub's at `stubPath`: its code, data and their padding.
bool madeFrom(const std::string& launcher, const std::string& stubPath) {
    const std::vector<unsigned char> made = readBytes(launcher);
    const std::vector<unsigned char> stub = readBytes(stubPath);
    const tool::StubLayout layout = tool::checkStubLayout(made);
    const tool::StubLayout stubLayout = tool::checkStubLayout(stub);
    const std::uint64_t payloadOffset = layout.sections[layout.payloadSection].sh_offset;
    if (layout.header.e_machine != stubLayout.header.e_machine ||
        payloadOffset != stubLayout.sections[stubLayout.payloadSection].sh_offset)
        return false;
    const std::uint64_t tablesEnd = layout.header.e_phoff + layout.header.e_phnum * sizeof(Elf64_Phdr);
    return std::equal(made.begin() + static_cast<std::ptrdiff_t>(tablesEnd),
                      made.begin() + static_cast<std::ptrdiff_t>(payloadOffset),
                      stub.begin() + static_cast<std::ptrdiff_t>(tablesEnd));
}

// One file of the application tree the round trips pack.
struct TreeFile {
    std::string name;
    mode_t mode;
    bool compressed;  // whether its frame is smaller than its content
};

// Every kind of entry: the main executable (the probe), another executable,
// plain files, an empty file, one too short to shrink, a link, 20 MB that
// cannot shrink, and text that shrinks to almost nothing: exactly one frame's
// worth, one byte more (a second frame of one byte), and 20 MiB (three frames,
// the last one short; more than the decoder's 8 MiB window).
const std::vector<TreeFile>& treeFiles() {
    static const std::vector<TreeFile> files = {
        {"probe", 0755, true},
        {"bin/helper", 0750, false},
        {"data/one-frame", 0644, true},
        {"data/one-frame-and-a-byte", 0644, true},
        {"data/random.bin", 0640, false},
        {"data/text.log", 0644, true},
        {"empty", 0600, false},
        {"share/notes.txt", 0444, true},
        {"tiny", 0644, false},
    };
    return files;
}
const char kLinkName[] = "lib/notes";
const char kLinkText[] = "../share/notes.txt";

// What a launcher run left: the probe's report and the copies it made.
class CompressedPackTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        tree_ = new TempDir;
        const std::string app = tree_->file("app");
        writeFile(app + "/probe", readFile(ONEFILE_PROBE_PATH), 0755);
        writeFile(app + "/bin/helper", "#!/bin/sh\necho helper\n", 0750);
        writeFile(app + "/data/random.bin", randomBytes(20000000, 42), 0640);
        writeFile(app + "/data/one-frame", repeatedText(kCompressedFrameBytes), 0644);
        writeFile(app + "/data/one-frame-and-a-byte", repeatedText(kCompressedFrameBytes + 1), 0644);
        writeFile(app + "/data/text.log", repeatedText(20 << 20), 0644);
        writeFile(app + "/empty", "", 0600);
        writeFile(app + "/share/notes.txt", repeatedText(300000).substr(1000), 0444);
        writeFile(app + "/tiny", "hi\n", 0644);
        makeSymlink(kLinkText, app + "/" + kLinkName);
    }

    static void TearDownTestSuite() {
        delete tree_;
        tree_ = nullptr;
    }

    static std::string app() { return tree_->file("app"); }

    ProcessResult pack(const std::string& output, const std::vector<std::string>& extra) {
        std::vector<std::string> arguments = {"pack", app(), "--main", "probe", "-o", output};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return runTool(arguments);
    }

    std::string list(const std::string& launcher) {
        const ProcessResult result = runTool({"list", launcher});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return result.out;
    }

    // Runs `launcher` with a private TMPDIR; the probe reports its tree and
    // copies its files out. The launcher must leave nothing in TMPDIR.
    ProbeRun run(const std::string& launcher) {
        const std::string name = std::to_string(runs_++);
        const std::string tmp = dir_.file("tmp-" + name);
        ProbeRun run = runProbeLauncher(launcher, tmp, dir_.file("report-" + name), dir_.file("copies-" + name), 022);
        EXPECT_EQ(listDirectory(tmp), std::vector<std::string>{}) << launcher;
        return run;
    }

    static TempDir* tree_;
    TempDir dir_;
    int runs_ = 0;
};

TempDir* CompressedPackTest::tree_ = nullptr;

class CompressedRoundTripTest : public CompressedPackTest, public ::testing::WithParamInterface<int> {};

// Packed at each level, twice, and run: the same bytes both times, every
// content frames of kCompressedFrameBytes unless that would not be smaller, and what the launcher
// unpacks is the input, byte for byte, with the modes the plain launcher
// gives.
TEST_P(CompressedRoundTripTest, UnpacksEveryEntryAsItWasAndPacksTheSameBytesEachTime) {
    const std::string level = "--compress=" + std::to_string(GetParam());
    const std::string launcher = dir_.file("compressed");
    const std::string plain = dir_.file("plain");
    ASSERT_EQ(pack(launcher, {level}).exitCode, 0);
    const ProcessResult again = pack(dir_.file("again"), {level});
    ASSERT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(again.err, "");
    EXPECT_TRUE(readFile(launcher) == readFile(dir_.file("again")));
    ASSERT_EQ(pack(plain, {}).exitCode, 0);
    EXPECT_TRUE(madeFrom(launcher, ONEFILE_DECODER_STUB_PATH));
    EXPECT_LT(std::filesystem::file_size(launcher), std::filesystem::file_size(plain));

    // The block: which contents are frames, and what each frame says.
    const LauncherContents contents = readLauncher(launcher);
    ASSERT_EQ(contents.entries.size(), treeFiles().size() + 1);
    for (std::size_t i = 0; i < contents.entries.size(); ++i) {
        const tool::BlockEntryInfo& entry = contents.entries[i];
        SCOPED_TRACE(entry.name);
        if (entry.name == kLinkName) {
            EXPECT_EQ(entry.flags, kEntryFlagLink);
            EXPECT_EQ(entry.linkText, kLinkText);
            continue;
        }
        const auto file = std::find_if(treeFiles().begin(), treeFiles().end(),
                                       [&entry](const TreeFile& f) { return f.name == entry.name; });
        ASSERT_NE(file, treeFiles().end());
        const std::string input = readFile(app() + "/" + entry.name);
        EXPECT_EQ(entry.compressed, file->compressed);
        EXPECT_EQ(entry.flags & ~kEntryFlagCompressed, (file->mode & 0111) != 0 ? kEntryFlagExecutable : 0);
        EXPECT_EQ(entry.unpackedSize, input.size());
        if (!entry.compressed) {
            EXPECT_TRUE(contents.content(i) == input);
            continue;
        }
        const std::string frames = contents.content(i);
        EXPECT_LT(frames.size(), input.size());
        // Frames back to back, each of kCompressedFrameBytes but the last.
        std::uint64_t unpackedBytes = 0;
        for (std::size_t start = 0; start < frames.size();) {
            const std::size_t bytes = ZSTD_findFrameCompressedSize(frames.data() + start, frames.size() - start);
            ASSERT_FALSE(ZSTD_isError(bytes));
            ZSTD_frameHeader header{};
            ASSERT_EQ(ZSTD_getFrameHeader(&header, frames.data() + start, bytes), 0u);
            start += bytes;
            EXPECT_EQ(header.frameType, ZSTD_frame);
            EXPECT_EQ(header.frameContentSize, std::min<std::uint64_t>(input.size() - unpackedBytes, kCompressedFrameBytes));
            EXPECT_EQ(header.checksumFlag, 1u);
            EXPECT_EQ(header.dictID, 0u);
            EXPECT_LE(header.windowSize, kDecoderWindowBytes);
            unpackedBytes += header.frameContentSize;
        }
        EXPECT_EQ(unpackedBytes, input.size());
    }
    EXPECT_EQ(list(launcher), list(plain));

    const ProbeRun compressedRun = run(launcher);
    const ProbeRun plainRun = run(plain);
    ASSERT_EQ(compressedRun.result.exitCode, 0) << compressedRun.result.err;
    ASSERT_EQ(plainRun.result.exitCode, 0) << plainRun.result.err;
    EXPECT_EQ(compressedRun.tree, plainRun.tree);
    // "file MODE SIZE NAME": executable exactly where the input was.
    std::map<std::string, std::pair<mode_t, std::uint64_t>> unpacked;
    for (const std::string& line : compressedRun.tree) {
        std::istringstream fields(line);
        std::string kind, mode, name;
        std::uint64_t size = 0;
        if (fields >> kind >> mode >> size >> name && kind == "file")
            unpacked[name] = {static_cast<mode_t>(std::stoul(mode, nullptr, 8)), size};
    }
    ASSERT_EQ(unpacked.size(), treeFiles().size());
    for (const TreeFile& file : treeFiles()) {
        SCOPED_TRACE(file.name);
        const std::string input = readFile(app() + "/" + file.name);
        EXPECT_EQ(unpacked[file.name].second, input.size());
        if ((file.mode & 0111) != 0) EXPECT_EQ(unpacked[file.name].first & 0100, 0100u);
        else EXPECT_EQ(unpacked[file.name].first & 0111, 0u);
        EXPECT_TRUE(readFile(compressedRun.copies + "/" + file.name) == input);
    }
    const std::string link = std::string("link 0777 ") + kLinkName + " -> " + kLinkText;
    EXPECT_NE(std::find(compressedRun.tree.begin(), compressedRun.tree.end(), link), compressedRun.tree.end());
}

INSTANTIATE_TEST_SUITE_P(Levels, CompressedRoundTripTest, ::testing::Values(1, 3, 19),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "level" + std::to_string(info.param);
                         });

TEST_F(CompressedPackTest, CompressWithoutALevelIsLevel3) {
    for (const char* option : {"--compress", "--compress=3", "--compress=1"})
        ASSERT_EQ(pack(dir_.file(option), {option}).exitCode, 0) << option;
    const std::string byDefault = readFile(dir_.file("--compress"));
    EXPECT_TRUE(byDefault == readFile(dir_.file("--compress=3")));
    EXPECT_TRUE(byDefault != readFile(dir_.file("--compress=1")));
}

// Without --compress nothing changes: the plain stub, no entry flagged
// compressed, and the same bytes as attaching the block to the plain stub.
// With it, the same bytes as attaching its block with --decoder, although
// its block could not be measured before it was written, but for the
// records pack alone writes: the level it compressed with, and so the
// digest.
TEST_F(CompressedPackTest, EachLauncherIsItsBlockAttachedToItsStub) {
    const std::string plain = dir_.file("plain");
    const std::string compressed = dir_.file("compressed");
    ASSERT_EQ(pack(plain, {}).exitCode, 0);
    ASSERT_EQ(pack(compressed, {"--compress"}).exitCode, 0);
    EXPECT_TRUE(madeFrom(plain, ONEFILE_STUB_PATH));
    EXPECT_FALSE(madeFrom(plain, ONEFILE_DECODER_STUB_PATH));
    for (const tool::BlockEntryInfo& entry : readLauncher(plain).entries) EXPECT_FALSE(entry.compressed);

    for (const auto& [launcher, extra] : std::vector<std::pair<std::string, std::vector<std::string>>>{
             {plain, {}}, {compressed, {"--decoder"}}}) {
        SCOPED_TRACE(launcher);
        const LauncherContents contents = readLauncher(launcher);
        const std::string blockFile = launcher + ".block";
        const auto start = contents.file.begin() + static_cast<std::ptrdiff_t>(contents.blockOffset);
        writeFile(blockFile, std::string(start, start + static_cast<std::ptrdiff_t>(contents.blockSize)));
        std::vector<std::string> arguments = {"attach", blockFile, "-o", launcher + ".attached"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        const ProcessResult result = runTool(arguments);
        ASSERT_EQ(result.exitCode, 0) << result.err;
        std::vector<unsigned char> packed = contents.file;
        std::vector<unsigned char> attached = readBytes(launcher + ".attached");
        if (launcher == compressed) {
            ASSERT_EQ(attached.size(), packed.size());
            const std::uint64_t records = tool::locatePayloadSection(packed).offset + kFirstLayoutConfigBytes;
            for (auto* bytes : {&packed, &attached})
                std::fill(bytes->begin() + static_cast<std::ptrdiff_t>(records),
                          bytes->begin() + static_cast<std::ptrdiff_t>(records + kFirstLayoutConfigBytes), 0);
        }
        EXPECT_TRUE(attached == packed);
    }
}

struct StubCase {
    const char* what;
    std::vector<std::string> arguments;
    std::string stub;  // the stub whose code the launcher must carry
};

// pack --compress takes the decoder stub of the architecture asked for, and
// attach takes it with --decoder; a --stub file is what it is.
TEST_F(CompressedPackTest, TheDecoderStubIsTakenForCompressedLaunchers) {
    const std::string block = dir_.file("block");
    writeFile(block, wholeBlock(fileRecord("main", kEntryFlagExecutable, "x")));
    const std::vector<StubCase> cases = {
        {"pack --compress", {"pack", app(), "--main", "probe", "--compress=1"}, ONEFILE_DECODER_STUB_PATH},
        {"pack --compress --arch aarch64", {"pack", app(), "--main", "probe", "--compress=1", "--arch", "aarch64"},
         ONEFILE_DECODER_STUB_AARCH64_PATH},
        {"pack --compress --stub the plain stub", {"pack", app(), "--main", "probe", "--compress=1", "--stub",
         ONEFILE_STUB_PATH}, ONEFILE_STUB_PATH},
        {"pack --stub the aarch64 decoder stub", {"pack", app(), "--main", "probe", "--stub",
         ONEFILE_DECODER_STUB_AARCH64_PATH}, ONEFILE_DECODER_STUB_AARCH64_PATH},
        {"attach", {"attach", block}, ONEFILE_STUB_PATH},
        {"attach --decoder", {"attach", block, "--decoder"}, ONEFILE_DECODER_STUB_PATH},
        {"attach --decoder --arch aarch64", {"attach", block, "--arch=aarch64", "--decoder"},
         ONEFILE_DECODER_STUB_AARCH64_PATH},
        {"attach --arch aarch64", {"attach", block, "--arch=aarch64"}, ONEFILE_STUB_AARCH64_PATH},
    };
    // Each stub's code differs from every other's: the comparison tells them apart.
    const std::string made = dir_.file("made");
    for (const StubCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> arguments = c.arguments;
        arguments.insert(arguments.end(), {"-o", made});
        const ProcessResult result = runTool(arguments);
        ASSERT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.err, "");
        for (const std::string& stub : {std::string(ONEFILE_STUB_PATH), std::string(ONEFILE_DECODER_STUB_PATH),
                                        std::string(ONEFILE_STUB_AARCH64_PATH),
                                        std::string(ONEFILE_DECODER_STUB_AARCH64_PATH)})
            EXPECT_EQ(madeFrom(made, stub), stub == c.stub) << stub;
    }
}

// A hand-made block of compressed entries: attached with --decoder it runs
// and unpacks; attached to the plain stub it is damage.
TEST_F(CompressedPackTest, AttachDecoderMakesAHandMadeCompressedBlockRun) {
    const std::string probe = readFile(ONEFILE_PROBE_PATH);
    const std::string data = repeatedText(100000);
    writeFile(dir_.file("block"),
              wholeBlock(fileRecord("probe", kEntryFlagExecutable | kEntryFlagCompressed, frameOf(probe)) +
                         fileRecord("dir/data", kEntryFlagCompressed, frameOf(data))));
    ASSERT_EQ(runTool({"attach", dir_.file("block"), "-o", dir_.file("decoder"), "--decoder"}).exitCode, 0);
    ASSERT_EQ(runTool({"attach", dir_.file("block"), "-o", dir_.file("plain")}).exitCode, 0);
    EXPECT_EQ(list(dir_.file("decoder")), "file\tx\t" + std::to_string(probe.size()) + "\tprobe\n" +
                                              "file\t-\t" + std::to_string(data.size()) + "\tdir/data\n");

    const ProbeRun decoded = run(dir_.file("decoder"));
    ASSERT_EQ(decoded.result.exitCode, 0) << decoded.result.err;
    EXPECT_TRUE(readFile(decoded.copies + "/dir/data") == data);
    EXPECT_TRUE(readFile(decoded.copies + "/probe") == probe);

    const ProbeRun refused = run(dir_.file("plain"));
    EXPECT_NE(refused.result.exitCode, 0);
    EXPECT_NE(refused.result.err.find(kDamagedMessage), std::string::npos) << refused.result.err;
    EXPECT_FALSE(std::filesystem::exists(refused.copies));
}

struct DamagedEntry {
    const char* what;
    std::string record;
    std::string message;  // what list says after "entry 2 at byte N: "
};

// What list reports as damage in a compressed entry, the decoder stub's
// launcher refuses as damage too, before the application starts.
TEST_F(CompressedPackTest, ListAndTheLauncherAgreeOnDamagedCompressedEntries) {
    const std::string main = fileRecord("probe", kEntryFlagExecutable, readFile(ONEFILE_PROBE_PATH));
    const std::string text = repeatedText(50000);
    const std::string frame = frameOf(text);
    // A whole frame whose only fault is its window, 2^(10 + 14) = 16 MiB:
    // magic, descriptor (4-byte content size, window descriptor present),
    // window, content size, then four blocks that each repeat one byte
    // 128 KiB times. Its content is larger than what the launcher decodes
    // in one go, which it would do without asking about the window.
    const std::uint64_t wideContentBytes = std::uint64_t{4} << 17;
    std::string wideWindow = std::string("\x28\xb5\x2f\xfd\x80\x70", 6) + littleEndian(wideContentBytes).substr(0, 4);
    for (int block = 0; block < 4; ++block) {
        const std::uint32_t header = (std::uint32_t{1} << 17) << 3 | 1u << 1 | (block == 3 ? 1u : 0u);
        wideWindow += littleEndian(header).substr(0, 3) + "w";
    }
    std::string wideContent(wideContentBytes, '\0');
    ASSERT_EQ(ZSTD_decompress(wideContent.data(), wideContent.size(), wideWindow.data(), wideWindow.size()),
              wideContentBytes);
    ASSERT_EQ(wideContent, std::string(wideContentBytes, 'w'));
    ZSTD_CCtx* context = ZSTD_createCCtx();
    (void)ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 0);
    std::string sizeless(ZSTD_compressBound(text.size()), '\0');
    sizeless.resize(ZSTD_compress2(context, sizeless.data(), sizeless.size(), text.data(), text.size()));
    ZSTD_freeCCtx(context);
    ASSERT_EQ(ZSTD_getFrameContentSize(sizeless.data(), sizeless.size()), ZSTD_CONTENTSIZE_UNKNOWN);

    const std::vector<DamagedEntry> cases = {
        {"a link flagged compressed", linkRecord("l", kEntryFlagLink | kEntryFlagCompressed, "probe"),
         "a link flagged compressed"},
        {"no frame", fileRecord("d", kEntryFlagCompressed, text.substr(0, 64)),
         "compressed content does not start with a zstd frame header"},
        {"a frame without its size", fileRecord("d", kEntryFlagCompressed, sizeless),
         "compressed content's frame header does not state the unpacked size"},
        {"a window of 16 MiB", fileRecord("d", kEntryFlagCompressed, wideWindow),
         "compressed content asks for a window of 16777216 bytes, more than the decoder's 8388608"},
    };
    for (const DamagedEntry& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string launcher = dir_.file("launcher");
        writeFile(dir_.file("block"), wholeBlock(main + c.record));
        ASSERT_EQ(runTool({"attach", dir_.file("block"), "-o", launcher, "--decoder"}).exitCode, 0);
        const ProcessResult listed = runTool({"list", launcher});
        EXPECT_EQ(listed.exitCode, kFailureStatus);
        EXPECT_EQ(listed.out, "");
        EXPECT_EQ(listed.err, "onefile: " + launcher + ": entry 2 at byte " + std::to_string(3 + main.size()) +
                                  ": " + c.message + "\n");
        const ProbeRun refused = run(launcher);
        EXPECT_NE(refused.result.exitCode, 0);
        EXPECT_NE(refused.result.err.find(kDamagedMessage), std::string::npos) << refused.result.err;
        EXPECT_TRUE(refused.tree.empty());
    }
    // The same frame whole is no damage.
    writeFile(dir_.file("block"), wholeBlock(main + fileRecord("d", kEntryFlagCompressed, frame)));
    ASSERT_EQ(runTool({"attach", dir_.file("block"), "-o", dir_.file("whole"), "--decoder"}).exitCode, 0);
    const ProbeRun whole = run(dir_.file("whole"));
    ASSERT_EQ(whole.result.exitCode, 0) << whole.result.err;
    EXPECT_TRUE(readFile(whole.copies + "/d") == text);
}

// Levels go after "=" and are 1 to 19; --compress is pack's and --decoder
// attach's. Nothing is written for a malformed command line.
TEST(CompressCommandLineTest, BadLevelsAndMisplacedOptionsAreUsageErrors) {
    TempDir dir;
    const std::string out = dir.file("out");
    const std::string levels = "; --compress=LEVEL takes 1 to 19";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"pack", "app", "-o", out, "--compress=0"}, "pack: unknown compression level '0'" + levels},
        {{"pack", "app", "-o", out, "--compress=20"}, "pack: unknown compression level '20'" + levels},
        {{"pack", "app", "-o", out, "--compress=abc"}, "pack: unknown compression level 'abc'" + levels},
        {{"pack", "app", "-o", out, "--compress=-1"}, "pack: unknown compression level '-1'" + levels},
        {{"pack", "app", "-o", out, "--compress="}, "pack: unknown compression level ''" + levels},
        {{"pack", "app", "-o", out, "--compress=+3"}, "pack: unknown compression level '+3'" + levels},
        {{"pack", "app", "-o", out, "--compress= 3"}, "pack: unknown compression level ' 3'" + levels},
        {{"pack", "app", "-o", out, "--compress=03"}, "pack: unknown compression level '03'" + levels},
        {{"pack", "app", "-o", out, "--compress=4294967299"},
         "pack: unknown compression level '4294967299'" + levels},
        // A number after a bare --compress is refused, wherever APPDIR is.
        {{"pack", "app", "-o", out, "--compress", "3"}, "pack: '3' after --compress: did you mean --compress=3?"},
        {{"pack", "--compress", "19", "app", "-o", out}, "pack: '19' after --compress: did you mean --compress=19?"},
        {{"pack", "app", "-o", out, "--compress", "-1"}, "pack: unknown option '-1'"},
        {{"pack", "app", "-o", out, "--compress", "--compress=3"}, "pack: option '--compress' given twice"},
        {{"pack", "app", "-o", out, "--decoder"}, "pack: unknown option '--decoder'"},
        {{"attach", "block", "-o", out, "--compress"}, "attach: unknown option '--compress'"},
        {{"attach", "block", "-o", out, "--decoder=yes"}, "attach: option '--decoder' takes no value"},
        {{"attach", "block", "-o", out, "--decoder", "--decoder"}, "attach: option '--decoder' given twice"},
        {{"attach", "block", "-o", out, "--decoder", "--stub", "stub"},
         "attach: --decoder chooses a built-in stub; with --stub FILE, FILE decides"},
        {{"list", "launcher", "--compress"}, "list: unknown option '--compress'"},
    };
    for (const auto& [arguments, message] : cases) {
        const ProcessResult result = runTool(arguments);
        EXPECT_EQ(result.exitCode, kUsageStatus) << message;
        EXPECT_EQ(result.err, "onefile: " + message + "\nTry 'onefile --help' for more information.\n");
    }
    EXPECT_EQ(listDirectory(dir.path()), std::vector<std::string>{});
}

}  // namespace
}  // namespace onefile::testing
