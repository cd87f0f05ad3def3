// The stub checks and the search for the payload section, on the real stubs
// of every architecture and on copies of them changed in one field each.
#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "format/launcher_config.h"
#include "tests/tool/elf_image.h"
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

// Each test runs on the stub of every architecture.
class StubLayoutTest : public ::testing::TestWithParam<BuiltStub> {};

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


}  // namespace
}  // namespace onefile::testing
