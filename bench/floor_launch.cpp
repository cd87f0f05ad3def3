// The floor of a launch: the least work that unpacks a launcher's block,
// runs its first entry and removes the tree again, in one thread. The
// benchmark measures the launcher against this program on the same block, on
// both of its workloads (a few large files; twenty thousand small ones), so
// every step here is the cheapest one that still does the whole job:
//
//   - the launcher file is mapped once and the block is found through the
//     ELF section headers (section onefile_payload, behind the configuration
//     area), so content comes from the page cache with no read and no copy;
//   - the block is sorted by name (but for its first entry, the one to run),
//     so the directories of the current entry form a stack of open
//     descriptors: a level is made (mkdirat) and opened once, when the first
//     entry below it comes, and closed when the names leave it;
//   - each file takes one openat relative to its directory's descriptor,
//     with its final mode, one write straight from the mapping (files above
//     256 KiB take one write per 256 KiB; floor_sendfile: one sendfile per
//     8 MiB) and one close; an empty file takes no write; a link takes one
//     symlinkat;
//   - the tree is removed through directory descriptors, one unlinkat per
//     entry, with the entry's type from getdents64 (no stat), and one
//     getdents64 per directory: a read that leaves room for another entry
//     has reached the directory's end (should the removal of the directory
//     find it not empty after all, it is read again).
//
// Per file: openat, write, close and unlinkat. Per directory: mkdirat,
// openat and close while writing; openat, getdents64, close and unlinkat
// while removing.
//
// Built with ONEFILE_FLOOR_SENDFILE it is floor_sendfile, the floor of a
// copy by the kernel: each file's content is copied from the launcher file
// with sendfile (8 MiB per call, the offset named), page cache to page
// cache, instead of written from the mapping. Which of the two is faster
// depends on the machine: a write from a mapping whose pages the kernel maps
// whole (a large file mapped on a 2 MiB boundary) copies with few page
// faults, and sendfile with none.
//
// Built with ONEFILE_FLOOR_DECODE (and floor_decode.cpp) it is floor_decode,
// the floor of a compressed launch: compressed entries are decoded, their
// frames on one thread per processor (floor_decode.cpp).
//
// usage: floor_launch LAUNCHER [ARGUMENTS...]
// The tree goes to $TMPDIR/floor_PID (TMPDIR defaults to /tmp). With
// ONEFILE_FLOOR_KEEP set in the environment, the tree is left in place and its
// path printed on standard output, so the benchmark can check what was
// written.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "format/launcher_config.h"
#include "format/payload_format.h"
#ifdef ONEFILE_FLOOR_DECODE
#include "bench/floor_decode.h"
#endif

using namespace onefile;

namespace {

constexpr std::size_t kPathBytes = 4096;
// A name of at most 1023 bytes has at most 512 directory levels.
constexpr int kMaxLevels = kNameBufferBytes / 2 + 1;
// Measured on ext4 and tmpfs: writes of 128 to 512 KiB cost least. On ext4
// one write of a whole 200 MB file takes about twice as long, and 32 KiB
// writes about 15% longer; on tmpfs the size hardly matters.
constexpr std::size_t kWriteChunkBytes = 256 * 1024;
// Entries of one directory read at once; a package directory holds some
// tens of them, of some tens of bytes each.
constexpr std::size_t kDirectoryReadBytes = 32 * 1024;
// The largest record getdents64 returns: its header and a name of 255
// bytes with its NUL, rounded up to 8 bytes.
constexpr std::size_t kLargestDirectoryRecord = 280;
constexpr mode_t kDirectoryMode = 0700;
constexpr mode_t kExecutableFileMode = 0755;
constexpr mode_t kPlainFileMode = 0644;
constexpr int kLevelOpenFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int kFailureStatus = 2;
constexpr int kExecFailureStatus = 127;
constexpr int kSignalExitBase = 128;

// The record getdents64 fills in (linux_dirent64).
struct DirectoryRecord {
    std::uint64_t inode;
    std::int64_t offset;
    unsigned short length;
    unsigned char type;
    char name[1];
};

#ifdef ONEFILE_FLOOR_SENDFILE
constexpr std::size_t kSendfileChunkBytes = 8u << 20;
// The launcher file, open for sendfile, and where its mapping starts.
int launcherFile = -1;
const unsigned char* launcherMapping;
#endif

char treePath[kPathBytes];
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
    fprintf(stderr, "floor_launch: %s: %s\n", what, strerror(errno));
    exit(kFailureStatus);
}

