// A launcher file cut short, as an interrupted download or copy leaves it.
// When the cut falls inside the loaded segment that holds the attached
// block, the launcher says how much of it is there and stops before it reads
// the block or writes anything; cut before that segment, it does not start
// at all, and writes nothing either. Cut exactly at the segment's end (what
// follows is not loaded), it runs.
#include <gtest/gtest.h>

#include <elf.h>

#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e/launcher_fixture.h"
#include "tests/support/file_helpers.h"

namespace onefile::e2e {
namespace {

namespace fs = std::filesystem;
using onefile::testing::readFile;
using onefile::testing::writeFile;

// Large enough that "well before the end" and "in the last page" are far
// apart.
constexpr std::size_t kFillerBytes = 256u << 10;

struct Segment {
    std::uint64_t offset = 0;
    std::uint64_t fileSize = 0;
};

// The loadable segment of the ELF file `bytes` whose file range holds
// `position`; a zero segment when none does.
Segment loadedSegmentHolding(const std::string& bytes, std::uint64_t position) {
    Elf64_Ehdr header;
    if (bytes.size() < sizeof header) return {};
    std::memcpy(&header, bytes.data(), sizeof header);
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr program;
        const std::uint64_t at = header.e_phoff + std::uint64_t{i} * header.e_phentsize;
        if (at + sizeof program > bytes.size()) return {};
        std::memcpy(&program, bytes.data() + at, sizeof program);
        if (program.p_type != PT_LOAD) continue;
        if (position >= program.p_offset && position < program.p_offset + program.p_filesz) {
            return {program.p_offset, program.p_filesz};
        }
    }
    return {};
}

enum class Outcome { runs, incomplete, failsToStart };

// Where the block and the segment that holds it lie in the uncut file.
struct Layout {
    std::uint64_t blockOffset;
    std::uint64_t blockSize;
    std::uint64_t segmentOffset;
    std::uint64_t segmentEnd;  // p_offset + p_filesz
};

struct Cut {
    const char* name;
    std::uint64_t (*size)(const Layout&);  // of the file once cut
    Outcome outcome;
};

void PrintTo(const Cut& cut, std::ostream* out) { *out << cut.name; }

class TruncatedLauncherTest : public LauncherTest, public ::testing::WithParamInterface<Cut> {
protected:
    void SetUp() override {
        LauncherTest::SetUp();
        block_ = BlockBuilder()
                     .magic()
                     .file("probe", readFile(kProbePath), kExecutable)
                     .file("filler", std::string(kFillerBytes, 'f'))
                     .endMark()
                     .trailer()
                     .bytes();
        const std::string launcher = attach(block_);
        whole_ = readFile(launcher);
        // The tool attaches the block byte for byte: found by its bytes.
        blockOffset_ = whole_.find(block_);
        ASSERT_NE(blockOffset_, std::string::npos) << "the block is not in the launcher byte for byte";
        segment_ = loadedSegmentHolding(whole_, blockOffset_);
        ASSERT_NE(segment_.fileSize, 0u) << "no loaded segment holds the block";
        ASSERT_LE(blockOffset_ + block_.size(), segment_.offset + segment_.fileSize)
            << "the block reaches past its segment";
    }

    Layout layout() const {
        return {blockOffset_, block_.size(), segment_.offset, segment_.offset + segment_.fileSize};
    }

    std::string block_;
    std::string whole_;
    std::size_t blockOffset_ = 0;
    Segment segment_;
};

TEST_P(TruncatedLauncherTest, CutLauncherIsRefusedAndWritesNothing) {
    const Cut& cut = GetParam();
    const std::uint64_t size = cut.size(layout());
    ASSERT_LT(size, whole_.size());
    const std::uint64_t segmentEnd = layout().segmentEnd;
    const std::string launcher = temp().file("cut");
    writeFile(launcher, whole_.substr(0, size), 0755);

    const LauncherRun run = this->run({launcher});
    switch (cut.outcome) {
        case Outcome::runs:
            EXPECT_EQ(run.process.exitCode, 0) << run.process.err;
            EXPECT_TRUE(run.report.complete);
            break;
        case Outcome::incomplete:
            EXPECT_EQ(run.process.signal, 0);
            EXPECT_EQ(run.process.exitCode, 2);
            EXPECT_EQ(run.process.err, "Error, launcher file is incomplete (" + std::to_string(size) + " of " +
                                           std::to_string(segmentEnd) + " bytes).\n");
            EXPECT_EQ(run.process.out, "");
            EXPECT_FALSE(run.report.complete);
            break;
        case Outcome::failsToStart:
            EXPECT_TRUE(run.process.signal != 0 || run.process.exitCode != 0)
                << "exited 0: " << run.process.err;
            EXPECT_FALSE(run.report.complete);
            break;
    }
    // Nothing written, whatever happened; nothing made beside the launcher.
    EXPECT_EQ(tmpDirContents(), std::vector<std::string>{});
    EXPECT_EQ(fs::file_size(launcher), size);
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, TruncatedLauncherTest,
    ::testing::Values(
        Cut{"InsideTheBlock", [](const Layout& l) { return l.blockOffset + l.blockSize / 2; }, Outcome::incomplete},
        Cut{"InTheLastPage", [](const Layout& l) { return l.segmentEnd - 3; }, Outcome::incomplete},
        Cut{"LastByteMissing", [](const Layout& l) { return l.segmentEnd - 1; }, Outcome::incomplete},
        Cut{"BeforeTheSegment", [](const Layout& l) { return l.segmentOffset / 2; }, Outcome::failsToStart},
        Cut{"AtTheSegmentsEnd", [](const Layout& l) { return l.segmentEnd; }, Outcome::runs}),
    [](const ::testing::TestParamInfo<Cut>& info) { return info.param.name; });

}  // namespace
}  // namespace onefile::e2e
