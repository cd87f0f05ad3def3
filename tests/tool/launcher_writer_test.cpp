// The launcher writer: the payload section grown around a block, what
// followed it moved, and launchers that lie about their block refused, on the
// real stubs of every architecture.
#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "tests/support/temp_dir.h"
#include "tests/tool/elf_image.h"
#include "tests/tool/tool_test_helpers.h"
#include "tool/config_area.h"
#include "tool/launcher_strings.h"
#include "tool/launcher_writer.h"
#include "tool/output_stream.h"
#include "tool/payload_locate.h"
#include "tool/stub_layout.h"

namespace onefile::testing {
namespace {

// A launcher written by writeLauncher, its block the given bytes; each test
// runs on the stub of every architecture.
class LauncherWriterTest : public ::testing::TestWithParam<BuiltStub> {
protected:
    // `measured`: the block's size is given up front; else the writer
    // completes the ELF tables once the block is written.
    ElfImage writeLauncher(const ElfImage& stub, const std::string& block, bool measured = true) {
        const std::string path = dir_.file("launcher");
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
        if (fd < 0) throw std::runtime_error("open " + path);
        {
            tool::OutputStream output(fd, path);
            tool::LauncherStrings strings{"{TEMP}/t_{PID}", "Prod", "9.9"};
            tool::writeLauncher(output, stub.bytes, tool::checkStubLayout(stub.bytes), tool::makeConfigArea({tool::ConfigLayout::second, strings, {}, {}}),
                                measured ? std::optional<std::uint64_t>(block.size()) : std::nullopt,
                                [&block](tool::OutputStream& out) { out.write(block); });
        }
        ::close(fd);
        return {readBytes(path)};
    }

