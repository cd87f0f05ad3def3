// A stub or launcher as bytes whose ELF tables a test reads and edits, for
// the stub checks and the launcher writer's tests.
#pragma once

#include <elf.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/tool/tool_test_helpers.h"
#include "tool/tool_error.h"

namespace onefile::testing {

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

inline ElfImage loadStub(const BuiltStub& stub) { return {readBytes(stub.path)}; }

// The FormatError text that `action` throws, or "(accepted)".
inline std::string formatErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const tool::FormatError& error) {
        return error.what();
    }
    return "(accepted)";
}

// Names a test instance after the stub's architecture.
inline std::string stubName(const ::testing::TestParamInfo<BuiltStub>& info) { return archName(info.param.architecture); }

}  // namespace onefile::testing