[[noreturn]] void failFormat(const char* what) {
    fprintf(stderr, "floor_launch: %s\n", what);
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
#ifdef ONEFILE_FLOOR_SENDFILE
    launcherFile = descriptor;
    launcherMapping = static_cast<const unsigned char*>(address);
#else
    (void)close(descriptor);
#endif
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
// the new ones are made and opened.
int enterDirectory(const char* name, std::size_t leafOffset) {
    // Keep the levels whose names, up to the slash that ends them, are the same.
    int kept = 1;
    while (kept < levelCount && levelEnd[kept] <= leafOffset &&
           memcmp(name + levelEnd[kept - 1], openName + levelEnd[kept - 1],
                  levelEnd[kept] - levelEnd[kept - 1] + 1) == 0) {
        ++kept;
    }
    while (levelCount > kept) (void)close(levelFd[--levelCount]);
    // Make and open the rest. A level exists already only where the block is
    // not in name order: the first entry, the one to run, comes first.
    char component[kNameBufferBytes];
    for (std::size_t start = levelEnd[levelCount - 1]; start < leafOffset;) {
        if (start > 0) ++start;  // past the slash that ended the level above
        const char* slash = static_cast<const char*>(memchr(name + start, '/', leafOffset - start + 1));
        std::size_t end = static_cast<std::size_t>(slash - name);
        memcpy(component, name + start, end - start);
        component[end - start] = '\0';
        int parent = levelFd[levelCount - 1];
        if (mkdirat(parent, component, kDirectoryMode) != 0 && errno != EEXIST) fail(component);
        int level = openat(parent, component, kLevelOpenFlags);
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

void writeFile(int directory, const char* leaf, const unsigned char* content, std::uint64_t size,
               bool executable) {
    int descriptor = openat(directory, leaf, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                            executable ? kExecutableFileMode : kPlainFileMode);
    if (descriptor < 0) fail(leaf);
#ifdef ONEFILE_FLOOR_SENDFILE
    off_t offset = content - launcherMapping;
    while (size > 0) {
        std::size_t request = size < kSendfileChunkBytes ? size : kSendfileChunkBytes;
        ssize_t copied = sendfile(descriptor, launcherFile, &offset, request);
        if (copied <= 0) {
            if (copied < 0 && errno == EINTR) continue;
            fail(leaf);
        }
        size -= static_cast<std::uint64_t>(copied);
    }
#else
    while (size > 0) {
        std::size_t request = size < kWriteChunkBytes ? size : kWriteChunkBytes;
        ssize_t written = write(descriptor, content, request);
        if (written < 0) {
            if (errno == EINTR) continue;
            fail(leaf);
        }
        content += written;
        size -= static_cast<std::uint64_t>(written);
    }
#endif
    if (close(descriptor) != 0) fail(leaf);
}

// Writes every entry of the block below the tree, whose descriptor is
// levelFd[0]; the first entry's path becomes the launch target.
void extractBlock(const unsigned char* cursor) {
    if (memcmp(cursor, kPayloadMagic, kPayloadMagicBytes) != 0) failFormat("no block magic");
    cursor += kPayloadMagicBytes;
    for (;;) {
        const char* name = reinterpret_cast<const char*>(cursor);
        std::size_t nameLength = strlen(name);
        if (nameLength == 0) break;
        if (nameLength >= kNameBufferBytes) failFormat("entry name too long");
        cursor += nameLength + 1;
        if (launchTarget[0] == '\0') {
            if (snprintf(launchTarget, sizeof launchTarget, "%s/%s", treePath, name) >=
                static_cast<int>(sizeof launchTarget))
                failFormat("entry path too long");
        }
        std::uint8_t flags = *cursor++;
        const char* lastSlash = strrchr(name, '/');
        std::size_t leafOffset = lastSlash != nullptr ? static_cast<std::size_t>(lastSlash - name) : 0;
        int directory = enterDirectory(name, leafOffset);
        const char* leaf = lastSlash != nullptr ? lastSlash + 1 : name;
        if (flags & kEntryFlagLink) {
            const char* target = reinterpret_cast<const char*>(cursor);
            if (symlinkat(target, directory, leaf) != 0) fail(name);
            cursor += strlen(target) + 1;
        } else {
            std::uint64_t size;
            memcpy(&size, cursor, kContentSizeBytes);
            cursor += kContentSizeBytes;
#ifdef ONEFILE_FLOOR_DECODE
            if (flags & kEntryFlagCompressed) {
                decodeFile(directory, leaf, cursor, size, flags & kEntryFlagExecutable);
                cursor += size;
                continue;
            }
#endif
            writeFile(directory, leaf, cursor, size, flags & kEntryFlagExecutable);
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

void removeDirectory(int parent, const char* name);

// Removes every entry of the open directory `descriptor`. Returns once a
// read leaves room for one more record, which getdents64 fills in whenever
// the directory has one.
void emptyDirectory(int descriptor) {
    alignas(DirectoryRecord) char records[kDirectoryReadBytes];
    for (;;) {
        long bytes = syscall(SYS_getdents64, descriptor, records, sizeof records);
        if (bytes < 0) fail("getdents64");
        for (long at = 0; at < bytes;) {
            const DirectoryRecord* record = reinterpret_cast<const DirectoryRecord*>(records + at);
            at += record->length;
            const char* child = record->name;
            if (child[0] == '.' && (child[1] == '\0' || (child[1] == '.' && child[2] == '\0'))) continue;
            bool isDirectory = record->type == DT_DIR;
            if (record->type == DT_UNKNOWN) {
                struct stat status;
                if (fstatat(descriptor, child, &status, AT_SYMLINK_NOFOLLOW) != 0) fail(child);
                isDirectory = S_ISDIR(status.st_mode);
            }
            if (isDirectory) {
                removeDirectory(descriptor, child);
            } else if (unlinkat(descriptor, child, 0) != 0) {
                fail(child);
            }
        }
        if (sizeof records - static_cast<std::size_t>(bytes) >= kLargestDirectoryRecord) return;
    }
}

// Empties and removes the directory `name` below the open directory parent.
void removeDirectory(int parent, const char* name) {
    for (;;) {
        int descriptor = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (descriptor < 0) fail(name);
        emptyDirectory(descriptor);
        (void)close(descriptor);
        if (unlinkat(parent, name, AT_REMOVEDIR) == 0) return;
        if (errno != ENOTEMPTY && errno != EEXIST) fail(name);
    }
}

void nameTree() {
    const char* temporary = getenv("TMPDIR");
    if (temporary == nullptr || temporary[0] == '\0') temporary = "/tmp";
    int length = snprintf(treePath, sizeof treePath, "%s/floor_%d", temporary, static_cast<int>(getpid()));
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof treePath) failFormat("TMPDIR too long");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) failFormat("usage: floor_launch LAUNCHER [ARGUMENTS...]");
    std::size_t size;
    const unsigned char* file = mapFile(argv[1], size);
    const unsigned char* block = findBlock(file, size);
    nameTree();
    if (mkdir(treePath, kDirectoryMode) != 0) fail(treePath);
    levelFd[0] = open(treePath, kLevelOpenFlags);
    if (levelFd[0] < 0) fail(treePath);
    levelCount = 1;
    extractBlock(block);
#ifdef ONEFILE_FLOOR_DECODE
    waitForDecoders();
#endif
    (void)close(levelFd[0]);
    // The child sees the launcher's path as argv[0] and the arguments after it.
    int status = runChild(argv + 1);
    if (getenv("ONEFILE_FLOOR_KEEP") != nullptr) {
        printf("%s\n", treePath);
        return status;
    }
    removeDirectory(AT_FDCWD, treePath);
    return status;
}
