// Blocks that the tool would never write, attached byte for byte: entries
// that try to leave the extraction directory, blocks that end inside an
// entry, names and paths at their length limits, and entries that collide.
#include <algorithm>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "tests/e2e/launcher_fixture.h"
#include "tests/support/file_helpers.h"

namespace onefile::e2e {
namespace {

namespace fs = std::filesystem;
using onefile::testing::readFile;
using onefile::testing::writeFile;

constexpr char kDamaged[] = "Error, attached data is damaged.\n";
constexpr std::size_t kPageBytes = 4096;
// A fixed template makes the extraction directory, and so every message
// that names a path in it, known in advance.
const std::vector<std::string> kFixedTemplate = {"--template", "{TEMP}/x"};
// A filler entry this large makes a block that the launcher writes with its
// writer threads on a machine with several processors; without it, the
// small blocks here are written by the main thread alone. Behaviour must not
// depend on which.
constexpr std::size_t kWriterThreadsFillerBytes = 2u << 20;
const std::size_t kFillerSizes[] = {0, kWriterThreadsFillerBytes};

std::string fillerTrace(std::size_t fillerBytes) {
    return fillerBytes == 0 ? "small block" : "block of 2 MiB (writer threads where there are processors)";
}

std::string escapeMessage(const std::string& name) {
    return "Error, entry name '" + name + "' leaves the extraction directory.\n";
}

class HandMadeBlockTest : public LauncherTest {
protected:
    // The extraction directory under kFixedTemplate.
    std::string extractionDirectory() const { return tmpDir() + "/x"; }
    // The same, as the kernel resolves it: how the hooks name it.
    std::string resolvedDirectory() const { return fs::canonical(tmpDir()).string() + "/x"; }

    LauncherRun runBlock(const std::string& block, onefile::testing::ProcessOptions options = {}) {
        return run({attach(block, kFixedTemplate)}, options);
    }

    // runBlock with a launcher made from the stub with hooks, which records
    // what the run made (ONEFILE_HOOK_MADE_LOG) into `made`: the record
    // outlives the removal that every fatal error ends with.
    LauncherRun runBlockRecording(const std::string& block, std::vector<std::string>* made,
                                  onefile::testing::ProcessOptions options = {}) {
        const std::string log = temp().file("made");
        fs::remove(log);
        std::vector<std::string> toolOptions = kFixedTemplate;
        toolOptions.insert(toolOptions.end(), {"--stub", kHookStubPath});
        options.setEnvironment["ONEFILE_HOOK_MADE_LOG"] = log;
        LauncherRun result = run({attach(block, toolOptions, "hooked-launcher")}, options);
        *made = readMadeLog(log);
        return result;
    }

