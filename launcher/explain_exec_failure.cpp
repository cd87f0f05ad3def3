#include "launcher/explain_exec_failure.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "runtime/launcher_state.h"

// The kernel's reasons are few: a missing interpreter (the "#!" line's
// program, or an ELF program's loader) also shows as ENOENT, a file system
// mounted noexec as EACCES, a program for another machine as ENOEXEC. The
// file itself tells which one it is.

namespace onefile {

namespace {

// The "#!" line the kernel reads is at most this long.
constexpr std::size_t kScriptLineBytes = 256;
constexpr std::size_t kMostProgramHeaders = 64;

#if defined(__x86_64__)
constexpr std::uint16_t kThisMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr std::uint16_t kThisMachine = EM_AARCH64;
#endif

// What the start of the launch target says about how it is run.
struct Interpreter {
    enum Kind { none, script, loader } kind = none;
    char path[kScriptLineBytes] = {};
    std::uint16_t machine = 0;  // of an ELF file
    bool isElf = false;
};

bool readExactly(int descriptor, void* buffer, std::size_t size, off_t offset) {
    return pread(descriptor, buffer, size, offset) == static_cast<ssize_t>(size);
}

// The program named by a "#!" line: the first word after the marker.
void takeScriptInterpreter(const char* line, std::size_t length, Interpreter* interpreter) {
    std::size_t start = 2;
    while (start < length && (line[start] == ' ' || line[start] == '\t')) ++start;
    std::size_t end = start;
    while (end < length && line[end] != ' ' && line[end] != '\t' && line[end] != '\n' && line[end] != '\0') ++end;
    if (end == start || end - start >= sizeof interpreter->path) return;
    memcpy(interpreter->path, line + start, end - start);
    interpreter->path[end - start] = '\0';
    interpreter->kind = Interpreter::script;
}

// The loader an ELF program asks for in its PT_INTERP segment, if any.
void takeElfLoader(int descriptor, const Elf64_Ehdr& header, Interpreter* interpreter) {
    for (std::size_t i = 0; i < header.e_phnum && i < kMostProgramHeaders; ++i) {
        Elf64_Phdr segment;
        if (header.e_phentsize != sizeof segment ||
            !readExactly(descriptor, &segment, sizeof segment, static_cast<off_t>(header.e_phoff + i * sizeof segment))) {
            return;
        }
        if (segment.p_type != PT_INTERP) continue;
        if (segment.p_filesz == 0 || segment.p_filesz > sizeof interpreter->path ||
            !readExactly(descriptor, interpreter->path, segment.p_filesz, static_cast<off_t>(segment.p_offset))) {
            return;
        }
        interpreter->path[segment.p_filesz - 1] = '\0';
        interpreter->kind = Interpreter::loader;
        return;
    }
}

Interpreter readInterpreter(int descriptor) {
    Interpreter interpreter;
    char start[kScriptLineBytes];
    ssize_t length = pread(descriptor, start, sizeof start, 0);
    if (length >= 2 && start[0] == '#' && start[1] == '!') {
        takeScriptInterpreter(start, static_cast<std::size_t>(length), &interpreter);
    } else if (length >= static_cast<ssize_t>(sizeof(Elf64_Ehdr)) && memcmp(start, ELFMAG, SELFMAG) == 0) {
        Elf64_Ehdr header;
        memcpy(&header, start, sizeof header);
        interpreter.isElf = true;
        interpreter.machine = header.e_machine;
        if (start[EI_CLASS] == ELFCLASS64) takeElfLoader(descriptor, header, &interpreter);
    }
    return interpreter;
}

const char* machineName(std::uint16_t machine) {
    switch (machine) {
        case EM_X86_64: return "x86-64";
        case EM_AARCH64: return "aarch64";
        case EM_386: return "32-bit x86";
        case EM_ARM: return "32-bit ARM";
        case EM_RISCV: return "RISC-V";
        default: return nullptr;
    }
}

void explainMissing(const char* path, const Interpreter& interpreter) {
    if (interpreter.kind == Interpreter::script) {
        fprintf(stderr, "'%s' has no interpreter here: its first line asks for '%s', which this machine lacks.\n", path,
                interpreter.path);
    } else if (interpreter.kind == Interpreter::loader) {
        fprintf(stderr, "'%s' has no interpreter here: it needs the program loader '%s', which this machine lacks.\n",
                path, interpreter.path);
    } else {
        fprintf(stderr, "'%s' was not found where it was unpacked.\n", path);
    }
}

void explainDenied(const char* path, int descriptor, const Interpreter& interpreter) {
    struct stat status;
    if (descriptor >= 0 && fstat(descriptor, &status) == 0 && (status.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0) {
        fprintf(stderr, "'%s' has no execute permission.\n", path);
        return;
    }
    struct statvfs fileSystem;
    if (descriptor >= 0 && fstatvfs(descriptor, &fileSystem) == 0 && (fileSystem.f_flag & ST_NOEXEC) != 0) {
        fprintf(stderr,
                "'%s' is on a file system mounted noexec, where programs cannot run; set TMPDIR to a directory that "
                "allows them.\n",
                gExtractionDirectory);
        return;
    }
    if (interpreter.kind != Interpreter::none) {
        fprintf(stderr, "'%s' cannot be run: its interpreter '%s' may not be run here.\n", path, interpreter.path);
        return;
    }
    fprintf(stderr, "'%s' may not be run here.\n", path);
}

void explainFormat(const char* path, const Interpreter& interpreter) {
    const char* machine = machineName(interpreter.machine);
    if (interpreter.isElf && interpreter.machine != kThisMachine && machine != nullptr) {
        fprintf(stderr, "'%s' is a program for %s, not for this machine.\n", path, machine);
    } else if (interpreter.isElf) {
        fprintf(stderr, "'%s' is a program this machine cannot run.\n", path);
    } else {
        fprintf(stderr, "'%s' is neither a program for this machine nor a script that starts with '#!'.\n", path);
    }
}

}  // namespace

void explainExecFailure(const char* path, int errorNumber) {
    if (path[0] == '\0') return;
    if (errorNumber != ENOENT && errorNumber != EACCES && errorNumber != ENOEXEC) return;
    int descriptor = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    Interpreter interpreter = descriptor >= 0 ? readInterpreter(descriptor) : Interpreter{};
    if (errorNumber == ENOENT) {
        explainMissing(path, interpreter);
    } else if (errorNumber == EACCES) {
        explainDenied(path, descriptor, interpreter);
    } else {
        explainFormat(path, interpreter);
    }
    if (descriptor >= 0) (void)close(descriptor);
}

}  // namespace onefile
