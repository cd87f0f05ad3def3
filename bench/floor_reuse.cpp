// The floor of a second start with pack --reuse: the least work that checks
// a kept tree against a launcher's block and runs its first entry, in one
// thread. The benchmark measures the launcher's second start against this
// program on the same block and the same tree:
//
//   - the launcher file is mapped once and the block is found through the
//     ELF section headers, as floor_launch does;
//   - the block is sorted by name (but for its first entry), so the
//     directories of the current entry form a stack of descriptors opened
//     with O_PATH, one openat per directory, when the first entry below it
//     comes;
//   - each file and link takes one fstatat relative to its directory,
//     without following links, and its kind and size are compared with the
//     block's (a compressed entry is not expected: the benchmark's blocks
//     are stored); nothing is read;
//   - then it forks and execs the first entry and waits.
//
// usage: floor_reuse LAUNCHER TREE [ARGUMENTS...]
// A tree that differs from the block ends the floor with status 2 and the
// entry named, so a floor that skipped work cannot pass for fast.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "format/launcher_config.h"
#include "format/payload_format.h"

using namespace onefile;

namespace {

constexpr std::size_t kPathBytes = 4096;
// A name of at most 1023 bytes has at most 512 directory levels.
constexpr int kMaxLevels = kNameBufferBytes / 2 + 1;
constexpr int kLevelOpenFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int kFailureStatus = 2;
constexpr int kExecFailureStatus = 127;
constexpr int kSignalExitBase = 128;

char launchTarget[kPathBytes];

// The open directory levels of the current entry: levelFd[0] is the tree,
// levelFd[i] the level whose name, in the names of the entries below it,
// ends at byte levelEnd[i], where the slash after it is (levelEnd[0] is 0).
int levelFd[kMaxLevels];
std::size_t levelEnd[kMaxLevels];
int levelCount;
// The name of the entry whose directories are open.
char openName[kNameBufferBytes];

[[noreturn]] void fail(const char* what) {
    fprintf(stderr, "floor_reuse: %s: %s\n", what, strerror(errno));
    exit(kFailureStatus);
}

[[noreturn]] void failFormat(const char* what) {
    fprintf(stderr, "floor_reuse: %s\n", what);
    exit(kFailureStatus);
}

// Maps the whole launcher file read-only; the mapping stays until exit.
const unsigned char* mapFile(const char* path, std::size_t& size) {
    int descriptor = open(path, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) fail(path);
    struct stat status;
    if (fstat(descriptor, &status) != 0) fail(path);
    size = static_cast<std::size_t>(status.st_size);
    void* address = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, descriptor, 0);
    if (address == MAP_FAILED) fail(path);
    (void)close(descriptor);
    return static_cast<const unsigned char*>(address);
}

// The block starts one configuration area into the section that carries it.
const unsigned char* findBlock(const unsigned char* file, std::size_t size) {
    Elf64_Ehdr header;
    if (size < sizeof header) failFormat("launcher shorter than an ELF header");
    memcpy(&header, file, sizeof header);
    if (header.e_shoff + std::size_t{header.e_shnum} * sizeof(Elf64_Shdr) > size)
        failFormat("section headers outside the launcher");
    Elf64_Shdr names;
    memcpy(&names, file + header.e_shoff + std::size_t{header.e_shstrndx} * sizeof(Elf64_Shdr),
           sizeof names);
    for (unsigned i = 1; i < header.e_shnum; ++i) {
        Elf64_Shdr section;
        memcpy(&section, file + header.e_shoff + std::size_t{i} * sizeof section, sizeof section);
        const char* name = reinterpret_cast<const char*>(file + names.sh_offset + section.sh_name);
        if (strcmp(name, kPayloadSectionName) != 0) continue;
        if (section.sh_offset + kLauncherConfigBytes > size) failFormat("payload section outside the launcher");
        return file + section.sh_offset + kLauncherConfigBytes;
    }
    failFormat("no onefile_payload section");
}

