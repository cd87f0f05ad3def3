// Compressed launchers (onefile pack --compress) unpack every entry as it
// was, on one processor and on several, and under an address-space limit
// that leaves room for fewer decoding workspaces than threads, or for none;
// damaged frames end the run with the damage report and leave nothing.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "tests/e2e/supervision_support.h"
#include "tests/support/file_helpers.h"
#include "tests/support/sample_contents.h"

namespace onefile::e2e {
namespace {

namespace fs = std::filesystem;
using onefile::testing::ProcessOptions;
using onefile::testing::randomHexDigits;
using onefile::testing::readFile;
using onefile::testing::runProcess;
using onefile::testing::writeFile;

// More than one writer thread takes part above this block size.
constexpr std::size_t kFiles = 300;

std::string textOf(int seed, std::size_t bytes) {
    std::string text;
    for (int line = 0; text.size() < bytes; ++line) {
        text += "entry " + std::to_string(seed) + " line " + std::to_string(line % 97) + " of a compressible text\n";
    }
    text.resize(bytes);
    return text;
}

// Every regular file below `directory`, relative path and content.
std::vector<std::pair<std::string, std::string>> filesBelow(const std::string& directory) {
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& entry : fs::recursive_directory_iterator(directory)) {
        if (!entry.is_regular_file()) continue;
        files.emplace_back(fs::relative(entry.path(), directory).string(), readFile(entry.path().string()));
    }
    std::sort(files.begin(), files.end());
    return files;
}

class CompressedLaunchTest : public LauncherTest {};

// The launcher decides from its affinity how many threads write: pinned to
// one processor it decodes on the main thread alone, else on several.
TEST_F(CompressedLaunchTest, EveryEntryUnpacksAsItWasOnOneProcessorAndOnSeveral) {
    addProbe();
    for (std::size_t i = 0; i < kFiles; ++i) {
        writeFile(appDir() + "/pkg" + std::to_string(i % 17) + "/file" + std::to_string(i), textOf(int(i), 1000 + i * 97));
    }
    writeFile(appDir() + "/big", textOf(-1, 12u << 20));
    const std::string launcher = pack({"--main", "probe", "--compress"});
    const auto expected = filesBelow(appDir());

    for (const bool pinned : {true, false}) {
        SCOPED_TRACE(pinned ? "pinned to one processor" : "all processors");
        const std::string copy = temp().file(pinned ? "copy-pinned" : "copy-all");
        ProcessOptions options;
        options.setEnvironment["PROBE_COPY_TO"] = copy;
        std::vector<std::string> argv = {launcher};
        if (pinned) argv = {"taskset", "-c", "0", launcher};
        const LauncherRun run = this->run(argv, options);
        ASSERT_EQ(run.process.exitCode, 0) << run.process.err;
        ASSERT_TRUE(run.report.complete);
        EXPECT_EQ(filesBelow(copy), expected);
    }
}

// A failed close of a decoded entry (a file system that reports a failed
// write-back there) ends the run with the report and leaves nothing, on one
// thread and on several.
TEST_F(CompressedLaunchTest, AFailedCloseOfADecodedEntryEndsTheRun) {
    addProbe();
    // Compresses to half: the block is worth several threads.
    writeFile(appDir() + "/large", randomHexDigits(12u << 20, 7));
    const std::string launcher = packWithHooks({"--main", "probe", "--compress", "--template", "{TEMP}/x"});
    for (const bool pinned : {true, false}) {
        SCOPED_TRACE(pinned ? "pinned to one processor" : "all processors");
        const ProcessOptions options =
            withHooks({{"ONEFILE_HOOK_FAIL_CLOSE", fs::canonical(tmpDir()).string() + "/x/large"}});
        std::vector<std::string> argv = {launcher};
        if (pinned) argv = {"taskset", "-c", "0", launcher};
        const LauncherRun run = this->run(argv, options);
        EXPECT_EQ(run.process.exitCode, 2);
        EXPECT_EQ(run.process.err, "Error, couldn't unpack file to target path.: Input/output error\nwhile writing '" +
                                       tmpDir() + "/x/large'\n");
        EXPECT_FALSE(run.report.complete);
        EXPECT_EQ(tmpDirContents(), std::vector<std::string>{});
    }
}

// A byte flipped in the middle frame of a large file in a launcher that pack
// made: the launcher stops with the damage report on one processor and on
// several, extract refuses it and leaves no directory, and verify finds the
// launcher changed.
TEST_F(CompressedLaunchTest, AByteFlippedInAMiddleFrameIsRefusedByTheLauncherExtractAndVerify) {
    writeFile(appDir() + "/main", "#!/bin/sh\ntouch \"$0.ran\"\n", 0755);
    writeFile(appDir() + "/large", textOf(5, (std::size_t{5} << 22) + 100));  // three frames
    const std::string launcher = pack({"--main", "main", "--compress"});
    std::string bytes = readFile(launcher);
    // The frames are the last three places of the zstd magic: the large file
    // is the last entry, and its frames follow each other.
    const std::string magic("\x28\xb5\x2f\xfd", 4);
    std::vector<std::size_t> frames;
    for (std::size_t at = bytes.find(magic); at != std::string::npos; at = bytes.find(magic, at + 1)) {
        frames.push_back(at);
    }
    ASSERT_GE(frames.size(), 3u);
    const std::size_t middle = frames[frames.size() - 2];
    bytes[middle + (frames.back() - middle) / 2] ^= 0x01;
    writeFile(launcher, bytes, 0755);

    for (const bool pinned : {true, false}) {
        SCOPED_TRACE(pinned ? "pinned to one processor" : "all processors");
        std::vector<std::string> argv = {launcher};
        if (pinned) argv = {"taskset", "-c", "0", launcher};
        const LauncherRun run = this->run(argv);
        EXPECT_EQ(run.process.exitCode, 2);
        EXPECT_EQ(run.process.err, "Error, attached data is damaged.\n");
        EXPECT_EQ(tmpDirContents(), std::vector<std::string>{});
    }
    EXPECT_FALSE(fs::exists(appDir() + "/main.ran"));
    const onefile::testing::ProcessResult extracted = runTool({"extract", launcher, temp().file("extracted")});
    EXPECT_EQ(extracted.exitCode, 1);
    EXPECT_EQ(extracted.err, "onefile: " + launcher + ": entry 'large': compressed content is damaged\n");
    EXPECT_FALSE(fs::exists(temp().file("extracted")));
    EXPECT_EQ(runTool({"verify", launcher}).exitCode, 1);
}

// A decoding workspace (the round buffer of an 8 MiB window and the
// decoder's context) in KiB, the unit of ulimit -v.
constexpr rlim_t kWorkspaceKiB = 8864;

enum class LimitedPayload { tinyStored, tinyCompressed, largeCompressed };

// A launcher under an address-space limit, in KiB as ulimit -v sets it. The
// limit comes from the launcher's size (its image takes that much address
// space); besides the image and the workspaces a run takes well under half
// a workspace.
struct AddressSpaceCase {
    const char* name;
    LimitedPayload payload;
    rlim_t (*limitKiB)(rlim_t launcherKiB);
    bool unpacks;  // else it stops with the report
};

void PrintTo(const AddressSpaceCase& limitCase, std::ostream* out) { *out << limitCase.name; }

class AddressSpaceLimitTest : public LauncherTest, public ::testing::WithParamInterface<AddressSpaceCase> {};

// Each workspace is mapped when its thread decodes a first frame, and only
// for the threads that run: a tiny compressed launcher runs under the limit
// a stored one runs under; a large one on two processors whose limit leaves
// room for one workspace decodes on the main thread alone, the writer only
// writing; with no room for the main thread's workspace the run stops with
// the report naming the limit, status 2, and leaves nothing.
TEST_P(AddressSpaceLimitTest, UnpacksWithTheWorkspacesThereIsRoomForOrStops) {
    if (ONEFILE_SANITIZED_BUILD)
        GTEST_SKIP() << "the sanitizers reserve terabytes of address space: a launcher of this build cannot run "
                        "under a limit on it";
    const AddressSpaceCase& limitCase = GetParam();
    const bool large = limitCase.payload == LimitedPayload::largeCompressed;
    cpu_set_t available;
    ASSERT_EQ(sched_getaffinity(0, sizeof available, &available), 0);
    if (large && CPU_COUNT(&available) < 2) GTEST_SKIP() << "one processor: the launcher starts no writer threads";

    addProbe();
    if (large) {
        // Compresses to half: the block is worth a writer thread, and both
        // threads have frames to decode.
        for (int i = 0; i < 8; ++i) {
            writeFile(appDir() + "/data/part" + std::to_string(i), randomHexDigits(512u << 10, i));
        }
    } else {
        writeFile(appDir() + "/notes", textOf(3, 100000));
    }
    std::vector<std::string> toolOptions = {"--main", "probe"};
    if (limitCase.payload != LimitedPayload::tinyStored) toolOptions.push_back("--compress");
    const std::string launcher = pack(toolOptions);
    const rlim_t limitKiB = limitCase.limitKiB((fs::file_size(launcher) + 1023) / 1024);

    ProcessOptions options;
    options.addressSpaceBytes = limitKiB * 1024;
    options.processors = 2;
    const std::string copy = temp().file("copy");
    options.setEnvironment["PROBE_COPY_TO"] = copy;
    const LauncherRun run = this->run({launcher}, options);
    if (limitCase.unpacks) {
        ASSERT_EQ(run.process.exitCode, 0) << "signal " << run.process.signal << ": " << run.process.err;
        ASSERT_TRUE(run.report.complete);
        EXPECT_EQ(filesBelow(copy), filesBelow(appDir()));
    } else {
        EXPECT_EQ(run.process.exitCode, 2) << "signal " << run.process.signal;
        EXPECT_EQ(run.process.err, "Error, couldn't reserve 8864 KiB for decoding (address space limit " +
                                       std::to_string(limitKiB) + " KiB); raise ulimit -v.\n");
        EXPECT_FALSE(run.report.complete);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Limits, AddressSpaceLimitTest,
    ::testing::Values(
        AddressSpaceCase{"TinyStored", LimitedPayload::tinyStored, [](rlim_t) -> rlim_t { return 20000; }, true},
        AddressSpaceCase{"TinyCompressed", LimitedPayload::tinyCompressed, [](rlim_t) -> rlim_t { return 20000; },
                         true},
        AddressSpaceCase{"LargeRoomForOneWorkspace", LimitedPayload::largeCompressed,
                         [](rlim_t launcher) { return launcher + kWorkspaceKiB * 3 / 2; }, true},
        AddressSpaceCase{"LargeRoomForTwoWorkspaces", LimitedPayload::largeCompressed,
                         [](rlim_t launcher) { return launcher + kWorkspaceKiB * 5 / 2; }, true},
        AddressSpaceCase{"TinyRoomForNoWorkspace", LimitedPayload::tinyCompressed,
                         [](rlim_t launcher) { return launcher + kWorkspaceKiB / 2; }, false},
        AddressSpaceCase{"LargeRoomForNoWorkspace", LimitedPayload::largeCompressed,
                         [](rlim_t launcher) { return launcher + kWorkspaceKiB / 2; }, false}),
    [](const ::testing::TestParamInfo<AddressSpaceCase>& info) { return std::string(info.param.name); });

// Offset of the frame content size field in a zstd frame header, and its
// width in bytes.
std::pair<std::size_t, std::size_t> contentSizeField(const std::string& frame) {
    const auto descriptor = static_cast<unsigned char>(frame[4]);
    const bool singleSegment = (descriptor & 0x20) != 0;
    const unsigned sizeFlag = descriptor >> 6;
    const std::size_t dictionaryBytes[] = {0, 1, 2, 4};
    const std::size_t sizeBytes[] = {singleSegment ? 1u : 0u, 2, 4, 8};
    const std::size_t offset = 5 + (singleSegment ? 0 : 1) + dictionaryBytes[descriptor & 3];
    return {offset, sizeBytes[sizeFlag]};
}

// The frame with its content size field changed by `change`.
std::string withContentSize(const std::string& frame, int change) {
    std::string damaged = frame;
    const auto [offset, width] = contentSizeField(frame);
    std::uint64_t size = 0;
    for (std::size_t i = 0; i < width; ++i) size |= std::uint64_t(std::uint8_t(frame[offset + i])) << (8 * i);
    size += change;
    for (std::size_t i = 0; i < width; ++i) damaged[offset + i] = char(size >> (8 * i));
    return damaged;
}

// The frames the tool would make of `content`: one per 8 MiB, the last one
// shorter, each made by the zstd command with its checksum and size.
std::vector<std::string> framesOf(const std::string& content, const std::string& scratch) {
    constexpr std::size_t kFrameBytes = std::size_t{8} << 20;
    std::vector<std::string> frames;
    for (std::size_t start = 0; start < content.size(); start += kFrameBytes) {
        writeFile(scratch, content.substr(start, kFrameBytes));
        const onefile::testing::ProcessResult zstd = runProcess({"zstd", "-q", "-3", "--check", "-c", scratch});
        if (zstd.exitCode != 0) throw std::runtime_error("zstd: " + zstd.err);
        frames.push_back(zstd.out);
    }
    return frames;
}

std::string joined(const std::vector<std::string>& frames) {
    std::string bytes;
    for (const std::string& frame : frames) bytes += frame;
    return bytes;
}

struct Damage {
    const char* name;
    // The damaged content made of the entry's frames.
    std::string (*apply)(const std::vector<std::string>& frames);
    // The entry's size field states the size of the undamaged frames, so
    // the frames and the entry's size no longer add up; else the size of
    // what `apply` gives.
    bool keepsStatedSize;
    // Whether list sees it: list walks the frame headers, it does not
    // decode the frames.
    bool listSeesIt;
};

void PrintTo(const Damage& damage, std::ostream* out) { *out << damage.name; }

// The content of the damaged entry: a small one is decoded on the main
// thread; a large one makes the block worth several threads (where the
// machine has more than one processor) and is larger than the decoder's
// round buffer, so the damage shows after chunks were handed over; many
// frames are decoded by several threads at once.
struct FrameContent {
    const char* name;
    std::string (*make)();
};

void PrintTo(const FrameContent& content, std::ostream* out) { *out << content.name; }

class DamagedFrameTest : public LauncherTest,
                         public ::testing::WithParamInterface<std::tuple<Damage, FrameContent>> {};

// A hand-made block whose first file after the main one holds damaged
// frames, attached to the decoder stub: the run ends with the damage report,
// status 2, nothing left and the application never started. The tool's
// extract refuses it too and leaves no directory, and list where it walks
// into the damage.
TEST_P(DamagedFrameTest, EndsWithTheDamageReportAndLeavesNothing) {
    const Damage& damage = std::get<0>(GetParam());
    const std::vector<std::string> frames = framesOf(std::get<1>(GetParam()).make(), temp().file("content"));
    const std::string damaged = damage.apply(frames);

    BlockBuilder block;
    block.magic().file("main", "#!/bin/sh\ntouch \"$0.ran\"\n", kExecutable);
    block.text("data").byte(0x04).number(damage.keepsStatedSize ? joined(frames).size() : damaged.size()).raw(damaged);
    // A stored entry behind it, larger than a frame of it: a frame lost
    // leaves the walk in the middle of this entry.
    block.file("after", randomHexDigits(1u << 20, 3));
    const std::string launcher = attach(block.endMark().trailer().bytes(), {"--decoder"});
    const LauncherRun run = this->run({launcher});
    EXPECT_EQ(run.process.exitCode, 2);
    EXPECT_EQ(run.process.err, "Error, attached data is damaged.\n");
    EXPECT_EQ(tmpDirContents(), std::vector<std::string>{});

    const onefile::testing::ProcessResult extracted = runTool({"extract", launcher, temp().file("extracted")});
    EXPECT_EQ(extracted.exitCode, 1);
    EXPECT_NE(extracted.err.find(launcher), std::string::npos) << extracted.err;
    EXPECT_FALSE(fs::exists(temp().file("extracted")));
    if (damage.listSeesIt) {
        EXPECT_EQ(runTool({"list", launcher}).exitCode, 1);
    }
}

std::string flipMiddleByte(const std::vector<std::string>& frames) {
    std::string damaged = joined(frames);
    damaged[damaged.size() / 2] ^= 0x01;
    return damaged;
}

const Damage kDamages[] = {
    {"FlippedByte", flipMiddleByte, false, false},
    {"CutShort", [](const std::vector<std::string>& frames) { return joined(frames).substr(0, joined(frames).size() - 9); },
     false, true},
    {"TwoFrames", [](const std::vector<std::string>& frames) { return joined(frames) + joined(frames); }, false, true},
    {"TrailingBytes", [](const std::vector<std::string>& frames) { return joined(frames) + "xyz"; }, false, true},
    {"SizeSaysOneMore",
     [](const std::vector<std::string>& frames) {
         std::vector<std::string> damaged = frames;
         damaged.back() = withContentSize(damaged.back(), +1);
         return joined(damaged);
     },
     false, false},
    {"SizeSaysOneLess",
     [](const std::vector<std::string>& frames) {
         std::vector<std::string> damaged = frames;
         damaged.back() = withContentSize(damaged.back(), -1);
         return joined(damaged);
     },
     false, false},
    {"NotAFrame", [](const std::vector<std::string>& frames) { return std::string(joined(frames).size(), 'x'); },
     false, true},
};

const FrameContent kSmall = {"Small", [] { return textOf(7, 300000); }};
const FrameContent kLarge = {"Large", [] { return randomHexDigits(12u << 20, 7); }};
// Four frames, the last one short, each a few KiB.
const FrameContent kManyFrames = {"ManyFrames", [] { return textOf(7, (std::size_t{3} << 23) + 5000); }};

std::string damageName(const ::testing::TestParamInfo<std::tuple<Damage, FrameContent>>& info) {
    return std::string(std::get<0>(info.param).name) + std::get<1>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(Frames, DamagedFrameTest,
                         ::testing::Combine(::testing::ValuesIn(kDamages), ::testing::Values(kSmall, kLarge, kManyFrames)),
                         damageName);

// Damage only an entry of several frames can have. A frame in the middle
// that unpacks to less than a whole frame's content; frames whose sizes add
// up to less or more than the entry's size (a frame lost or added while the
// entry's size stayed).
INSTANTIATE_TEST_SUITE_P(
    SeveralFrames, DamagedFrameTest,
    ::testing::Combine(
        ::testing::Values(
            Damage{"ShortFrameInTheMiddle",
                   [](const std::vector<std::string>& frames) {
                       std::vector<std::string> damaged = frames;
                       std::swap(damaged[1], damaged.back());
                       return joined(damaged);
                   },
                   false, true},
            Damage{"MissingFrame",
                   [](const std::vector<std::string>& frames) {
                       std::vector<std::string> damaged = frames;
                       damaged.erase(damaged.begin() + 1);
                       return joined(damaged);
                   },
                   true, true},
            Damage{"ExtraFrame",
                   [](const std::vector<std::string>& frames) {
                       std::vector<std::string> damaged = frames;
                       damaged.insert(damaged.begin() + 1, frames[1]);
                       return joined(damaged);
                   },
                   true, true}),
        ::testing::Values(kManyFrames)),
    damageName);

}  // namespace
}  // namespace onefile::e2e