    // What a run makes before it reaches an entry after the probe: the
    // extraction directory and the probe's file (see madeOnly).
    std::vector<std::string> directoryAndProbe() const {
        return {"mkdirat " + resolvedDirectory(), "openat " + resolvedDirectory() + "/probe"};
    }
};

TEST_F(HandMadeBlockTest, EntryNamesLeavingTheDirectoryAreRefusedBeforeAnythingIsWritten) {
    const std::string probe = readFile(kProbePath);
    fs::create_directories(temp().file("outside"));
    const std::vector<std::string> names = {
        "..", "../escaped", "../../escaped", "a/../../escaped", "a/..", "a/../b", "a/b/../../../escaped",
        "/escaped", "/", "//escaped",
    };
    for (const std::string& name : names) {
        for (bool asLink : {false, true}) {
            SCOPED_TRACE(name + (asLink ? " as a link" : " as a file"));
            BlockBuilder block;
            block.magic().file("probe", probe, kExecutable);
            if (asLink) block.link(name, "target");
            else block.file(name, "escaped\n");
            std::vector<std::string> made;
            const LauncherRun run = runBlockRecording(block.endMark().trailer().bytes(), &made);
            EXPECT_EQ(run.process.exitCode, 2);
            EXPECT_EQ(run.process.err, escapeMessage(name));
            EXPECT_FALSE(run.report.complete);
            // Nothing of the refused entry was made, not even a directory on
            // its way; the stop removed what was and nothing appeared beside
            // the extraction directory or above it.
            EXPECT_TRUE(madeOnly(made, directoryAndProbe()));
            EXPECT_EQ(tmpDirContents(), std::vector<std::string>{});
            EXPECT_FALSE(fs::exists(temp().file("escaped")));
            EXPECT_FALSE(fs::exists("/escaped"));
        }
    }
}

TEST_F(HandMadeBlockTest, NamesThatOnlyLookLikeParentComponentsAreExtracted) {
    const std::vector<std::string> names = {"...", "..x", "x..", "a/...b", ".hidden", "a/./b"};
    BlockBuilder block;
    block.magic().file("probe", readFile(kProbePath), kExecutable);
    for (const std::string& name : names) block.file(name, "ok");
    const LauncherRun run = runBlock(block.endMark().trailer().bytes());
    EXPECT_EQ(run.process.exitCode, 0) << run.process.err;
    ASSERT_TRUE(run.report.complete);
    for (const char* line : {"file 0644 2 ...", "file 0644 2 ..x", "file 0644 2 x..", "file 0644 2 a/...b",
                             "file 0644 2 .hidden", "file 0644 2 a/b"}) {
        EXPECT_NE(std::find(run.report.tree.begin(), run.report.tree.end(), line), run.report.tree.end())
            << line;
    }
}

TEST_F(HandMadeBlockTest, NothingIsWrittenThroughALinkTheBlockMadeEarlier) {
    const std::string outside = temp().file("outside");
    fs::create_directories(outside);
    writeFile(outside + "/kept", "kept\n");
    const std::string probe = readFile(kProbePath);
    const struct {
        const char* what;
        std::function<void(BlockBuilder&)> entries;
        std::string refusedName;
        // The call that would have written the refused entry.
        std::string refusedCall = "openat";
    } cases[] = {
        {"file below a link to an outside directory",
         [&](BlockBuilder& b) { b.link("l", outside).file("l/new", "x"); }, "l/new"},
        {"file below a link to the parent directory",
         [&](BlockBuilder& b) { b.link("l", "..").file("l/new", "x"); }, "l/new"},
        {"file below a link deeper down",
         [&](BlockBuilder& b) { b.link("a/l", "../..").file("a/l/b/new", "x"); }, "a/l/b/new"},
        {"file below a link to a directory inside",
         [&](BlockBuilder& b) { b.file("inside/f", "x").link("l", "inside").file("l/new", "x"); }, "l/new"},
        {"file written over a link to an outside file",
         [&](BlockBuilder& b) { b.link("l", outside + "/kept").file("l", "overwritten\n"); }, "l"},
        {"link below a link",
         [&](BlockBuilder& b) { b.link("l", outside).link("l/new", "x"); }, "l/new", "symlinkat"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        BlockBuilder block;
        block.magic().file("probe", probe, kExecutable);
        c.entries(block);
        std::vector<std::string> made;
        const LauncherRun run = runBlockRecording(block.endMark().trailer().bytes(), &made);
        EXPECT_EQ(run.process.exitCode, 2);
        EXPECT_EQ(run.process.err, escapeMessage(c.refusedName));
        EXPECT_FALSE(run.report.complete);
        EXPECT_EQ(readFile(outside + "/kept"), "kept\n");
        EXPECT_FALSE(fs::exists(outside + "/new"));
        EXPECT_FALSE(fs::exists(tmpDir() + "/new"));
        EXPECT_FALSE(fs::exists(tmpDir() + "/b"));
        // Everything the run made lies inside the extraction directory, the
        // refused entry is not among it, and the stop removed it all.
        ASSERT_FALSE(made.empty());
        EXPECT_EQ(made.front(), directoryAndProbe().front());
        for (const std::string& line : made) {
            const std::string path = line.substr(line.find(' ') + 1);
            EXPECT_TRUE(path == resolvedDirectory() || path.rfind(resolvedDirectory() + "/", 0) == 0) << line;
            EXPECT_NE(line, c.refusedCall + " " + resolvedDirectory() + "/" + c.refusedName);
        }
        EXPECT_EQ(tmpDirContents(), std::vector<std::string>{});
    }
}

TEST_F(HandMadeBlockTest, LaterEntriesReplaceEarlierOnesAtTheSamePath) {
    for (std::size_t fillerBytes : kFillerSizes) {
        SCOPED_TRACE(fillerTrace(fillerBytes));
        BlockBuilder block;
        block.magic().file("probe", readFile(kProbePath), kExecutable);
        if (fillerBytes != 0) block.file("filler", std::string(fillerBytes, 'f'));
        block.file("twice", "the first, longer content")
            .file("twice", "second")
            .file("file-then-link", "content")
            .link("file-then-link", "twice")
            .link("link-then-link", "first")
            .link("link-then-link", "second");
        onefile::testing::ProcessOptions options;
        const std::string copy = temp().file("copy-" + std::to_string(fillerBytes));
        options.setEnvironment["PROBE_COPY_TO"] = copy;
        const LauncherRun run = runBlock(block.endMark().trailer().bytes(), options);
        ASSERT_TRUE(run.report.complete) << run.process.err;
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(copy + "/twice")));
        if (fs::is_regular_file(copy + "/twice")) {
            EXPECT_EQ(readFile(copy + "/twice"), "second");
        }
        const auto& tree = run.report.tree;
        for (const char* line : {"link 0777 file-then-link -> twice", "link 0777 link-then-link -> second"}) {
            EXPECT_NE(std::find(tree.begin(), tree.end(), line), tree.end()) << line;
        }
    }
}

TEST_F(HandMadeBlockTest, CollisionsThatCannotBeResolvedEndWithTheOpenFailure) {
    const std::string probe = readFile(kProbePath);
    const struct {
        const char* what;
        std::function<void(BlockBuilder&)> entries;
        std::string failedPath;  // below the extraction directory
        // Made after the extraction directory and the probe, below the
        // extraction directory.
        std::vector<std::string> madeBefore;
    } cases[] = {
        {"file standing where a directory is needed",
         [](BlockBuilder& b) { b.file("a", "x").file("a/b", "x"); }, "a/b", {"openat a"}},
        {"directory standing where a file goes",
         [](BlockBuilder& b) { b.file("d/f", "x").file("d", "x"); }, "d", {"mkdirat d", "openat d/f"}},
        {"directory standing where a link goes",
         [](BlockBuilder& b) { b.file("d/f", "x").link("d", "elsewhere"); }, "d", {"mkdirat d", "openat d/f"}},
        {"empty link text", [](BlockBuilder& b) { b.link("l", ""); }, "l", {}},
    };
    for (std::size_t fillerBytes : kFillerSizes) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.what) + ", " + fillerTrace(fillerBytes));
            BlockBuilder block;
            block.magic().file("probe", probe, kExecutable);
            if (fillerBytes != 0) block.file("filler", std::string(fillerBytes, 'f'));
            c.entries(block);
            std::vector<std::string> made;
            const LauncherRun run = runBlockRecording(block.endMark().trailer().bytes(), &made);
            EXPECT_EQ(run.process.exitCode, 2);
            EXPECT_EQ(run.process.err,
                      "Error, failed to open '" + extractionDirectory() + "/" + c.failedPath + "' for writing.\n");
            EXPECT_EQ(run.process.out, "");
            // Nothing beyond the entries before the failure was made, and the
            // failure removed what was.
            std::vector<std::string> allowed = directoryAndProbe();
            if (fillerBytes != 0) allowed.push_back("openat " + resolvedDirectory() + "/filler");
            for (const std::string& line : c.madeBefore) {
                const std::size_t space = line.find(' ');
                allowed.push_back(line.substr(0, space) + " " + resolvedDirectory() + "/" + line.substr(space + 1));
            }
            EXPECT_TRUE(madeOnly(made, allowed));
            EXPECT_EQ(tmpDirContents(), std::vector<std::string>{}) << "the fatal error left files behind";
        }
    }
}

