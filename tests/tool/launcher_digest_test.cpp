// The launcher digest taken in pieces, as pack takes it while it writes,
// against the digest of the whole file; and the output stream's reports of
// what has reached the file, which the piecewise digest follows.
#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "format/launcher_config.h"
#include "tests/support/temp_dir.h"
#include "tests/tool/tool_test_helpers.h"
#include "tool/elf_reader.h"
#include "tool/launcher_digest.h"
#include "tool/output_stream.h"
#include "tool/tool_error.h"

namespace onefile::testing {
namespace {

// Any offset inside the first loaded segment serves as the digest field.
constexpr std::uint64_t kFieldOffset = 200;

tool::LauncherDigest digestInPieces(const std::vector<unsigned char>& file, std::size_t piece) {
    tool::LauncherDigester digester(kFieldOffset);
    for (std::size_t offset = 0; offset < file.size(); offset += piece) {
        const std::size_t size = std::min(piece, file.size() - offset);
        digester.add(tool::ByteSpan(file.data() + offset, size));
    }
    return digester.finish();
}

class LauncherDigestTest : public ::testing::TestWithParam<BuiltStub> {};

TEST_P(LauncherDigestTest, PiecesOfAnySizeGiveTheDigestOfTheWholeFile) {
    const std::vector<unsigned char> file = readBytes(GetParam().path);
    const tool::LauncherDigest whole = tool::computeLauncherDigest(file, kFieldOffset);
    // Pieces shorter than the ELF header, ending inside the program headers,
    // around page and segment sizes, and the whole file at once.
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{64}, std::size_t{100},
                                    std::size_t{4095}, std::size_t{65536}, file.size()}) {
        EXPECT_EQ(digestInPieces(file, piece), whole) << "pieces of " << piece << " bytes";
    }
    // The bytes taken as zero do not count; any other loaded byte does.
    std::vector<unsigned char> changed = file;
    changed[kFieldOffset + 5] ^= 0xff;
    EXPECT_EQ(tool::computeLauncherDigest(changed, kFieldOffset), whole);
    changed[kFieldOffset + kLauncherDigestBytes] ^= 0xff;
    EXPECT_NE(tool::computeLauncherDigest(changed, kFieldOffset), whole);
}

// Where the last byte a loadable segment maps lies, plus one.
std::size_t loadedEnd(const std::vector<unsigned char>& file) {
    const Elf64_Ehdr header = tool::readElfHeader(file);
    std::uint64_t end = 0;
    for (const Elf64_Phdr& segment : tool::readProgramHeaders(file, header)) {
        if (segment.p_type == PT_LOAD && segment.p_filesz != 0) end = std::max(end, segment.p_offset + segment.p_filesz);
    }
    return static_cast<std::size_t>(end);
}

TEST_P(LauncherDigestTest, AFileCutShortIsRefusedWholeAndInPieces) {
    const std::vector<unsigned char> file = readBytes(GetParam().path);
    // Inside the ELF header, inside the program headers, inside the last
    // loaded segment (sections that are not loaded may follow it).
    for (const std::size_t length : {std::size_t{10}, std::size_t{100}, loadedEnd(file) - 1}) {
        const std::vector<unsigned char> cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_THROW(tool::computeLauncherDigest(cut, kFieldOffset), tool::FormatError) << length << " bytes";
        EXPECT_THROW(digestInPieces(cut, 33), tool::FormatError) << length << " bytes in pieces";
    }
}

INSTANTIATE_TEST_SUITE_P(Architectures, LauncherDigestTest, ::testing::ValuesIn(builtStubs()));

// The stream reports each end of what the file holds, never beyond it, the
// last one at its whole size; bytes reported cannot change any more.
TEST(OutputStreamReportTest, ReportsWhatReachedTheFileAndKeepsIt) {
    TempDir temp;
    const std::string path = temp.file("out");
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    tool::OutputStream stream(fd, path);
    std::vector<std::uint64_t> ends;
    stream.observeWrittenEnd([&](std::uint64_t end) {
        EXPECT_LE(end, static_cast<std::uint64_t>(::lseek(fd, 0, SEEK_CUR)));
        ends.push_back(end);
    });
    stream.write(std::string(1000, 'a'));
    stream.write(std::string(3u << 20, 'b'));  // larger than the buffer: straight to the file
    stream.writeZeros(5000);
    stream.rewindTo(stream.position() - 10);  // still in the buffer: allowed
    stream.flush();
    ASSERT_FALSE(ends.empty());
    EXPECT_TRUE(std::is_sorted(ends.begin(), ends.end()));
    EXPECT_EQ(ends.back(), 1000u + (3u << 20) + 5000u - 10u);
    EXPECT_THROW(stream.rewindTo(10), std::logic_error);
    const unsigned char byte = 'x';
    EXPECT_THROW(stream.overwrite(0, std::span(&byte, 1)), std::logic_error);
    ::close(fd);
}

}  // namespace
}  // namespace onefile::testing
