// The stub checks, the launcher writer and the search for the payload
// section, on the real stubs of every architecture and on copies of them
// changed in one field each.
#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "format/launcher_config.h"
#include "tests/support/temp_dir.h"
#include "tests/tool/tool_test_helpers.h"
#include "tool/block_reader.h"
#include "tool/launcher_strings.h"
#include "tool/launcher_writer.h"
#include "tool/payload_locate.h"
#include "tool/stub_layout.h"
#include "tool/tool_error.h"

namespace onefile::testing {
namespace {

using tool::FormatError;

// A copy of an ELF file whose tables a test edits in place.
struct ElfImage {
    std::vector<unsigned char> bytes;

    template <typename T>
    T get(std::uint64_t offset) const {
        T value;
        std::memcpy(&value, bytes.data() + offset, sizeof value);
        return value;
    }
    template <typename T>
    void put(std::uint64_t offset, const T& value) {
        std::memcpy(bytes.data() + offset, &value, sizeof value);
    }

    Elf64_Ehdr header() const { return get<Elf64_Ehdr>(0); }
    std::uint64_t segmentOffset(std::size_t i) const { return header().e_phoff + i * sizeof(Elf64_Phdr); }
    std::uint64_t sectionOffset(std::size_t i) const { return header().e_shoff + i * sizeof(Elf64_Shdr); }
    Elf64_Phdr segment(std::size_t i) const { return get<Elf64_Phdr>(segmentOffset(i)); }
    Elf64_Shdr section(std::size_t i) const { return get<Elf64_Shdr>(sectionOffset(i)); }

    void editHeader(const std::function<void(Elf64_Ehdr&)>& edit) {
        Elf64_Ehdr value = header();
        edit(value);
        put(0, value);
    }
    void editSegment(std::size_t i, const std::function<void(Elf64_Phdr&)>& edit) {
        Elf64_Phdr value = segment(i);
        edit(value);
        put(segmentOffset(i), value);
    }
    void editSection(std::size_t i, const std::function<void(Elf64_Shdr&)>& edit) {
        Elf64_Shdr value = section(i);
        edit(value);
        put(sectionOffset(i), value);
    }

    std::string sectionName(std::size_t i) const {
        const Elf64_Shdr names = section(header().e_shstrndx);
        return reinterpret_cast<const char*>(bytes.data() + names.sh_offset + section(i).sh_name);
    }
    std::size_t sectionIndex(const std::string& name) const {
        for (std::size_t i = 1; i < header().e_shnum; ++i)
            if (sectionName(i) == name) return i;
        throw std::runtime_error("no section " + name);
    }
    std::size_t lastLoadSegment() const {
        std::size_t last = 0;
        for (std::size_t i = 0; i < header().e_phnum; ++i)
            if (segment(i).p_type == PT_LOAD) last = i;
        return last;
    }
    std::size_t segmentOfType(std::uint32_t type) const {
        for (std::size_t i = 0; i < header().e_phnum; ++i)
            if (segment(i).p_type == type) return i;
        throw std::runtime_error("no segment of type " + std::to_string(type));
    }
};

ElfImage loadStub(const BuiltStub& stub) { return {readBytes(stub.path)}; }

std::string formatErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const FormatError& error) {
        return error.what();
    }
    return "(accepted)";
}

// Each test runs on the stub of every architecture.
class StubLayoutTest : public ::testing::TestWithParam<BuiltStub> {};

std::string stubName(const ::testing::TestParamInfo<BuiltStub>& info) { return archName(info.param.architecture); }

