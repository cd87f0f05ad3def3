#include "payload/extract_payload.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "format/entry_modes.h"
#include "format/entry_rules.h"
#include "format/payload_format.h"
#include "payload/copy_stored_content.h"
#include "payload/entry_decoder.h"
#include "payload/entry_directories.h"
#include "payload/entry_writers.h"
#include "payload/extraction_directory.h"
#include "runtime/error_text.h"
#include "runtime/fatal_stops.h"
#include "runtime/launcher_section.h"
#include "runtime/launcher_state.h"

namespace onefile {

const unsigned char* gPayloadCursor;
const unsigned char* gPayloadEnd;
unsigned long long gPayloadFileOffset;
bool gPayloadInLauncherFile;
bool gPayloadPagesReleasable;

namespace {

constexpr char kMissingHeaderMessage[] = "Error, couldn't find attached data header.";
constexpr char kUnpackFailure[] = "Error, couldn't unpack file to target path.";
// Applied when the file's mode cannot be read: the owner can read, write and
// run it, and nobody else gains anything.
constexpr mode_t kModeWithoutStatus = 0700;

char nameBuffer[kNameBufferBytes];
char targetPath[kPathBufferBytes];

// The modes of a new file, from the umask read once when the extraction
// starts: plain, and with the executable flag, where the owner gains execute
// and others gain execute where the group may read. When the umask would
// take a bit of the executable mode away, the mode is set after the create.
mode_t plainFileMode;
mode_t executableFileMode;
bool executableModeNeedsChmod;

[[noreturn]] void failExtraction(const char* format, const char* path) {
    closeEntryDirectories();
    stopIfSignalled();
    fprintf(stderr, format, path);
    exitFatally();
}

// The report names the file on a line of its own: `name` is the entry's
// name in the block.
[[noreturn]] void failToUnpack(int error, const char* name) {
    closeEntryDirectories();
    stopIfSignalled();
    reportSystemError(kUnpackFailure, error);
    fprintf(stderr, "while writing '%s/%s'\n", gExtractionDirectory, name);
    exitFatally();
}

// The first byte of the block in memory, at gPayloadFileOffset in the file.
const unsigned char* blockStart;

// The launcher's own file, opened for the kernel's copies when the first
// entry worth one comes; -1 while none came, and for good when it cannot be
// opened (a launcher its user may run but not read): entries are then
// written from the mapping.
int launcherFile = -1;
bool launcherFileOpened;

// A copy found the launcher's file ending at `copyEnd`, before the block
// does: the file was cut short since the start, which checked it. The same
// report as that check's, with the file's size now (a copy that started
// past the end saw only that it did), and what the run made is removed.
[[noreturn]] void stopOnShortenedLauncher(std::uint64_t copyEnd) {
    closeEntryDirectories();
    stopIfSignalled();
    const unsigned long long needed = gPayloadFileOffset + static_cast<unsigned long long>(gPayloadEnd - blockStart);
    unsigned long long fileEnd = copyEnd;
    struct stat status;
    if (fstat(launcherFile, &status) == 0 && static_cast<unsigned long long>(status.st_size) < needed) {
        fileEnd = static_cast<unsigned long long>(status.st_size);
    }
    fprintf(stderr, "Error, launcher file is incomplete (%llu of %llu bytes).\n", fileEnd, needed);
    exitFatally();
}

// Without the main thread's decoding workspace nothing can be decoded. An
// address-space limit is the usual cause: the report names it in the unit of
// ulimit -v (KiB), beside the room a workspace needs.
[[noreturn]] void stopWithoutDecoderWorkspace(int error) {
    stopIfSignalled();
    const unsigned long long neededKiB = (decoderWorkspaceBytes() + 1023) / 1024;
    struct rlimit addressSpace;
    if (error == ENOMEM && getrlimit(RLIMIT_AS, &addressSpace) == 0 && addressSpace.rlim_cur != RLIM_INFINITY) {
        fprintf(stderr,
                "Error, couldn't reserve %llu KiB for decoding (address space limit %llu KiB); raise ulimit -v.\n",
                neededKiB, static_cast<unsigned long long>(addressSpace.rlim_cur / 1024));
    } else {
        char what[64];
        snprintf(what, sizeof what, "Error, couldn't reserve %llu KiB for decoding", neededKiB);
        reportSystemError(what, error);
    }
    exitFatally();
}

// Payload pages already written out are given back to the kernel in steps of
// this size, so the launcher's resident memory stays small however large the
// payload: the pages stay in the page cache, only our mapping of them goes.
constexpr std::size_t kReleaseStepBytes = 4u << 20;
// A block smaller than this keeps its pages until the launcher ends.
constexpr std::size_t kKeptBlockBytes = 256u << 10;
const unsigned char* releasedUpTo;

// The kernel's page size less one, read once when the extraction starts: 4 KiB
// on x86-64, 4, 16 or 64 KiB on aarch64, so madvise ranges line up everywhere.
std::uintptr_t pageMask;

void releasePages(std::uintptr_t from, std::uintptr_t to) {
    if (to > from) (void)madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
}

// Releases the pages of the block before `written` once a step's worth has
// gathered behind the last release.
void releaseWrittenPayload(const unsigned char* written) {
    if (!gPayloadPagesReleasable) return;
    std::uintptr_t from = (reinterpret_cast<std::uintptr_t>(releasedUpTo) + pageMask) & ~pageMask;
    std::uintptr_t to = reinterpret_cast<std::uintptr_t>(written) & ~pageMask;
    if (to <= from || to - from < kReleaseStepBytes) return;
    releasePages(from, to);
    releasedUpTo = reinterpret_cast<const unsigned char*>(to);
}

// Once every entry is written nothing reads the block again: all of its pages
// go, also those the kernel mapped ahead of the cursor. A small block stays:
// its pages weigh little, and their release costs a start-up a system call
// and a flush of the address translations.
void releaseWholePayload(const unsigned char* start) {
    if (!gPayloadPagesReleasable || gPayloadEnd - start < static_cast<std::ptrdiff_t>(kKeptBlockBytes)) return;
    std::uintptr_t from = reinterpret_cast<std::uintptr_t>(start) & ~pageMask;
    std::uintptr_t to = (reinterpret_cast<std::uintptr_t>(gPayloadEnd) + pageMask) & ~pageMask;
    releasePages(from, to);
}

std::size_t bytesLeft() { return static_cast<std::size_t>(gPayloadEnd - gPayloadCursor); }

// Copies the NUL-terminated text at the cursor into nameBuffer and moves the
// cursor past its NUL. A text without a NUL within the buffer or the block
// is refused before anything of it is used.
void readNameText(const char* what) {
    std::size_t limit = bytesLeft() < sizeof nameBuffer ? bytesLeft() : sizeof nameBuffer;
    const void* end = memchr(gPayloadCursor, '\0', limit);
    if (end == nullptr) {
        if (limit == sizeof nameBuffer) stopOnBrokenLimit(what);
        stopOnDamagedBlock();
    }
    std::size_t length = static_cast<const unsigned char*>(end) - gPayloadCursor;
    memcpy(nameBuffer, gPayloadCursor, length + 1);
    gPayloadCursor += length + 1;
}

std::uint8_t readByte() {
    if (bytesLeft() < 1) stopOnDamagedBlock();
    return *gPayloadCursor++;
}

std::uint64_t readContentSize() {
    if (bytesLeft() < kContentSizeBytes) stopOnDamagedBlock();
    std::uint64_t size = decodeBlockNumber(gPayloadCursor);
    gPayloadCursor += kContentSizeBytes;
    return size;
}

[[noreturn]] void refuseEscapingEntry() {
    failExtraction("Error, entry name '%s' leaves the extraction directory.\n", nameBuffer);
}

// Composes extraction directory, "/" and the entry name into targetPath,
// stopping before anything is written when it would not fit.
void composeTargetPath() {
    if (!isContainedName(nameBuffer, strlen(nameBuffer))) refuseEscapingEntry();
    std::size_t directoryLength = strlen(gExtractionDirectory);
    std::size_t nameLength = strlen(nameBuffer);
    if (directoryLength + 1 + nameLength > kPathBufferBytes - 1) stopOnBrokenLimit("target path");
    memcpy(targetPath, gExtractionDirectory, directoryLength);
    targetPath[directoryLength] = '/';
    memcpy(targetPath + directoryLength + 1, nameBuffer, nameLength + 1);
}

[[noreturn]] void failToOpen() { failExtraction("Error, failed to open '%s' for writing.\n", targetPath); }

// The directory that holds the entry in nameBuffer. A level that is a
// symbolic link (one the block made earlier) would lead out of the
// extraction directory.
int openEntryDirectoryOrStop(const char** leaf) {
    int directory = openEntryDirectory(nameBuffer, leaf);
    if (directory >= 0) return directory;
    if (errno == ELOOP) refuseEscapingEntry();
    failToOpen();
}

void extractLink() {
    const char* leaf;
    int directory = openEntryDirectoryOrStop(&leaf);
    // The link text is read into nameBuffer, where the name was.
    char linkName[kNameBufferBytes];
    memcpy(linkName, leaf, strlen(leaf) + 1);
    readNameText("link target");
    (void)unlinkat(directory, linkName, 0);
    if (symlinkat(nameBuffer, directory, linkName) != 0) failToOpen();
}

void readFileModes() {
    mode_t mask = umask(0);
    (void)umask(mask);
    plainFileMode = kEntryFileMode & ~mask;
    executableFileMode = executableEntryMode(plainFileMode);
    executableModeNeedsChmod = (executableFileMode & mask) != 0;
}

// A file that existed already (a block that names an entry twice) keeps its
// mode, which gains owner execute, and others execute where the group may
// read; group execute is never added and no bit is cleared.
void makeExistingFileExecutable(int descriptor) {
    struct stat status;
    mode_t mode = kModeWithoutStatus;
    if (fstat(descriptor, &status) != 0) {
        reportSystemError("fstat", errno);
    } else {
        mode = executableEntryMode(status.st_mode & 07777);
    }
    if (fchmod(descriptor, mode) != 0) reportSystemError("fchmod", errno);
}

// Whether writer threads write the files' content (entry_writers.h).
bool extractingInParallel;
void waitForWriters();

// Opens the entry's file for writing, with its final mode; never through a
// symbolic link, which an earlier entry of the same name may have made.
int openEntryFile(bool executable) {
    const char* leaf;
    int directory = openEntryDirectoryOrStop(&leaf);
    constexpr int kFlags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC;
    mode_t mode = executable ? executableFileMode : plainFileMode;
    int descriptor = openat(directory, leaf, kFlags | O_EXCL, mode);
    if (descriptor >= 0) {
        if (executable && executableModeNeedsChmod && fchmod(descriptor, mode) != 0) {
            reportSystemError("fchmod", errno);
        }
        return descriptor;
    }
    if (errno == EEXIST) {
        // A name the block gives twice: its earlier content must be written
        // before this one replaces it.
        if (extractingInParallel) waitForWriters();
        descriptor = openat(directory, leaf, kFlags | O_TRUNC, mode);
    }
    if (descriptor < 0) {
        if (errno == ELOOP) refuseEscapingEntry();
        failToOpen();
    }
    if (executable) makeExistingFileExecutable(descriptor);
    return descriptor;
}

bool stopFlagRaised() { return gStopSignal != 0; }

void releaseMappedPayload(void*, const unsigned char* written) { releaseWrittenPayload(written); }

// Below this size an entry is written from the mapping: its pages come
// with those of the headers around it, and a kernel copy costs more calls
// than the write.
constexpr std::uint64_t kKernelCopyLeastBytes = 64u << 10;

int copySourceFor(std::uint64_t size) {
    if (!gPayloadInLauncherFile || size < kKernelCopyLeastBytes) return -1;
    if (!launcherFileOpened) {
        launcherFileOpened = true;
        // The running file itself, also when its name was removed.
        launcherFile = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    }
    return launcherFile;
}

std::uint64_t fileOffsetOf(const unsigned char* content) {
    return gPayloadFileOffset + static_cast<std::uint64_t>(content - blockStart);
}

// Copies a stored entry's content into its file (copy_stored_content.h); a
// termination signal stops the run between two calls.
void writeContent(int descriptor, const unsigned char* content, std::uint64_t size) {
    const StoredContent stored = {content, copySourceFor(size), fileOffsetOf(content), size};
    const CopyOutcome outcome = copyStoredContent(descriptor, stored, stopFlagRaised, releaseMappedPayload, nullptr);
    if (outcome.result == CopyResult::stopped) stopIfSignalled();
    if (outcome.result == CopyResult::failed) failToUnpack(outcome.error, nameBuffer);
    if (outcome.result == CopyResult::cutShort) stopOnShortenedLauncher(outcome.fileEnd);
}

void releaseDecodedPayload(void*, const unsigned char* consumed) { releaseWrittenPayload(consumed); }

// Decodes a compressed entry's frame into its file on this thread.
void decodeContent(int descriptor, const unsigned char* frame, std::uint64_t size) {
    DecodeOutcome outcome = decodeEntryContent(descriptor, frame, size, kMainDecoderSlot, stopFlagRaised,
                                               releaseDecodedPayload, nullptr);
    if (outcome.result == DecodeResult::stopped) stopIfSignalled();
    if (outcome.result == DecodeResult::writeFailed) failToUnpack(outcome.error, nameBuffer);
    if (outcome.result == DecodeResult::damaged) stopOnDamagedBlock();
    if (outcome.result == DecodeResult::noWorkspace) stopWithoutDecoderWorkspace(outcome.error);
}

// A compressed entry in a launcher without the decoder is damage.
bool isCompressed(std::uint8_t flags) {
    bool compressed = (flags & kEntryFlagCompressed) != 0;
    if (compressed && !launcherHasDecoder()) stopOnDamagedBlock();
    return compressed;
}

void extractFile(std::uint8_t flags) {
    bool compressed = isCompressed(flags);
    int descriptor = openEntryFile((flags & kEntryFlagExecutable) != 0);
    std::uint64_t size = readContentSize();
    if (size > bytesLeft()) stopOnDamagedBlock();
    if (compressed) {
        decodeContent(descriptor, gPayloadCursor, size);
    } else {
        writeContent(descriptor, gPayloadCursor, size);
    }
    gPayloadCursor += size;
    if (close(descriptor) != 0) failToUnpack(errno, nameBuffer);
}

// With several writers (entry_writers.h): the entries are read and checked
// here, in block order, and their directories and files made; the writers
// write the files' content.

// Position of the entry among the block's entries.
std::uint32_t entrySequence;

[[noreturn]] void reportWriterFailure(const WriterFailure& failure) {
    stopIfSignalled();
    if (failure.kind == WriterFailureKind::damaged) stopOnDamagedBlock();
    if (failure.kind == WriterFailureKind::noWorkspace) stopWithoutDecoderWorkspace(failure.error);
    if (failure.kind == WriterFailureKind::cutShort) stopOnShortenedLauncher(failure.fileEnd);
    failToUnpack(failure.error, failure.name);
}

// Everything handed over so far is written when this returns.
void waitForWriters() {
    WriterFailure failure = waitForEntryWriters();
    if (failure.kind != WriterFailureKind::none) reportWriterFailure(failure);
    stopIfSignalled();
}

// Whether a compressed content is several frames. Only a first frame of
// exactly kCompressedFrameBytes may have others behind it; any other is
// decoded as one job, which finds bytes behind it to be damage. Reads the
// first frame's header, and only for such a frame its block headers.
bool hasSeveralFrames(const unsigned char* content, std::uint64_t size) {
    std::uint64_t frameBytes = 0;
    std::uint64_t contentBytes = 0;
    if (!readUnpackedSize(content, size, &contentBytes) || contentBytes != kCompressedFrameBytes) return false;
    return measureFrame(content, size, &frameBytes, &contentBytes) && frameBytes != size;
}

// Walks the frames of a compressed content by their headers: each must be
// one the decoder takes, sized as compressedFrameFits wants, and the last
// must end exactly where the content does, or the block is damaged. Calls
// `visit` for each with its place in the content and in the file.
template <typename Visit>
void walkFrames(const unsigned char* content, std::uint64_t size, Visit visit) {
    const FrameVisitor callVisit = [](void* context, const unsigned char* frame, std::uint64_t frameBytes,
                                      std::uint64_t offset, bool last) {
        (*static_cast<Visit*>(context))(frame, frameBytes, offset, last);
    };
    std::uint64_t unpacked = 0;
    if (!measureFrames(content, size, &unpacked, callVisit, &visit)) stopOnDamagedBlock();
}

// Hands the frames of a compressed entry to the writers, one job each, so
// that they are decoded at once; each writes its part of the file with
// pwrite at its offset. The whole walk comes first: a damaged entry hands
// over nothing.
void queueFrames(const FileEntryJob& entry) {
    walkFrames(entry.content, entry.size, [](const unsigned char*, std::uint64_t, std::uint64_t, bool) {});
    bool queued = true;
    bool descriptorHandedOver = false;
    walkFrames(entry.content, entry.size,
               [&](const unsigned char* frame, std::uint64_t frameBytes, std::uint64_t offset, bool last) {
                   if (!queued) return;
                   descriptorHandedOver = last;
                   FileEntryJob job = entry;
                   // Every job closes its own descriptor; the last one the entry's.
                   if (!last) job.descriptor = fcntl(entry.descriptor, F_DUPFD_CLOEXEC, 0);
                   if (job.descriptor < 0) failToUnpack(errno, entry.name);
                   job.content = frame;
                   job.size = frameBytes;
                   job.offset = offset;
                   job.frameOfMany = true;
                   queued = queueFileEntry(job);
               });
    if (!queued) {
        if (!descriptorHandedOver) (void)close(entry.descriptor);
        waitForWriters();
    }
}

void queueFile(const char* nameInBlock, std::uint8_t flags) {
    bool compressed = isCompressed(flags);
    // The main thread's workspace first: it decodes whatever the writers
    // cannot.
    if (compressed) {
        if (!reserveDecoderWorkspace(kMainDecoderSlot)) stopWithoutDecoderWorkspace(errno);
        reserveWriterWorkspaces();
    }
    int descriptor = openEntryFile((flags & kEntryFlagExecutable) != 0);
    std::uint64_t size = readContentSize();
    if (size > bytesLeft()) stopOnDamagedBlock();
    const int source = compressed ? -1 : copySourceFor(size);
    FileEntryJob job = {descriptor, nameInBlock, gPayloadCursor, size, compressed, entrySequence, 0, false,
                        source, fileOffsetOf(gPayloadCursor)};
    gPayloadCursor += size;
    if (compressed && hasSeveralFrames(job.content, size)) {
        queueFrames(job);
    } else if (!queueFileEntry(job)) {
        waitForWriters();
    }
}

// A run that unpacks says so once, in the words the application was packed
// with: a first start that takes long does not pass in silence.
void sayFirstRunMessage() {
    static bool said = false;
    const char* message = getFirstRunMessage();
    if (said || message[0] == '\0') return;
    said = true;
    std::size_t length = strlen(message);
    fputs(message, stderr);
    if (message[length - 1] != '\n') fputc('\n', stderr);
}

}  // namespace

void stopOnDamagedBlock() {
    closeEntryDirectories();
    fprintf(stderr, "Error, attached data is damaged.\n");
    exitFatally();
}

void checkPayloadMagic() {
    if (static_cast<std::size_t>(gPayloadEnd - gPayloadCursor) < kPayloadMagicBytes ||
        memcmp(gPayloadCursor, kPayloadMagic, kPayloadMagicBytes) != 0) {
        puts(kMissingHeaderMessage);
        exit(kFatalExitStatus);
    }
}

bool extractPayload(bool lastPlace) {
    checkPayloadMagic();
    // Made before the first entry is read (also for a block without
    // entries); from then on a termination signal removes whatever exists.
    if (!makeExtractionDirectory(lastPlace)) return false;
    extractEntries();
    return true;
}

void extractEntries() {
    sayFirstRunMessage();
    const unsigned char* start = gPayloadCursor;
    blockStart = start;
    gPayloadCursor += kPayloadMagicBytes;
    stopIfSignalled();
    readFileModes();
    pageMask = getauxval(AT_PAGESZ) - 1;
    releasedUpTo = start;
    extractingInParallel = startEntryWriters(static_cast<std::uint64_t>(gPayloadEnd - start));

    for (;; ++entrySequence) {
        stopIfSignalled();
        const char* nameInBlock = reinterpret_cast<const char*>(gPayloadCursor);
        readNameText("entry name");
        if (nameBuffer[0] == '\0') {
            if (extractingInParallel) {
                waitForWriters();
                endEntryWriters();
            }
            releaseWholePayload(start);
            releaseDecoderWorkspaces();
            // The levels held for the entries go now: a removal at the end
            // needs descriptors of its own, also under a low limit.
            closeEntryDirectories();
            return;
        }
        composeTargetPath();
        if (gLaunchTarget[0] == '\0') {
            copyStringBounded(gLaunchTarget, targetPath, sizeof gLaunchTarget, "launch target");
        }
        std::uint8_t flags = readByte();
        if (flags & kEntryFlagLink) {
            if (flags & kEntryFlagCompressed) stopOnDamagedBlock();
            extractLink();
        } else if (extractingInParallel) {
            queueFile(nameInBlock, flags);
        } else {
            extractFile(flags);
        }
    }
}

}  // namespace onefile
