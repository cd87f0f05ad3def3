#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iostream>

#include "runtime/directory_removal.h"
#include "tool/block_extraction.h"
#include "tool/block_reader.h"
#include "tool/commands.h"
#include "tool/file_descriptor.h"
#include "tool/guarded_mapping.h"
#include "tool/payload_locate.h"
#include "tool/removal_leftovers.h"
#include "tool/tool_error.h"

namespace onefile::tool {
namespace {

inline constexpr mode_t kDirectoryMode = 0700;
inline constexpr mode_t kPermissionBits = 0777;
inline constexpr const char* kReplaced = "was replaced by another directory right after it was created";
inline constexpr const char* kExtracting = "extracted";  // what a cut interrupts

// The signals that end the tool, held back while DIR is being filled: the
// extraction looks for one between entries and write calls, removes DIR and
// lets the signal end the tool as it would have. A signal the tool was
// started with ignored stays ignored.
class TerminationSignalsHeld {
public:
    TerminationSignalsHeld() {
        sigemptyset(&signals_);
        for (const int signalNumber : {SIGINT, SIGQUIT, SIGTERM, SIGHUP}) sigaddset(&signals_, signalNumber);
        (void)::sigprocmask(SIG_BLOCK, &signals_, &previous_);
    }
    TerminationSignalsHeld(const TerminationSignalsHeld&) = delete;
    TerminationSignalsHeld& operator=(const TerminationSignalsHeld&) = delete;
    ~TerminationSignalsHeld() { (void)::sigprocmask(SIG_SETMASK, &previous_, nullptr); }

    bool anyPending() const {
        sigset_t pending;
        if (::sigpending(&pending) != 0) return false;
        for (const int signalNumber : {SIGINT, SIGQUIT, SIGTERM, SIGHUP}) {
            if (sigismember(&pending, signalNumber) == 1 && sigismember(&previous_, signalNumber) == 0) return true;
        }
        return false;
    }

private:
    sigset_t signals_;
    sigset_t previous_;
};

// DIR, made by this run: removed again unless the extraction completes.
class NewDirectory {
public:
    explicit NewDirectory(std::string path) : path_(std::move(path)) {
        if (::mkdir(path_.c_str(), kDirectoryMode) != 0) {
            if (errno == EEXIST) throw ToolError(path_, "exists already; extract makes a new directory");
            throw ToolError(path_, "cannot be created: " + systemErrorText(errno));
        }
        fd_ = FileDescriptor(::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        // Another user could swap the name for a link, a file or a directory
        // of their own before it is opened, where DIR lies in a directory
        // others can write.
        if (!fd_.valid()) {
            const int errorNumber = errno;
            if (errorNumber == ELOOP || errorNumber == ENOTDIR) failAfterCreation(kReplaced);
            failAfterCreation("cannot be opened: " + systemErrorText(errorNumber));
        }
        struct stat status {};
        if (::fstat(fd_.get(), &status) != 0) failAfterCreation("cannot be examined: " + systemErrorText(errno));
        if (status.st_uid != ::geteuid()) failAfterCreation(kReplaced);
        // Of the mode, only the permission bits are ours to expect: a parent
        // with the set-group-ID bit passes that bit on.
        const mode_t expected = kDirectoryMode & ~currentUmask();
        if ((status.st_mode & kPermissionBits) != expected)
            failAfterCreation("was created with mode " + octal(status.st_mode & kPermissionBits) + ", not " +
                              octal(expected));
    }
    NewDirectory(const NewDirectory&) = delete;
    NewDirectory& operator=(const NewDirectory&) = delete;
    // The launcher's own walk empties DIR: it holds a bounded number of
    // descriptors however deep the tree, and passes over what it cannot
    // remove instead of trying it again. What it passed over is named.
    ~NewDirectory() {
        if (kept_ || !fd_.valid()) return;
        (void)removeDirectoryTree(fd_.release());
        if (::rmdir(path_.c_str()) != 0 && errno != ENOENT) reportWhatStayed(errno);
    }

    int fd() const { return fd_.get(); }
    void keep() { kept_ = true; }

private:
    // A failure once DIR was made: what the name holds now is removed when
    // it is a directory of this user, still empty, as nothing was written.
    [[noreturn]] void failAfterCreation(const std::string& what) {
        fd_.reset();
        struct stat status {};
        if (::lstat(path_.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == ::geteuid())
            (void)::rmdir(path_.c_str());
        throw ToolError(path_, what);
    }

    // On standard error, before the failure that asked for the removal: a
    // user who finds DIR after a failed extract learns what to look at.
    void reportWhatStayed(int removalError) const noexcept {
        try {
            const RemovalLeftovers leftovers = findRemovalLeftovers(path_);
            std::cerr << "onefile: " << path_ << ": not removed, "
                      << (leftovers.count == 0 ? systemErrorText(removalError)
                                               : "what stayed: " + describeRemovalLeftovers(leftovers))
                      << "\n";
        } catch (...) {
            // Nothing more can be said; the failure itself is still reported.
        }
    }

    static std::string octal(mode_t mode) {
        char text[8];
        std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode));
        return text;
    }

    static mode_t currentUmask() {
        const mode_t mask = ::umask(0);
        (void)::umask(mask);
        return mask;
    }

    std::string path_;
    FileDescriptor fd_;
    bool kept_ = false;
};

void extractLauncher(const GuardedMapping& launcher, const CommandLine& line) {
    // The whole block is checked before DIR is made, so that a broken block
    // leaves nothing; what only writing shows (damaged compressed content,
    // a file that cannot be written) removes DIR again.
    const ByteSpan block = findAttachedBlock(launcher.bytes());
    (void)visitBlock(block, [](const BlockEntryInfo& entry) {
        if (!isContainedEntryName(entry.name))
            throw FormatError("entry name '" + entry.name + "' leaves the extraction directory");
    });
    const TerminationSignalsHeld held;
    NewDirectory directory(line.output);
    // The launcher's size is looked at as often as the signals: before each
    // entry and each piece of content.
    const bool complete = extractBlock(block, directory.fd(), line.output,
                                       [&held, &launcher] { return held.anyPending() || launcher.cutShort(); });
    // A read past the new end inside the last page the file still has finds
    // zeros without a fault: even a complete extraction may hold them.
    launcher.refuseIfCut(kExtracting);
    if (complete) directory.keep();
    // Leaving removes DIR when the extraction stopped, then lets the pending
    // signal through.
}

}  // namespace

int runExtract(const CommandLine& line) {
    const GuardedMapping launcher(line.input);
    // Pages of the launcher that are gone read as zeros: whatever the
    // extraction made of them, the cut is what is reported.
    launcher.read(kExtracting, [&launcher, &line] {
        try {
            extractLauncher(launcher, line);
        } catch (const FormatError& error) {
            throw ToolError(line.input, error.what());
        }
    });
    return 0;
}

}  // namespace onefile::tool