TEST_P(StubLayoutTest, TheBuiltStubIsLaidOutForAttaching) {
    const BuiltStub& built = GetParam();
    const ElfImage stub = loadStub(built);
    const tool::StubLayout layout = tool::checkStubLayout(stub.bytes);
    const Elf64_Shdr& payload = layout.sections[layout.payloadSection];
    EXPECT_EQ(layout.header.e_machine, built.machine);
    EXPECT_EQ(layout.architecture, built.architecture);
    EXPECT_EQ(layout.pageBytes, built.pageBytes);
    EXPECT_EQ(stub.sectionName(layout.payloadSection), kPayloadSectionName);
    EXPECT_EQ(payload.sh_offset % built.pageBytes, 0u);
    EXPECT_EQ(payload.sh_addr % built.pageBytes, 0u);
    EXPECT_EQ(payload.sh_size, kLauncherConfigBytes + kStubBlockBytes);
    EXPECT_EQ(layout.payloadSegment, stub.lastLoadSegment());
    EXPECT_EQ(layout.segments[layout.payloadSegment].p_align, built.pageBytes);
}

struct StubDefect {
    const char* what;
    std::function<void(ElfImage&)> apply;
    std::string message;
};

// Every loadable segment aligned to `alignment`.
void alignLoadSegments(ElfImage& stub, std::uint64_t alignment) {
    for (std::size_t i = 0; i < stub.header().e_phnum; ++i)
        if (stub.segment(i).p_type == PT_LOAD) stub.editSegment(i, [&](Elf64_Phdr& p) { p.p_align = alignment; });
}

