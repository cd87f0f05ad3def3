#include "tool/block_extraction.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "format/entry_modes.h"
#include "format/entry_rules.h"
#include "payload/entry_decoder.h"
#include "payload/extract_payload.h"
#include "tool/block_reader.h"
#include "tool/file_descriptor.h"
#include "tool/tool_error.h"

namespace onefile::tool {
namespace {

inline constexpr int kLevelOpenFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
inline constexpr int kFileOpenFlags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC;

bool isLinkAt(int parent, const std::string& name) {
    struct stat status {};
    return ::fstatat(parent, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode);
}

// The one decoding call at a time the tool makes may stop between writes.
const std::function<bool()>* currentStopCheck = nullptr;
bool askCurrentStopCheck() { return currentStopCheck != nullptr && (*currentStopCheck)(); }

// The decoder reports how far it has read so that a launcher can give those
// pages back; the tool keeps the launcher mapped whole until it ends.
void keepConsumedPages(void*, const unsigned char*) {}

class BlockExtractor {
public:
    BlockExtractor(ByteSpan block, int directoryFd, const std::string& directoryName,
                   const std::function<bool()>& shouldStop)
        : block_(block), directoryFd_(directoryFd), directoryName_(directoryName), shouldStop_(shouldStop) {
        const mode_t mask = ::umask(0);
        (void)::umask(mask);
        plainMode_ = kEntryFileMode & ~mask;
        executableMode_ = executableEntryMode(plainMode_);
        executableNeedsChmod_ = (executableMode_ & mask) != 0;
    }

    bool run() {
        bool stopped = false;
        (void)visitBlock(block_, [this, &stopped](const BlockEntryInfo& entry) {
            if (stopped || shouldStop_()) {
                stopped = true;
                return;
            }
            if (!isContainedEntryName(entry.name))
                throw FormatError("entry name '" + entry.name + "' leaves the extraction directory");
            stopped = entry.kind == EntryKind::link ? (extractLink(entry), false) : !extractFile(entry);
        });
        return !stopped;
    }

private:
    std::string pathOf(const std::string& name) const { return directoryName_ + "/" + name; }

    [[noreturn]] void failEntry(const BlockEntryInfo& entry, const std::string& what, int errorNumber) const {
        if (errorNumber == ELOOP)
            throw FormatError("entry name '" + entry.name + "' leaves the extraction directory");
        throw ToolError(pathOf(entry.name), what + ": " + systemErrorText(errorNumber));
    }

    // The directory that holds `entry`, its levels made 0700 where missing
    // and never reached through a link; empty and "." levels are passed
    // over, as the launcher does. `leaf` gets the last component.
    FileDescriptor openEntryDirectory(const BlockEntryInfo& entry, std::string& leaf) const {
        const std::size_t slash = entry.name.rfind('/');
        const std::size_t directoryLength = slash == std::string::npos ? 0 : slash;
        leaf = slash == std::string::npos ? entry.name : entry.name.substr(slash + 1);
        FileDescriptor current(::fcntl(directoryFd_, F_DUPFD_CLOEXEC, 0));
        if (!current.valid()) failEntry(entry, "cannot be created", errno);
        std::size_t cursor = 0;
        NameLevel nameLevel{0, 0};
        while (nextNameLevel(entry.name.data(), directoryLength, &cursor, &nameLevel)) {
            const std::string level = entry.name.substr(nameLevel.start, nameLevel.length);
            if (::mkdirat(current.get(), level.c_str(), kEntryDirectoryMode) != 0 && errno != EEXIST)
                failEntry(entry, "cannot be created", errno);
            FileDescriptor next(::openat(current.get(), level.c_str(), kLevelOpenFlags));
            if (!next.valid()) {
                int errorNumber = errno;
                // O_PATH|O_NOFOLLOW opens a link as no directory: an earlier
                // entry made it, and it may lead anywhere.
                if (errorNumber == ENOTDIR && isLinkAt(current.get(), level)) errorNumber = ELOOP;
                failEntry(entry, "cannot be created", errorNumber);
            }
            current = std::move(next);
        }
        return current;
    }