// Returns the descriptor of the directory that holds the entry `name`
// (leafOffset bytes of it are directory levels, slashes included): the
// levels the previous entry shares stay open, the others are closed, and
// the new ones are opened.
int enterDirectory(const char* name, std::size_t leafOffset) {
    int kept = 1;
    while (kept < levelCount && levelEnd[kept] <= leafOffset &&
           memcmp(name + levelEnd[kept - 1], openName + levelEnd[kept - 1],
                  levelEnd[kept] - levelEnd[kept - 1] + 1) == 0) {
        ++kept;
    }
    while (levelCount > kept) (void)close(levelFd[--levelCount]);
    char component[kNameBufferBytes];
    for (std::size_t start = levelEnd[levelCount - 1]; start < leafOffset;) {
        if (start > 0) ++start;  // past the slash that ended the level above
        const char* slash = static_cast<const char*>(memchr(name + start, '/', leafOffset - start + 1));
        std::size_t end = static_cast<std::size_t>(slash - name);
        memcpy(component, name + start, end - start);
        component[end - start] = '\0';
        int level = openat(levelFd[levelCount - 1], component, kLevelOpenFlags);
        if (level < 0) fail(component);
        if (levelCount == kMaxLevels) failFormat("entry name too deep");
        levelFd[levelCount] = level;
        levelEnd[levelCount] = end;
        ++levelCount;
        start = end;
    }
    memcpy(openName, name, leafOffset + 1);
    return levelFd[levelCount - 1];
}

// Checks every entry of the block against the tree, whose descriptor is
// levelFd[0]; the first entry's path becomes the launch target.
void checkBlock(const unsigned char* cursor, const char* tree) {
    if (memcmp(cursor, kPayloadMagic, kPayloadMagicBytes) != 0) failFormat("no block magic");
    cursor += kPayloadMagicBytes;
    for (;;) {
        const char* name = reinterpret_cast<const char*>(cursor);
        std::size_t nameLength = strlen(name);
        if (nameLength == 0) break;
        if (nameLength >= kNameBufferBytes) failFormat("entry name too long");
        cursor += nameLength + 1;
        if (launchTarget[0] == '\0') {
            if (snprintf(launchTarget, sizeof launchTarget, "%s/%s", tree, name) >= static_cast<int>(sizeof launchTarget))
                failFormat("entry path too long");
        }
        std::uint8_t flags = *cursor++;
        const char* lastSlash = strrchr(name, '/');
        std::size_t leafOffset = lastSlash != nullptr ? static_cast<std::size_t>(lastSlash - name) : 0;
        int directory = enterDirectory(name, leafOffset);
        const char* leaf = lastSlash != nullptr ? lastSlash + 1 : name;
        struct stat status;
        if (fstatat(directory, leaf, &status, AT_SYMLINK_NOFOLLOW) != 0) fail(name);
        if (flags & kEntryFlagLink) {
            std::size_t textLength = strlen(reinterpret_cast<const char*>(cursor));
            if (!S_ISLNK(status.st_mode) || static_cast<std::size_t>(status.st_size) != textLength)
                failFormat("a link differs from the block");
            cursor += textLength + 1;
        } else {
            std::uint64_t size;
            memcpy(&size, cursor, kContentSizeBytes);
            cursor += kContentSizeBytes;
            if (!S_ISREG(status.st_mode) || static_cast<std::uint64_t>(status.st_size) != size)
                failFormat("a file differs from the block");
            cursor += size;
        }
    }
    while (levelCount > 1) (void)close(levelFd[--levelCount]);
}

int runChild(char** argv) {
    pid_t child = fork();
    if (child < 0) fail("fork");
    if (child == 0) {
        execv(launchTarget, argv);
        _exit(kExecFailureStatus);
    }
    int status;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) fail("waitpid");
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return kSignalExitBase + WTERMSIG(status);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) failFormat("usage: floor_reuse LAUNCHER TREE [ARGUMENTS...]");
    std::size_t size;
    const unsigned char* file = mapFile(argv[1], size);
    const unsigned char* block = findBlock(file, size);
    levelFd[0] = open(argv[2], kLevelOpenFlags);
    if (levelFd[0] < 0) fail(argv[2]);
    levelCount = 1;
    checkBlock(block, argv[2]);
    (void)close(levelFd[0]);
    // The child sees the launcher's path as argv[0] and the arguments after
    // the tree.
    argv[2] = argv[1];
    return runChild(argv + 2);
}