TEST_P(StubLayoutTest, RefusesEveryDeparture) {
    const ElfImage original = loadStub(GetParam());
    const std::size_t payload = original.sectionIndex(kPayloadSectionName);
    const std::size_t segment = original.lastLoadSegment();
    const std::uint64_t payloadOffset = original.section(payload).sh_offset;
    // The smallest power of two the payload section's offset is no multiple of.
    const std::uint64_t misfitPage = (payloadOffset & (~payloadOffset + 1)) * 2;
    const std::vector<StubDefect> defects = {
        {"not ELF", [](ElfImage& s) { s.bytes[1] = 'X'; }, "not an ELF file"},
        {"32-bit", [](ElfImage& s) { s.bytes[EI_CLASS] = ELFCLASS32; }, "not a 64-bit"},
        {"big-endian", [](ElfImage& s) { s.bytes[EI_DATA] = ELFDATA2MSB; }, "not a little-endian"},
        {"ET_EXEC", [](ElfImage& s) { s.editHeader([](Elf64_Ehdr& h) { h.e_type = ET_EXEC; }); }, "ET_DYN"},
        {"i386", [](ElfImage& s) { s.editHeader([](Elf64_Ehdr& h) { h.e_machine = EM_386; }); },
         "made for ELF machine 3, not for x86_64 or aarch64"},
        {"RISC-V", [](ElfImage& s) { s.editHeader([](Elf64_Ehdr& h) { h.e_machine = EM_RISCV; }); },
         "made for ELF machine 243, not for x86_64 or aarch64"},
        {"segments aligned below a page", [](ElfImage& s) { alignLoadSegments(s, 2048); },
         "loadable segments aligned to 2048 bytes, not to pages"},
        {"segment alignment no power of two", [](ElfImage& s) { alignLoadSegments(s, 0x3000); },
         "loadable segments aligned to 12288 bytes, not to pages"},
        {"linked for pages larger than the payload section's start allows", [&](ElfImage& s) {
             s.editSegment(s.segmentOfType(PT_LOAD), [&](Elf64_Phdr& p) { p.p_align = misfitPage; }); },
         "payload section does not start on a " + std::to_string(misfitPage) + "-byte page boundary"},
        {"program headers outside",
         [](ElfImage& s) { s.editHeader([&s](Elf64_Ehdr& h) { h.e_phoff = s.bytes.size() - 8; }); },
         "program header table lies outside the file"},
        {"section entry size", [](ElfImage& s) { s.editHeader([](Elf64_Ehdr& h) { h.e_shentsize = 40; }); },
         "entries of 40 bytes"},
        {"section headers gone", [](ElfImage& s) { s.editHeader([](Elf64_Ehdr& h) { h.e_shoff = 0; }); },
         "no section headers"},
        {"section renamed", [&](ElfImage& s) {
             s.bytes[s.section(s.header().e_shstrndx).sh_offset + s.section(payload).sh_name] = 'X'; },
         "no section onefile_payload"},
        {"writable", [&](ElfImage& s) { s.editSection(payload, [](Elf64_Shdr& x) { x.sh_flags |= SHF_WRITE; }); },
         "not allocated read-only data"},
        {"executable", [&](ElfImage& s) {
             s.editSection(payload, [](Elf64_Shdr& x) { x.sh_flags |= SHF_EXECINSTR; }); },
         "not allocated read-only data"},
        {"not allocated", [&](ElfImage& s) {
             s.editSection(payload, [](Elf64_Shdr& x) { x.sh_flags &= ~std::uint64_t{SHF_ALLOC}; }); },
         "not allocated read-only data"},
        {"NOBITS", [&](ElfImage& s) { s.editSection(payload, [](Elf64_Shdr& x) { x.sh_type = SHT_NOBITS; }); },
         "not PROGBITS"},
        {"signature", [&](ElfImage& s) { s.bytes[payloadOffset + 3] ^= 1; }, "whole configuration area"},
        {"segment longer in file", [&](ElfImage& s) {
             s.editSegment(segment, [](Elf64_Phdr& p) { p.p_filesz += 1; }); },
         "holds more or less"},
        {"segment longer in memory", [&](ElfImage& s) {
             s.editSegment(segment, [](Elf64_Phdr& p) { p.p_memsz += 4096; }); },
         "holds more or less"},
        {"segment at another address", [&](ElfImage& s) {
             s.editSegment(segment, [](Elf64_Phdr& p) { p.p_vaddr += 4096; }); },
         "disagree"},
        {"no segment starts at it", [&](ElfImage& s) {
             s.editSegment(segment, [](Elf64_Phdr& p) { p.p_type = PT_NOTE; }); },
         "no loadable segment begins"},
        {"another segment covers it", [&](ElfImage& s) {
             s.editSegment(s.segmentOfType(PT_GNU_STACK), [&](Elf64_Phdr& p) {
                 p.p_offset = payloadOffset + 16;
                 p.p_filesz = 1;
             }); },
         "covers file bytes behind the start"},
        {"a load segment behind it", [&](ElfImage& s) {
             s.editSegment(s.segmentOfType(PT_LOAD), [](Elf64_Phdr& p) { p.p_vaddr += 0x10000000; }); },
         "is loaded at or behind"},
        {"a loaded section behind it", [](ElfImage& s) {
             s.editSection(s.sectionIndex(".comment"), [](Elf64_Shdr& x) { x.sh_flags |= SHF_ALLOC; }); },
         ".comment is loaded but lies behind"},
        {"a section overlapping it", [&](ElfImage& s) {
             s.editSection(s.sectionIndex(".comment"), [&](Elf64_Shdr& x) { x.sh_offset = payloadOffset + 8; }); },
         ".comment overlaps"},
        {"a section outside the file", [](ElfImage& s) {
             s.editSection(s.sectionIndex(".comment"), [&s](Elf64_Shdr& x) { x.sh_offset = s.bytes.size(); }); },
         ".comment lies outside the file"},
        {"section headers inside it", [&](ElfImage& s) {
             const std::uint64_t table = s.header().e_shoff;
             const std::size_t count = s.header().e_shnum;
             // Into the configuration area, behind the signature: the section
             // names that follow the payload section stay intact.
             const std::uint64_t inside = payloadOffset + 64;
             std::memmove(s.bytes.data() + inside, s.bytes.data() + table, count * sizeof(Elf64_Shdr));
             s.editHeader([&](Elf64_Ehdr& h) { h.e_shoff = inside; }); },
         "section header table lies before the end"},
    };
    for (const StubDefect& defect : defects) {
        SCOPED_TRACE(defect.what);
        ElfImage stub = original;
        defect.apply(stub);
        const std::string message = formatErrorOf([&] { tool::checkStubLayout(stub.bytes); });
        EXPECT_NE(message.find(defect.message), std::string::npos) << message;
    }
}

INSTANTIATE_TEST_SUITE_P(Stubs, StubLayoutTest, ::testing::ValuesIn(builtStubs()), stubName);

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
