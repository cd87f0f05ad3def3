#include "tool/app_dir_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "tool/entry_name.h"
#include "tool/script_interpreter.h"
#include "tool/tool_error.h"

namespace onefile::tool {
namespace {

inline constexpr mode_t kAnyExecuteBits = S_IXUSR | S_IXGRP | S_IXOTH;
// Longest link text readlink is asked for; the carried limit is far lower,
// this only has to show that a text is too long.
inline constexpr std::size_t kLinkReadBytes = 4096;
// A directory below the application directory: never reached through a link.
inline constexpr int kDirectoryOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// A file to carry: never through a link, and without waiting should it have
// become a fifo or a device since it was examined.
inline constexpr int kFileOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

inline constexpr const char* kChanged = "changed while being packed";

struct DirectoryCloser {
    void operator()(DIR* directory) const { (void)::closedir(directory); }
};
using DirectoryHandle = std::unique_ptr<DIR, DirectoryCloser>;

std::string describeSpecialFile(mode_t mode) {
    if (S_ISFIFO(mode)) return "a fifo";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    return "a file of unknown kind";
}

std::string trimTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::string joinPath(const std::string& directory, const std::string& name) {
    return directory.back() == '/' ? directory + name : directory + "/" + name;
}

// Errors of opening a name that was examined a moment ago and has since been
// removed, or replaced by a link or by something of another kind.
bool isReplacedError(int errorNumber) {
    return errorNumber == ENOENT || errorNumber == ELOOP || errorNumber == ENOTDIR;
}

// Opens what `name` in `directoryFd` was examined to be (`examined`): the
// same file, of the same kind, reached without following a link.
FileDescriptor openExamined(int directoryFd, const std::string& name, int flags, const struct stat& examined,
                            const std::string& displayPath, struct stat& opened) {
    FileDescriptor fd(::openat(directoryFd, name.c_str(), flags));
    if (!fd.valid()) {
        if (isReplacedError(errno)) throw ToolError(displayPath, kChanged);
        throw ToolError(displayPath, "cannot be read: " + systemErrorText(errno));
    }
    if (::fstat(fd.get(), &opened) != 0)
        throw ToolError(displayPath, "cannot be examined: " + systemErrorText(errno));
    if ((opened.st_mode & S_IFMT) != (examined.st_mode & S_IFMT) ||
        FileIdentity::of(opened) != FileIdentity::of(examined))
        throw ToolError(displayPath, kChanged);
    return fd;
}

class AppDirWalker {
public:
    AppDirWalker(std::string root, const ExcludePatterns& excluded) : root_(std::move(root)), excluded_(excluded) {}

    // Adds the entries below the directory open at `directoryFd` (taken
    // over) and returns how many there are; `emptyBelow` gets the topmost
    // directories below it that hold nothing to carry.
    std::size_t walk(int directoryFd, const std::string& relativeDirectory,
                     std::vector<std::string>& emptyBelow) {
        const DirectoryHandle directory(::fdopendir(directoryFd));
        const std::string displayDirectory =
            relativeDirectory.empty() ? root_ : joinPath(root_, relativeDirectory);
        if (!directory) {
            const int errorNumber = errno;
            (void)::close(directoryFd);
            throw ToolError(displayDirectory, "cannot be read: " + systemErrorText(errorNumber));
        }
        std::vector<std::string> names;
        errno = 0;
        while (const dirent* item = ::readdir(directory.get())) {
            const std::string name = item->d_name;
            if (name != "." && name != "..") names.push_back(name);
            errno = 0;
        }
        if (errno != 0) throw ToolError(displayDirectory, "cannot be read: " + systemErrorText(errno));
        std::sort(names.begin(), names.end());

        std::size_t carried = 0;
        for (const std::string& name : names) {
            const std::string relative = relativeDirectory.empty() ? name : relativeDirectory + "/" + name;
            carried += addItem(::dirfd(directory.get()), name, relative, emptyBelow);
        }
        return carried;
    }