    TempDir dir_;
};

TEST_P(LauncherWriterTest, GrowsThePayloadSectionAndMovesWhatFollowedIt) {
    const ElfImage stub = loadStub(GetParam());
    const std::string block = std::string("ZQX\0", 4) + std::string("\x04\0\0\0\0\0\0\0", 8) + std::string(10000, 'p');
    const ElfImage launcher = writeLauncher(stub, block);

    // The launcher is itself a well-formed stub, its section grown.
    const tool::StubLayout layout = tool::checkStubLayout(launcher.bytes);
    const Elf64_Shdr payload = layout.sections[layout.payloadSection];
    const Elf64_Shdr stubPayload = stub.section(stub.sectionIndex(kPayloadSectionName));
    EXPECT_EQ(payload.sh_offset, stubPayload.sh_offset);
    EXPECT_EQ(payload.sh_size, kLauncherConfigBytes + block.size());
    EXPECT_EQ(layout.segments[layout.payloadSegment].p_filesz, payload.sh_size);
    EXPECT_EQ(layout.segments[layout.payloadSegment].p_align, GetParam().pageBytes);
    EXPECT_EQ(layout.pageBytes, GetParam().pageBytes);

    // Everything before the section is the stub's, headers aside.
    const std::uint64_t tablesEnd = stub.header().e_phoff + stub.header().e_phnum * sizeof(Elf64_Phdr);
    EXPECT_TRUE(std::equal(stub.bytes.begin() + tablesEnd, stub.bytes.begin() + payload.sh_offset,
                           launcher.bytes.begin() + tablesEnd));

    // The configuration area on a page of the stub's largest size, then the
    // block on a boundary of the smallest pages.
    LauncherConfig config;
    std::memcpy(&config, launcher.bytes.data() + payload.sh_offset, sizeof config);
    EXPECT_STREQ(config.directoryTemplate, "{TEMP}/t_{PID}");
    EXPECT_STREQ(config.productName, "Prod");
    EXPECT_STREQ(config.versionString, "9.9");
    const std::uint64_t blockOffset = payload.sh_offset + kLauncherConfigBytes;
    EXPECT_EQ(payload.sh_offset % GetParam().pageBytes, 0u);
    EXPECT_EQ(blockOffset % tool::kSmallestPageBytes, 0u);
    EXPECT_EQ(std::string(launcher.bytes.begin() + blockOffset, launcher.bytes.begin() + blockOffset + block.size()),
              block);

    // Every moved section keeps its bytes and its alignment.
    for (std::size_t i = 1; i < stub.header().e_shnum; ++i) {
        const Elf64_Shdr before = stub.section(i);
        const Elf64_Shdr after = launcher.section(i);
        SCOPED_TRACE(stub.sectionName(i));
        EXPECT_EQ(launcher.sectionName(i), stub.sectionName(i));
        if (before.sh_offset <= stubPayload.sh_offset || before.sh_type == SHT_NOBITS) continue;
        EXPECT_GE(after.sh_offset, blockOffset + block.size());
        if (before.sh_addralign > 1) {
            EXPECT_EQ(after.sh_offset % before.sh_addralign, 0u);
        }
        EXPECT_TRUE(std::equal(stub.bytes.begin() + before.sh_offset,
                               stub.bytes.begin() + before.sh_offset + before.sh_size,
                               launcher.bytes.begin() + after.sh_offset));
    }
}

// A block whose size is known only once it is written (a compressed one)
// gives the same launcher as the same block measured first: with the ELF
// header and program headers still in the output buffer when they are
// completed, and with them already in the file (a block of several MiB).
TEST_P(LauncherWriterTest, AnUnmeasuredBlockGivesTheSameBytesAsAMeasuredOne) {
    const ElfImage stub = loadStub(GetParam());
    for (const std::size_t contentBytes : {std::size_t{100}, std::size_t{3} << 20}) {
        SCOPED_TRACE(std::to_string(contentBytes) + " content bytes");
        std::string block = std::string("ZQX" "f\0\0", 6) + std::string(8, '\0') + std::string(contentBytes, 'c');
        for (std::size_t i = 0; i < 8; ++i) block[6 + i] = static_cast<char>((contentBytes >> (8 * i)) & 0xff);
        block.push_back('\0');
        const std::uint64_t bodyBytes = block.size();
        for (std::size_t i = 0; i < 8; ++i) block.push_back(static_cast<char>((bodyBytes >> (8 * i)) & 0xff));
        ASSERT_EQ(tool::readBlock(std::span(reinterpret_cast<const unsigned char*>(block.data()), block.size()))
                      .size(), 1u);

        const ElfImage measured = writeLauncher(stub, block, true);
        const ElfImage unmeasured = writeLauncher(stub, block, false);
        EXPECT_TRUE(unmeasured.bytes == measured.bytes);
        const tool::StubLayout layout = tool::checkStubLayout(unmeasured.bytes);
        EXPECT_EQ(layout.sections[layout.payloadSection].sh_size, kLauncherConfigBytes + block.size());
        EXPECT_EQ(layout.segments[layout.payloadSegment].p_filesz, kLauncherConfigBytes + block.size());
    }
}

TEST_P(LauncherWriterTest, PayloadIsFoundByNameAndWithoutSectionHeaders) {
    const std::string block = std::string("ZQX\0", 4) + std::string("\x04\0\0\0\0\0\0\0", 8);
    ElfImage launcher = writeLauncher(loadStub(GetParam()), block);
    const tool::PayloadLocation byName = tool::locatePayloadSection(launcher.bytes);
    EXPECT_EQ(byName.size, kLauncherConfigBytes + block.size());

    ElfImage renamed = launcher;
    renamed.bytes[renamed.section(renamed.header().e_shstrndx).sh_offset +
                  renamed.section(renamed.sectionIndex(kPayloadSectionName)).sh_name] = 'X';
    EXPECT_EQ(tool::locatePayloadSection(renamed.bytes).offset, byName.offset);

    launcher.editHeader([](Elf64_Ehdr& h) {
        h.e_shoff = 0;
        h.e_shnum = 0;
        h.e_shstrndx = 0;
    });
    const tool::PayloadLocation bySegment = tool::locatePayloadSection(launcher.bytes);
    EXPECT_EQ(bySegment.offset, byName.offset);
    EXPECT_EQ(bySegment.size, byName.size);
    EXPECT_EQ(tool::readBlock(tool::findAttachedBlock(launcher.bytes)).size(), 0u);
}

TEST_P(LauncherWriterTest, LyingOrCutLaunchersAreRefusedNotOverread) {
    const std::string block = std::string("ZQX\0", 4) + std::string("\x04\0\0\0\0\0\0\0", 8);
    const ElfImage launcher = writeLauncher(loadStub(GetParam()), block);
    const Elf64_Shdr payload = launcher.section(launcher.sectionIndex(kPayloadSectionName));
    const std::vector<std::uint64_t> cuts = {0,  4,  63, 64, 200, payload.sh_offset, payload.sh_offset + 100,
                                             payload.sh_offset + kLauncherConfigBytes + 5, launcher.bytes.size() - 1};
    for (const std::uint64_t cut : cuts) {
        const auto copy = std::make_unique<unsigned char[]>(cut);  // exact size: overreads are caught
        std::memcpy(copy.get(), launcher.bytes.data(), cut);
        EXPECT_NE(formatErrorOf([&] { tool::readBlock(tool::findAttachedBlock({copy.get(), cut})); }), "(accepted)")
            << "cut at " << cut;
    }
    ElfImage lying = launcher;
    lying.editSection(lying.sectionIndex(kPayloadSectionName), [](Elf64_Shdr& x) { x.sh_size = ~std::uint64_t{0} - 8; });
    EXPECT_NE(formatErrorOf([&] { tool::findAttachedBlock(lying.bytes); }).find("outside the file"), std::string::npos);
    lying = launcher;
    lying.editHeader([](Elf64_Ehdr& h) { h.e_shoff = ~std::uint64_t{0} - 16; });
    EXPECT_NE(formatErrorOf([&] { tool::findAttachedBlock(lying.bytes); }).find("outside the file"), std::string::npos);
    lying = launcher;
    lying.editSection(lying.header().e_shstrndx, [](Elf64_Shdr& x) { x.sh_size = 1u << 30; });
    EXPECT_NE(formatErrorOf([&] { tool::findAttachedBlock(lying.bytes); }).find("name table"), std::string::npos);
    lying = launcher;
    lying.editHeader([](Elf64_Ehdr& h) { h.e_machine = EM_RISCV; });
    EXPECT_EQ(formatErrorOf([&] { tool::findAttachedBlock(lying.bytes); }),
              "made for ELF machine 243, not for x86_64 or aarch64");
}

INSTANTIATE_TEST_SUITE_P(Stubs, LauncherWriterTest, ::testing::ValuesIn(builtStubs()), stubName);

}  // namespace
}  // namespace onefile::testing