    void extractLink(const BlockEntryInfo& entry) const {
        std::string leaf;
        const FileDescriptor directory = openEntryDirectory(entry, leaf);
        (void)::unlinkat(directory.get(), leaf.c_str(), 0);
        if (::symlinkat(entry.linkText.c_str(), directory.get(), leaf.c_str()) != 0)
            failEntry(entry, "cannot be created", errno);
    }

    FileDescriptor openEntryFile(const BlockEntryInfo& entry) const {
        std::string leaf;
        const FileDescriptor directory = openEntryDirectory(entry, leaf);
        const mode_t mode = entry.executable ? executableMode_ : plainMode_;
        FileDescriptor file(::openat(directory.get(), leaf.c_str(), kFileOpenFlags | O_EXCL, mode));
        if (file.valid()) {
            if (entry.executable && executableNeedsChmod_ && ::fchmod(file.get(), mode) != 0)
                failEntry(entry, "cannot set its mode", errno);
            return file;
        }
        // A name the block gives twice: the later entry replaces the earlier
        // content, and keeps its mode, gaining the execute bits.
        if (errno == EEXIST) file = FileDescriptor(::openat(directory.get(), leaf.c_str(), kFileOpenFlags | O_TRUNC, mode));
        if (!file.valid()) failEntry(entry, "cannot be created", errno);
        if (entry.executable) {
            struct stat status {};
            if (::fstat(file.get(), &status) != 0 || ::fchmod(file.get(), executableEntryMode(status.st_mode & 07777)) != 0)
                failEntry(entry, "cannot set its mode", errno);
        }
        return file;
    }

    // False when stopped.
    bool extractFile(const BlockEntryInfo& entry) const {
        FileDescriptor file = openEntryFile(entry);
        const unsigned char* content = block_.data() + entry.contentOffset;
        if (entry.compressed) {
            currentStopCheck = &shouldStop_;
            const DecodeOutcome outcome = decodeEntryContent(file.get(), content, entry.size, kMainDecoderSlot,
                                                             askCurrentStopCheck, keepConsumedPages, nullptr);
            currentStopCheck = nullptr;
            if (outcome.result == DecodeResult::stopped) return false;
            if (outcome.result == DecodeResult::damaged)
                throw FormatError("entry '" + entry.name + "': compressed content is damaged");
            if (outcome.result == DecodeResult::writeFailed) failEntry(entry, "cannot be written", outcome.error);
            if (outcome.result == DecodeResult::noWorkspace)
                failEntry(entry, "cannot be decoded (no room for the decoder)", outcome.error);
        } else {
            for (std::uint64_t remaining = entry.size; remaining > 0;) {
                if (shouldStop_()) return false;
                const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kWriteChunkBytes));
                const ssize_t written = ::write(file.get(), content, chunk);
                if (written < 0 && errno == EINTR) continue;
                if (written <= 0) failEntry(entry, "cannot be written", written < 0 ? errno : EIO);
                content += written;
                remaining -= static_cast<std::uint64_t>(written);
            }
        }
        if (::close(file.release()) != 0) failEntry(entry, "cannot be written", errno);
        return true;
    }

    ByteSpan block_;
    int directoryFd_;
    const std::string& directoryName_;
    const std::function<bool()>& shouldStop_;
    mode_t plainMode_ = 0;
    mode_t executableMode_ = 0;
    bool executableNeedsChmod_ = false;
};

}  // namespace

bool isContainedEntryName(const std::string& name) {
    return !name.empty() && isContainedName(name.data(), name.size());
}

bool extractBlock(ByteSpan block, int directoryFd, const std::string& directoryName,
                  const std::function<bool()>& shouldStop) {
    return BlockExtractor(block, directoryFd, directoryName, shouldStop).run();
}

}  // namespace onefile::tool