    std::vector<PayloadEntry>& entries() { return entries_; }

private:
    std::size_t addItem(int directoryFd, const std::string& name, const std::string& relative,
                        std::vector<std::string>& emptyBelow) {
        const std::string displayPath = joinPath(root_, relative);
        struct stat status {};
        if (::fstatat(directoryFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
            throw ToolError(displayPath, "cannot be examined: " + systemErrorText(errno));
        if (excluded_.findMatch(relative, S_ISDIR(status.st_mode)) != nullptr) return 0;
        if (S_ISDIR(status.st_mode))
            return addDirectory(directoryFd, name, relative, displayPath, status, emptyBelow);
        if (!S_ISREG(status.st_mode) && !S_ISLNK(status.st_mode))
            throw ToolError(displayPath, "is " + describeSpecialFile(status.st_mode) +
                                             "; only regular files, symbolic links and directories can be carried");
        if (const std::string fault = findEntryNameFault(relative); !fault.empty())
            throw ToolError(displayPath, fault);

        PayloadEntry entry;
        entry.name = relative;
        if (S_ISLNK(status.st_mode)) {
            entry.kind = EntryKind::link;
            entry.linkText = readLinkText(directoryFd, name, displayPath);
        } else {
            // What is carried is what the open file says, not the name.
            struct stat opened {};
            (void)openExamined(directoryFd, name, kFileOpenFlags, status, displayPath, opened);
            entry.executable = (opened.st_mode & kAnyExecuteBits) != 0;
            entry.size = static_cast<std::uint64_t>(opened.st_size);
            entry.sourcePath = displayPath;
            entry.source = FileIdentity::of(opened);
        }
        entries_.push_back(std::move(entry));
        return 1;
    }

    std::size_t addDirectory(int directoryFd, const std::string& name, const std::string& relative,
                             const std::string& displayPath, const struct stat& examined,
                             std::vector<std::string>& emptyBelow) {
        struct stat opened {};
        FileDescriptor child = openExamined(directoryFd, name, kDirectoryOpenFlags, examined, displayPath, opened);
        std::vector<std::string> emptyInChild;
        const std::size_t carried = walk(child.release(), relative, emptyInChild);
        if (carried == 0) {
            emptyBelow.push_back(displayPath);
        } else {
            emptyBelow.insert(emptyBelow.end(), emptyInChild.begin(), emptyInChild.end());
        }
        return carried;
    }

    static std::string readLinkText(int directoryFd, const std::string& name, const std::string& displayPath) {
        std::string text(kLinkReadBytes + 1, '\0');
        const ssize_t length = ::readlinkat(directoryFd, name.c_str(), text.data(), text.size());
        // No longer a link, or no longer there, since it was examined.
        if (length < 0 && (errno == EINVAL || errno == ENOENT)) throw ToolError(displayPath, kChanged);
        if (length < 0) throw ToolError(displayPath, "cannot read the link: " + systemErrorText(errno));
        text.resize(static_cast<std::size_t>(length));
        if (const std::string fault = findLinkTextFault(text); !fault.empty())
            throw ToolError(displayPath, fault);
        return text;
    }

    std::string root_;
    const ExcludePatterns& excluded_;
    std::vector<PayloadEntry> entries_;
};

// The entry name --main refers to: "." and empty components are dropped, so
// "./bin//app" names "bin/app"; an absolute path or ".." leaves the directory.
std::string normalizeMainName(const std::string& mainName) {
    if (mainName.empty() || mainName.front() == '/')
        throw ToolError("--main " + mainName, "must be a path relative to the application directory");
    std::string normalized;
    std::size_t start = 0;
    while (start <= mainName.size()) {
        const std::size_t end = std::min(mainName.find('/', start), mainName.size());
        const std::string component = mainName.substr(start, end - start);
        if (component == "..")
            throw ToolError("--main " + mainName, "must name a file inside the application directory");
        if (!component.empty() && component != ".") {
            if (!normalized.empty()) normalized.push_back('/');
            normalized += component;
        }
        start = end + 1;
    }
    if (normalized.empty()) throw ToolError("--main " + mainName, "names the application directory itself");
    return normalized;
}

// Why the path --main names is not among the entries.
std::string describeMissingMain(const std::string& displayPath) {
    struct stat status {};
    if (::lstat(displayPath.c_str(), &status) != 0)
        return "main executable not found: " + systemErrorText(errno);
    if (S_ISDIR(status.st_mode)) return "main executable is a directory";
    return "main executable is not a file of the application directory (a directory on its way is a symbolic link)";
}

std::size_t findNamedMain(const std::string& root, const std::vector<PayloadEntry>& entries,
                          const std::string& mainName, const ExcludePatterns& excluded) {
    const std::string name = normalizeMainName(mainName);
    const std::string displayPath = joinPath(root, name);
    for (std::size_t slash = name.find('/');; slash = name.find('/', slash + 1)) {
        const bool directory = slash != std::string::npos;
        if (const std::string* pattern = excluded.findMatch(name.substr(0, slash), directory))
            throw ToolError(displayPath, "main executable is left out by --exclude '" + *pattern + "'");
        if (!directory) break;
    }
    const auto found = std::find_if(entries.begin(), entries.end(),
                                    [&name](const PayloadEntry& entry) { return entry.name == name; });
    if (found == entries.end()) throw ToolError(displayPath, describeMissingMain(displayPath));
    // A link as the main executable would only work when its text leads to a
    // carried file by a relative path; naming that file is simpler and sure.
    if (found->kind == EntryKind::link)
        throw ToolError(displayPath, "main executable is a symbolic link; name the file it leads to with --main");
    if (!found->executable)
        throw ToolError(displayPath, "main executable has no execute permission; " +
                                         hintForNonExecutableMain(displayPath));
    return static_cast<std::size_t>(found - entries.begin());
}

std::size_t findOnlyTopLevelExecutable(const std::string& root, const std::vector<PayloadEntry>& entries) {
    std::vector<std::size_t> candidates;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const PayloadEntry& entry = entries[i];
        if (entry.kind == EntryKind::file && entry.executable && entry.name.find('/') == std::string::npos)
            candidates.push_back(i);
    }
    if (candidates.size() == 1) return candidates.front();
    if (candidates.empty())
        throw ToolError(root, "no executable regular file at the top level; name the main executable with --main");
    std::string names;
    for (const std::size_t i : candidates) {
        if (!names.empty()) names += ", ";
        names += entries[i].name;
    }
    throw ToolError(root, std::to_string(candidates.size()) + " executable files at the top level (" + names +
                              "); name the main executable with --main");
}

// The entry of the single file `path`, as its open descriptor shows it in
// `status`.
PayloadEntry describeSingleFile(const std::string& path, const struct stat& status) {
    const std::string trimmed = trimTrailingSlashes(path);
    // The path may be a link to the file; the entry keeps the link's name
    // and the content is read from the file it leads to.
    const std::string name = trimmed.substr(trimmed.find_last_of('/') + 1);
    if (const std::string fault = findEntryNameFault(name); !fault.empty()) throw ToolError(path, fault);
    if ((status.st_mode & kAnyExecuteBits) == 0)
        throw ToolError(path, "main executable has no execute permission; " + hintForNonExecutableMain(path));
    PayloadEntry entry;
    entry.name = name;
    entry.executable = true;
    entry.size = static_cast<std::uint64_t>(status.st_size);
    entry.sourcePath = path;
    entry.source = FileIdentity::of(status);
    return entry;
}

}  // namespace

AppDirContents scanAppDir(const std::string& appDir, const std::optional<std::string>& mainName,
                          const ExcludePatterns& excluded) {
    if (appDir.empty()) throw UsageError("the application directory is an empty string");
    // APPDIR itself is the path the user gave, links and all; only what lies
    // below it is read without following links.
    struct stat examined {};
    if (::stat(appDir.c_str(), &examined) != 0)
        throw ToolError(appDir, "cannot be examined: " + systemErrorText(errno));
    if (!S_ISREG(examined.st_mode) && !S_ISDIR(examined.st_mode))
        throw ToolError(appDir, "is neither a directory nor a regular file");
    if (S_ISREG(examined.st_mode) && mainName)
        throw UsageError("pack: --main applies only when APPDIR is a directory");
    if (S_ISREG(examined.st_mode) && !excluded.empty())
        throw UsageError("pack: --exclude applies only when APPDIR is a directory");

    AppDirContents contents;
    const int flags = S_ISDIR(examined.st_mode) ? O_RDONLY | O_DIRECTORY | O_CLOEXEC
                                                : O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    contents.inputFd_ = FileDescriptor(::open(appDir.c_str(), flags));
    if (!contents.inputFd_.valid()) throw ToolError(appDir, "cannot be read: " + systemErrorText(errno));
    struct stat status {};
    if (::fstat(contents.inputFd_.get(), &status) != 0)
        throw ToolError(appDir, "cannot be examined: " + systemErrorText(errno));
    if ((status.st_mode & S_IFMT) != (examined.st_mode & S_IFMT) ||
        FileIdentity::of(status) != FileIdentity::of(examined))
        throw ToolError(appDir, kChanged);
    contents.input = FileIdentity::of(status);
    contents.root_ = trimTrailingSlashes(appDir);

    if (S_ISREG(status.st_mode)) {
        contents.singleFile = true;
        contents.entries.push_back(describeSingleFile(appDir, status));
        return contents;
    }

    // The walk reads the directory through a descriptor of its own; the
    // application directory's stays open for reading the contents.
    const int walkFd = ::fcntl(contents.inputFd_.get(), F_DUPFD_CLOEXEC, 0);
    if (walkFd < 0) throw ToolError(appDir, "cannot be read: " + systemErrorText(errno));
    AppDirWalker walker(contents.root_, excluded);
    walker.walk(walkFd, "", contents.emptyDirectories);
    std::vector<PayloadEntry>& entries = walker.entries();
    std::sort(entries.begin(), entries.end(),
              [](const PayloadEntry& a, const PayloadEntry& b) { return a.name < b.name; });
    // A main executable that --exclude leaves out is named as the fault,
    // also when nothing else is left.
    if (entries.empty() && (!mainName || excluded.empty()))
        throw ToolError(appDir, "holds no regular file or symbolic link to carry");
    const std::size_t main = mainName ? findNamedMain(contents.root_, entries, *mainName, excluded)
                                      : findOnlyTopLevelExecutable(contents.root_, entries);
    std::rotate(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(main),
                entries.begin() + static_cast<std::ptrdiff_t>(main) + 1);
    contents.entries = std::move(entries);
    std::sort(contents.emptyDirectories.begin(), contents.emptyDirectories.end());
    return contents;
}

FileDescriptor AppDirContents::openContent(const PayloadEntry& entry) {
    if (singleFile) {
        // The one file stays open from the scan on.
        FileDescriptor fd(::fcntl(inputFd_.get(), F_DUPFD_CLOEXEC, 0));
        if (!fd.valid() || ::lseek(fd.get(), 0, SEEK_SET) != 0)
            throw ToolError(entry.sourcePath, "cannot read: " + systemErrorText(errno));
        return fd;
    }
    std::vector<std::string> levels;
    for (std::size_t start = 0;;) {
        const std::size_t end = entry.name.find('/', start);
        levels.push_back(entry.name.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    const std::size_t depth = levels.size() - 1;
    std::size_t kept = 0;
    while (kept < openDirectories_.size() && kept < depth && openDirectories_[kept].name == levels[kept]) ++kept;
    openDirectories_.erase(openDirectories_.begin() + static_cast<std::ptrdiff_t>(kept), openDirectories_.end());
    std::string displayPath = root_;
    for (std::size_t i = 0; i < depth; ++i) {
        displayPath = joinPath(displayPath, levels[i]);
        if (i < kept) continue;
        const int parentFd = i == 0 ? inputFd_.get() : openDirectories_.back().fd.get();
        FileDescriptor fd(::openat(parentFd, levels[i].c_str(), kDirectoryOpenFlags));
        if (!fd.valid()) {
            if (isReplacedError(errno)) throw ToolError(displayPath, kChanged);
            throw ToolError(displayPath, "cannot be read: " + systemErrorText(errno));
        }
        openDirectories_.push_back({levels[i], std::move(fd)});
    }
    const int directoryFd = depth == 0 ? inputFd_.get() : openDirectories_.back().fd.get();
    FileDescriptor fd(::openat(directoryFd, levels.back().c_str(), kFileOpenFlags));
    if (!fd.valid()) {
        if (isReplacedError(errno)) throw ToolError(entry.sourcePath, kChanged);
        throw ToolError(entry.sourcePath, "cannot read: " + systemErrorText(errno));
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0)
        throw ToolError(entry.sourcePath, "cannot read: " + systemErrorText(errno));
    // Another file under the checked name, however it got there, is not what
    // was checked.
    if (!S_ISREG(status.st_mode) || FileIdentity::of(status) != entry.source)
        throw ToolError(entry.sourcePath, kChanged);
    return fd;
}

}  // namespace onefile::tool
