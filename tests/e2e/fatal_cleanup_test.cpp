// A fatal error ends the run with its message and exit status 2, and leaves
// nothing in TMPDIR: neither the extraction directory nor anything already
// written into it. The errors: a full disk (in a write, and in the close
// that flushes a small entry), a block that ends inside an entry, a name or
// link text too long for its buffer, an entry whose name leaves the
// extraction directory, directly or through a link the block made earlier,
// an entry that collides with an earlier one, and a system without /proc.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/stops_support.h"
#include "tests/support/file_helpers.h"
#include "tests/support/sample_contents.h"

namespace onefile::e2e {
namespace {

namespace fs = std::filesystem;
using onefile::testing::randomHexDigits;
using onefile::testing::readFile;
using onefile::testing::writeFile;

constexpr char kDamaged[] = "Error, attached data is damaged.\n";
constexpr char kDiskFull[] = "Error, couldn't unpack file to target path.: No space left on device\n";

std::string escapeMessage(const std::string& name) {
    return "Error, entry name '" + name + "' leaves the extraction directory.\n";
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class FatalCleanupTest : public LauncherTest {};

// ---------------------------------------------------------------------------
// A disk that fills while the launcher writes: TMPDIR is a small tmpfs of a
// private mount namespace, and the launcher cannot look at its room before
// it writes (as when another program fills the disk after that look). The
// script lists what is left on the tmpfs once the launcher has ended, before
// the mount goes with the namespace.

struct FullDisk {
    const char* name;
    const char* tmpfsSize;  // mount -o size=
    // Packed with --compress: the one large entry compresses to half, so
    // the block is worth several threads and the write that fails is one of
    // a chunk its decoder handed over.
    bool compressed;
};

class FullDiskTest : public FatalCleanupTest, public ::testing::WithParamInterface<FullDisk> {};

TEST_P(FullDiskTest, FullDiskLeavesNothing) {
    addProbe();
    std::vector<std::string> options = {"--main", "probe"};
    if (GetParam().compressed) {
        writeFile(appDir() + "/large", randomHexDigits(12u << 20, 11));
        options.push_back("--compress");
    } else {
        // Well beyond either tmpfs; the probe, written first, fits only the
        // larger one.
        writeFile(appDir() + "/large", std::string(4u << 20, 'L'));
    }
    const std::string launcher = packWithHooks(options);
    const std::string mountPoint = temp().file("full");
    fs::create_directories(mountPoint);
    const std::string script =
        "mount -t tmpfs -o \"size=$2\" onefile-full \"$1\" || exit " + std::to_string(kMountFailedStatus) +
        "\n"
        "TMPDIR=\"$1\" \"$3\"\n"
        "echo \"status=$?\"\n"
        "ls -A \"$1\"\n";
    const LauncherRun run =
        this->run(inPrivateMountNamespace(script, {mountPoint, GetParam().tmpfsSize, launcher}),
                  withHooks({{"ONEFILE_HOOK_FAIL_FSTATVFS", "1"}}));
    const std::string skip = namespaceSkipReason(run.process);
    if (!skip.empty()) GTEST_SKIP() << skip;
    ASSERT_EQ(run.process.exitCode, 0) << run.process.err;
    // The launcher's status and then nothing: no name was left on the disk.
    EXPECT_EQ(linesOf(run.process.out), std::vector<std::string>{"status=2"});
    // Today's report, then the file it was writing: "while writing
    // '<TMPDIR>/<extraction directory>/<entry>'", the entry the probe or the
    // large file (a sanitizer build's probe alone fills the smaller disks).
    const std::string& err = run.process.err;
    const std::string second = "while writing '" + mountPoint + "/";
    const bool namesAnEntry = err.ends_with("/large'\n") || err.ends_with("/probe'\n");
    const std::size_t directoryEnd = err.rfind('/');
    EXPECT_TRUE(err.starts_with(std::string(kDiskFull) + second) && namesAnEntry &&
                err.find('/', std::strlen(kDiskFull) + second.size()) == directoryEnd)
        << err;
    EXPECT_FALSE(run.report.complete);
}

INSTANTIATE_TEST_SUITE_P(Disks, FullDiskTest,
                         ::testing::Values(
                             // The large entry fails in one of its writes.
                             FullDisk{"LaterEntryInAWrite", "1m", false},
                             // The probe is smaller than the entry's stream
                             // buffer: its bytes reach the disk in the close.
                             FullDisk{"FirstEntryInTheClose", "16k", false},
                             FullDisk{"CompressedEntryOnSeveralThreads", "2m", true}),
                         [](const ::testing::TestParamInfo<FullDisk>& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// Blocks that stop the run after the probe and another entry were written.

struct BlockStop {
    const char* what;
    std::function<void(BlockBuilder&)> entries;  // after the written ones
    std::string error;                           // the whole standard error
};

TEST_F(FatalCleanupTest, BlocksThatStopTheRunLeaveNothing) {
    const std::string outside = temp().file("outside");
    fs::create_directories(outside);
    writeFile(outside + "/kept", "kept\n");
    const std::string component(250, 'n');
    const std::string name1024 = component + "/" + component + "/" + component + "/" + component + "/" +
                                 std::string(20, 'n');
    ASSERT_EQ(name1024.size(), 1024u);
    const BlockStop cases[] = {
        // Blocks that end inside an entry.
        {"end mark missing", [](BlockBuilder&) {}, kDamaged},
        {"entry name without its NUL", [](BlockBuilder& b) { b.raw("abc"); }, kDamaged},
        {"flags missing", [](BlockBuilder& b) { b.text("a"); }, kDamaged},
        {"content size cut short", [](BlockBuilder& b) { b.text("a").byte(0).raw(std::string("\x05\0\0", 3)); },
         kDamaged},
        {"content one byte short",
         [](BlockBuilder& b) { b.text("a").byte(0).number(100).raw(std::string(99, 'c')); }, kDamaged},
        {"link text without its NUL", [](BlockBuilder& b) { b.text("l").byte(kLink).raw("target"); }, kDamaged},
        // Texts longer than their buffers.
        {"entry name of 1024 bytes", [&](BlockBuilder& b) { b.file(name1024, "long").endMark().trailer(); },
         "Error, entry name does not fit its buffer.\n"},
        {"link text of 1024 bytes",
         [&](BlockBuilder& b) { b.link("l", std::string(1024, 't')).endMark().trailer(); },
         "Error, link target does not fit its buffer.\n"},
        // Names that leave the extraction directory.
        {"file named ../x", [](BlockBuilder& b) { b.file("../x", "x\n").endMark().trailer(); },
         escapeMessage("../x")},
        {"link named ../x", [](BlockBuilder& b) { b.link("../x", "target").endMark().trailer(); },
         escapeMessage("../x")},
        {"file named a/../../x", [](BlockBuilder& b) { b.file("a/../../x", "x\n").endMark().trailer(); },
         escapeMessage("a/../../x")},
        {"absolute file name", [&](BlockBuilder& b) { b.file(outside + "/new", "x\n").endMark().trailer(); },
         escapeMessage(outside + "/new")},
        {"file below a link to an outside directory",
         [&](BlockBuilder& b) { b.link("l", outside).file("l/new", "x\n").endMark().trailer(); },
         escapeMessage("l/new")},
        {"file below a link to the parent directory",
         [](BlockBuilder& b) { b.link("l", "..").file("l/new", "x\n").endMark().trailer(); },
         escapeMessage("l/new")},
        {"file written over a link to an outside file",
         [&](BlockBuilder& b) { b.link("l", outside + "/kept").file("l", "overwritten\n").endMark().trailer(); },
         escapeMessage("l")},
        {"link below a link", [&](BlockBuilder& b) { b.link("l", outside).link("l/new", "x").endMark().trailer(); },
         escapeMessage("l/new")},
    };
    const std::string probe = readFile(kProbePath);
    for (const BlockStop& c : cases) {
        SCOPED_TRACE(c.what);
        BlockBuilder block;
        block.magic().file("probe", probe, kExecutable).file("written", std::string(100000, 'w'));
        c.entries(block);
        const LauncherRun run = this->run({attach(block.bytes())});
        EXPECT_EQ(run.process.signal, 0);
        EXPECT_EQ(run.process.exitCode, 2);
        EXPECT_EQ(run.process.err, c.error);
        EXPECT_EQ(run.process.out, "");
        EXPECT_FALSE(run.report.complete);
        EXPECT_EQ(tmpDirContents(), std::vector<std::string>{});
        // Nothing reached the outside either.
        EXPECT_EQ(readFile(outside + "/kept"), "kept\n");
        EXPECT_FALSE(fs::exists(outside + "/new"));
        EXPECT_FALSE(fs::exists(temp().file("x")));
        EXPECT_FALSE(fs::exists(temp().file("new")));
    }
}

// Entries that cannot be written where an earlier one stands: the open
// fails, and the message names the entry below the extraction directory.
TEST_F(FatalCleanupTest, CollisionsLeaveNothing) {
    const struct {
        const char* what;
        std::function<void(BlockBuilder&)> entries;
        std::string failed;  // the entry named in the message
    } cases[] = {
        {"file standing where a directory is needed", [](BlockBuilder& b) { b.file("a", "x").file("a/b", "x"); },
         "a/b"},
        {"directory standing where a file goes", [](BlockBuilder& b) { b.file("d/f", "x").file("d", "x"); }, "d"},
    };
    const std::string probe = readFile(kProbePath);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        BlockBuilder block;
        block.magic().file("probe", probe, kExecutable);
        c.entries(block);
        const LauncherRun run = this->run({attach(block.endMark().trailer().bytes())});
        EXPECT_EQ(run.process.exitCode, 2);
        EXPECT_EQ(entryThatFailedToOpen(run.process.err, tmpDir()), c.failed) << run.process.err;
        EXPECT_FALSE(run.report.complete);
        EXPECT_EQ(tmpDirContents(), std::vector<std::string>{});
    }
}

// ---------------------------------------------------------------------------
// No /proc: an empty tmpfs over it in a private mount namespace. The
// launcher cannot find its own file and stops before it writes anything.

TEST_F(FatalCleanupTest, MissingProcStopsBeforeAnythingIsWritten) {
    if (ONEFILE_SANITIZED_BUILD) GTEST_SKIP() << "the sanitizer runtime of this build's launcher needs /proc itself";
    addProbe();
    const std::string launcher = pack({"--main", "probe"});
    const std::string script = "mount -t tmpfs onefile-no-proc /proc || exit " +
                               std::to_string(kMountFailedStatus) + "\nexec \"$1\"\n";
    const LauncherRun run = this->run(inPrivateMountNamespace(script, {launcher}));
    const std::string skip = namespaceSkipReason(run.process);
    if (!skip.empty()) GTEST_SKIP() << skip;
    EXPECT_EQ(run.process.signal, 0);
    EXPECT_EQ(run.process.exitCode, 2);
    EXPECT_EQ(run.process.err, "/proc/self/exe: No such file or directory\n");
    EXPECT_EQ(run.process.out, "");
    EXPECT_FALSE(run.report.complete);
    EXPECT_EQ(tmpDirContents(), std::vector<std::string>{});
}

}  // namespace
}  // namespace onefile::e2e
