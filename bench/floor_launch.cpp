// The floor of a launch: the least work that unpacks a launcher's block,
// runs its first entry and removes the tree again. The benchmark measures the
// launcher against this program on the same block, so every step here is the
// cheapest one that still does the whole job:
//
//   - the launcher file is mapped once and the block is found through the
//     ELF section headers (section onefile_payload, behind the configuration
//     area), so content comes from the page cache with no read and no copy;
//   - each file is created with its final mode and written straight from the
//     mapping in writes of 256 KiB;
//   - directory levels are created once, remembered by name;
//   - the tree is removed through directory descriptors, using the entry
//     type that readdir reports, so nothing is stat'ed.
//
// usage: floor_launch LAUNCHER [ARGUMENTS...]
// The tree goes to $TMPDIR/floor_PID (TMPDIR defaults to /tmp). With
// ONEFILE_FLOOR_KEEP set in the environment, the tree is left in place and its
// path printed on standard output, so the benchmark can check what was
// written.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "build/launcher_config.h"
#include "payload/payload_format.h"

using namespace onefile;

namespace {

constexpr std::size_t kPathBytes = 4096;
// Directory levels remembered; more are still created, just tested again.
constexpr int kKnownDirectoryCount = 64;
// Measured on ext4 and tmpfs: writes of 128 to 512 KiB cost least. On ext4
// one write of a whole 200 MB file takes about twice as long, and 32 KiB
// writes about 15% longer; on tmpfs the size hardly matters.
constexpr std::size_t kWriteChunkBytes = 256 * 1024;
constexpr mode_t kDirectoryMode = 0700;
constexpr mode_t kExecutableFileMode = 0755;
constexpr mode_t kPlainFileMode = 0644;
constexpr int kFailureStatus = 2;
constexpr int kExecFailureStatus = 127;
constexpr int kSignalExitBase = 128;

char treePath[kPathBytes];
char entryPath[kPathBytes];
char launchTarget[kPathBytes];
char knownDirectories[kKnownDirectoryCount][kPathBytes];
int knownDirectoryCount;

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

bool isKnownDirectory(const char* path) {
    for (int i = 0; i < knownDirectoryCount; ++i) {
        if (strcmp(knownDirectories[i], path) == 0) return true;
    }
    return false;
}

void rememberDirectory(const char* path) {
    if (knownDirectoryCount == kKnownDirectoryCount) return;
    memcpy(knownDirectories[knownDirectoryCount++], path, strlen(path) + 1);
}

// Creates the directory levels between the tree and the entry at path,
// each once per run; the tree itself exists already.
void createParents(char* path) {
    char* lastSlash = strrchr(path, '/');
    *lastSlash = '\0';
    bool known = isKnownDirectory(path);
    *lastSlash = '/';
    if (known) return;
    for (char* slash = path + strlen(treePath) + 1; (slash = strchr(slash, '/')) != nullptr; ++slash) {
        *slash = '\0';
        if (!isKnownDirectory(path)) {
            if (mkdir(path, kDirectoryMode) != 0 && errno != EEXIST) fail(path);
            rememberDirectory(path);
        }
        *slash = '/';
    }
}

void writeFile(const char* path, const unsigned char* content, std::uint64_t size, bool executable) {
    int descriptor = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                          executable ? kExecutableFileMode : kPlainFileMode);
    if (descriptor < 0) fail(path);
    while (size > 0) {
        std::size_t request = size < kWriteChunkBytes ? size : kWriteChunkBytes;
        ssize_t written = write(descriptor, content, request);
        if (written < 0) {
            if (errno == EINTR) continue;
            fail(path);
        }
        content += written;
        size -= static_cast<std::uint64_t>(written);
    }
    if (close(descriptor) != 0) fail(path);
}

// Writes every entry of the block below treePath; the first entry's path
// becomes the launch target.
void extractBlock(const unsigned char* cursor) {
    if (memcmp(cursor, kPayloadMagic, kPayloadMagicBytes) != 0) failFormat("no block magic");
    cursor += kPayloadMagicBytes;
    std::size_t treeLength = strlen(treePath);
    memcpy(entryPath, treePath, treeLength);
    entryPath[treeLength] = '/';
    for (;;) {
        const char* name = reinterpret_cast<const char*>(cursor);
        std::size_t nameLength = strlen(name);
        if (nameLength == 0) return;
        if (treeLength + 1 + nameLength >= kPathBytes) failFormat("entry path too long");
        memcpy(entryPath + treeLength + 1, name, nameLength + 1);
        cursor += nameLength + 1;
        if (launchTarget[0] == '\0') memcpy(launchTarget, entryPath, treeLength + 2 + nameLength);
        std::uint8_t flags = *cursor++;
        if (strchr(name, '/') != nullptr) createParents(entryPath);
        if (flags & kEntryFlagLink) {
            const char* target = reinterpret_cast<const char*>(cursor);
            if (symlink(target, entryPath) != 0) fail(entryPath);
            cursor += strlen(target) + 1;
        } else {
            std::uint64_t size;
            memcpy(&size, cursor, kContentSizeBytes);
            cursor += kContentSizeBytes;
            writeFile(entryPath, cursor, size, flags & kEntryFlagExecutable);
            cursor += size;
        }
    }
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

// Empties and removes the directory `name` below the open directory parent.
void removeTree(int parent, const char* name) {
    int descriptor = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0) fail(name);
    DIR* directory = fdopendir(descriptor);
    if (directory == nullptr) fail(name);
    while (const dirent* entry = readdir(directory)) {
        const char* child = entry->d_name;
        if (child[0] == '.' && (child[1] == '\0' || (child[1] == '.' && child[2] == '\0'))) continue;
        bool isDirectory = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat status;
            if (fstatat(descriptor, child, &status, AT_SYMLINK_NOFOLLOW) != 0) fail(child);
            isDirectory = S_ISDIR(status.st_mode);
        }
        if (isDirectory) {
            removeTree(descriptor, child);
        } else if (unlinkat(descriptor, child, 0) != 0) {
            fail(child);
        }
    }
    (void)closedir(directory);
    if (unlinkat(parent, name, AT_REMOVEDIR) != 0) fail(name);
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
    extractBlock(block);
    // The child sees the launcher's path as argv[0] and the arguments after it.
    int status = runChild(argv + 1);
    if (getenv("ONEFILE_FLOOR_KEEP") != nullptr) {
        printf("%s\n", treePath);
        return status;
    }
    removeTree(AT_FDCWD, treePath);
    return status;
}