TEST_F(HandMadeBlockTest, BlockEndingInsideAnEntryIsDamagedAndNeverReadPast) {
    // Each block fills whole pages, and nothing is mapped behind the block: a
    // read past its end would crash the launcher instead of reporting.
    const struct {
        const char* what;
        std::string tail;  // the block's last bytes; a filler entry precedes them
    } cases[] = {
        {"end mark missing", ""},
        {"entry name without its NUL", "abc"},
        {"flags missing", BlockBuilder().text("a").bytes()},
        {"content size cut short", BlockBuilder().text("a").byte(0).raw(std::string("\x05\0\0", 3)).bytes()},
        {"content one byte short",
         BlockBuilder().text("a").byte(0).number(100).raw(std::string(99, 'c')).bytes()},
        {"content size beyond any block", BlockBuilder().text("a").byte(0).number(1ull << 62).raw("ccc").bytes()},
        {"link text without its NUL", BlockBuilder().text("l").byte(kLink).raw("target").bytes()},
    };
    constexpr std::size_t kFillerOverhead = 3 + sizeof("filler") + 1 + 8;  // magic, name, flags, size
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::size_t fillerBytes = 2 * kPageBytes - kFillerOverhead - c.tail.size();
        const std::string block =
            BlockBuilder().magic().file("filler", std::string(fillerBytes, 'f')).raw(c.tail).bytes();
        ASSERT_EQ(block.size(), 2 * kPageBytes);
        const LauncherRun run = runBlock(block);
        EXPECT_EQ(run.process.signal, 0) << "read past the block";
        EXPECT_EQ(run.process.exitCode, 2);
        EXPECT_EQ(run.process.err, kDamaged);
        EXPECT_EQ(run.process.out, "");
        // The filler entry was written; the stop removed it again.
        EXPECT_EQ(tmpDirContents(), std::vector<std::string>{});
    }
}

// A zstd frame whose header states `contentBytes`, asks for a window of
// 8 MiB and promises a checksum, followed by one raw block of `raw` and the
// checksum's four bytes: a frame that every reader walks by its headers, and
// that the decoder finds damaged (too little content, a wrong checksum).
std::string frameClaiming(std::uint64_t contentBytes, const std::string& raw = "x") {
    BlockBuilder frame;
    frame.raw(std::string("\x28\xb5\x2f\xfd", 4))
        .byte(0xc4)  // an 8-byte content size, no single segment, a checksum
        .byte((23 - 10) << 3)  // a window of 2^23 bytes
        .number(contentBytes)
        .byte(static_cast<std::uint8_t>(raw.size() << 3 | 1))  // the last block, raw
        .raw(std::string("\0\0", 2))
        .raw(raw)
        .raw(std::string(4, '\0'));
    return frame.bytes();
}

// Unpacked sizes that add up to more than 64 bits count, within an entry or
// over the block: what a reader would see as a small need is damage for
// list, info and extract alike, and the launcher stops before it writes a
// byte of content; the room check refuses even an entry whose size only
// wraps when it is rounded up to the file system's block.
TEST_F(HandMadeBlockTest, UnpackedSizesBeyond64BitsAreDamageForEveryReader) {
    constexpr std::uint64_t kEightMiB = std::uint64_t{8} << 20;
    constexpr std::uint8_t kCompressed = 0x04;
    const struct {
        const char* what;
        std::string block;
        bool toolsRefuse;                 // whether the sum wraps for the tools too
        std::vector<std::string> opened;  // entries the launcher opens before the damage shows
    } cases[] = {
        {"frames of one entry: 8 MiB, then 2^64 - 8 MiB + 5",
         BlockBuilder()
             .magic()
             .file("big", frameClaiming(kEightMiB) + frameClaiming(0 - kEightMiB + 5), kCompressed)
             .endMark()
             .trailer()
             .bytes(),
         true, {"big"}},
        {"two entries of 2^63 each",
         BlockBuilder()
             .magic()
             .file("a", frameClaiming(std::uint64_t{1} << 63), kCompressed)
             .file("b", frameClaiming(std::uint64_t{1} << 63), kCompressed)
             .endMark()
             .trailer()
             .bytes(),
         true, {}},
        // The largest size a frame header states: zstd takes 2^64 - 1 and
        // 2^64 - 2 for "unknown" and "error".
        {"one entry of 2^64 - 3, rounded up to a file system block",
         BlockBuilder().magic().file("a", frameClaiming(0 - std::uint64_t{3}), kCompressed).endMark().trailer().bytes(),
         false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string launcher = attach(c.block, {"--decoder"});
        if (c.toolsRefuse) {
            const std::string out = temp().file("out");
            for (const std::vector<std::string>& command : std::vector<std::vector<std::string>>{
                     {"list", launcher}, {"info", launcher}, {"info", launcher, "--json"}, {"extract", launcher, out}}) {
                SCOPED_TRACE(command[0]);
                const onefile::testing::ProcessResult result = runTool(command);
                EXPECT_EQ(result.exitCode, 1);
                EXPECT_EQ(result.out, "");
                EXPECT_TRUE(result.err.starts_with("onefile: " + launcher + ": entry ")) << result.err;
                EXPECT_TRUE(result.err.ends_with(": more than 18446744073709551615 bytes in all\n")) << result.err;
                EXPECT_FALSE(fs::exists(out));
            }
        }
        std::vector<std::string> made;
        const LauncherRun run = runBlockRecording(c.block, &made);
        EXPECT_EQ(run.process.exitCode, 2);
        EXPECT_EQ(run.process.err, kDamaged);
        std::vector<std::string> expected = {"mkdirat " + resolvedDirectory()};
        for (const std::string& name : c.opened) expected.push_back("openat " + resolvedDirectory() + "/" + name);
        EXPECT_EQ(made, expected);
    }
}

TEST_F(HandMadeBlockTest, NamesAndLinkTextsUpTo1023BytesFitAndLongerOnesStop) {
    // 1023 bytes in components that the file system accepts.
    const std::string component(250, 'n');
    const std::string longName =
        component + "/" + component + "/" + component + "/" + component + "/" + std::string(19, 'n');
    ASSERT_EQ(longName.size(), 1023u);
    const std::string longText = std::string(1023, 't');
    const std::string probe = readFile(kProbePath);
    {
        SCOPED_TRACE("1023 bytes");
        const LauncherRun run = runBlock(BlockBuilder()
                                             .magic()
                                             .file("probe", probe, kExecutable)
                                             .file(longName, "long")
                                             .link("l", longText)
                                             .endMark()
                                             .trailer()
                                             .bytes());
        EXPECT_EQ(run.process.exitCode, 0) << run.process.err;
        ASSERT_TRUE(run.report.complete);
        const auto& tree = run.report.tree;
        EXPECT_NE(std::find(tree.begin(), tree.end(), "file 0644 4 " + longName), tree.end());
        EXPECT_NE(std::find(tree.begin(), tree.end(), "link 0777 l -> " + longText), tree.end());
    }
    const struct {
        const char* what;
        std::function<void(BlockBuilder&)> entry;
    } tooLong[] = {
        {"entry name of 1024 bytes", [&](BlockBuilder& b) { b.file(longName + "n", "long"); }},
        {"link text of 1024 bytes", [&](BlockBuilder& b) { b.link("l", longText + "t"); }},
    };
    for (const auto& c : tooLong) {
        SCOPED_TRACE(c.what);
        BlockBuilder block;
        block.magic().file("probe", probe, kExecutable);
        c.entry(block);
        std::vector<std::string> made;
        const LauncherRun run = runBlockRecording(block.endMark().trailer().bytes(), &made);
        EXPECT_EQ(run.process.exitCode, 2);
        EXPECT_TRUE(std::regex_match(run.process.err, std::regex("Error, [^\n]+ does not fit its buffer\\.\n")))
            << run.process.err;
        // The stop writes nothing of this entry and removes the earlier one.
        EXPECT_TRUE(madeOnly(made, directoryAndProbe()));
        EXPECT_EQ(tmpDirContents(), std::vector<std::string>{});
    }
}

TEST_F(HandMadeBlockTest, TargetPathOf4095BytesIsWrittenAnd4096Stops) {
    // A deep real TMPDIR makes room for target paths near the limit: the
    // extraction directory is TMPDIR + "/x", the target path that plus "/"
    // and the entry name.
    constexpr std::size_t kTemporaryDirectoryBytes = 3200;
    std::string deep = temp().file("deep");
    while (deep.size() < kTemporaryDirectoryBytes) {
        deep += "/" + std::string(std::min<std::size_t>(200, kTemporaryDirectoryBytes - deep.size() - 1), 'd');
    }
    ASSERT_EQ(deep.size(), kTemporaryDirectoryBytes);
    fs::create_directories(deep);
    const std::size_t nameBytes = 4095 - (deep.size() + 2) - 1;
    const std::string name = std::string(200, 'a') + "/" + std::string(200, 'b') + "/" +
                             std::string(200, 'c') + "/" + std::string(200, 'e') + "/" +
                             std::string(nameBytes - 4 * 201, 'f');
    ASSERT_EQ(name.size(), nameBytes);
    const std::string probe = readFile(kProbePath);
    onefile::testing::ProcessOptions options;
    options.setEnvironment["TMPDIR"] = deep;
    {
        SCOPED_TRACE("4095 bytes");
        const std::string block =
            BlockBuilder().magic().file("p", probe, kExecutable).file(name, "edge").endMark().trailer().bytes();
        const LauncherRun run = this->run({attach(block, kFixedTemplate)}, options);
        EXPECT_EQ(run.process.exitCode, 0) << run.process.err;
        ASSERT_TRUE(run.report.complete);
        EXPECT_EQ((deep + "/x/" + name).size(), 4095u);
        const auto& tree = run.report.tree;
        EXPECT_NE(std::find(tree.begin(), tree.end(), "file 0644 4 " + name), tree.end());
        EXPECT_TRUE(fs::is_empty(deep)) << "the extraction directory was not removed";
    }
    {
        SCOPED_TRACE("4096 bytes");
        const std::string block = BlockBuilder()
                                      .magic()
                                      .file("p", probe, kExecutable)
                                      .file(name + "f", "edge")
                                      .endMark()
                                      .trailer()
                                      .bytes();
        std::vector<std::string> made;
        const LauncherRun run = runBlockRecording(block, &made, options);
        EXPECT_EQ(run.process.exitCode, 2);
        EXPECT_TRUE(std::regex_match(run.process.err, std::regex("Error, [^\n]+ does not fit its buffer\\.\n")))
            << run.process.err;
        EXPECT_FALSE(run.report.complete);
        // Nothing of the long entry, not even its directories, was made; the
        // stop removed the first one.
        const std::string directory = fs::canonical(deep).string() + "/x";
        EXPECT_TRUE(madeOnly(made, {"mkdirat " + directory, "openat " + directory + "/p"}));
        EXPECT_TRUE(fs::is_empty(deep)) << "the stop left files behind";
    }
}

}  // namespace
}  // namespace onefile::e2e
