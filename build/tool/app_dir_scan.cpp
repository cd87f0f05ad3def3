#include "build/tool/app_dir_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

#include "build/tool/entry_name.h"
#include "build/tool/tool_error.h"

namespace onefile::tool {
namespace {

inline constexpr mode_t kAnyExecuteBits = S_IXUSR | S_IXGRP | S_IXOTH;
// Longest link text readlink is asked for; the carried limit is far lower,
// this only has to show that a text is too long.
inline constexpr std::size_t kLinkReadBytes = 4096;

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

void checkReadable(int directoryFd, const char* name, const std::string& displayPath) {
    const int fd = ::openat(directoryFd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) throw ToolError(displayPath, "cannot be read: " + systemErrorText(errno));
    (void)::close(fd);
}

class AppDirWalker {
public:
    explicit AppDirWalker(std::string root) : root_(std::move(root)) {}

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
        if (S_ISDIR(status.st_mode)) return addDirectory(directoryFd, name, relative, displayPath, emptyBelow);
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
            checkReadable(directoryFd, name.c_str(), displayPath);
            entry.executable = (status.st_mode & kAnyExecuteBits) != 0;
            entry.size = static_cast<std::uint64_t>(status.st_size);
            entry.sourcePath = displayPath;
        }
        entries_.push_back(std::move(entry));
        return 1;
    }

    std::size_t addDirectory(int directoryFd, const std::string& name, const std::string& relative,
                             const std::string& displayPath, std::vector<std::string>& emptyBelow) {
        const int childFd = ::openat(directoryFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (childFd < 0) throw ToolError(displayPath, "cannot be read: " + systemErrorText(errno));
        std::vector<std::string> emptyInChild;
        const std::size_t carried = walk(childFd, relative, emptyInChild);
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
        if (length < 0) throw ToolError(displayPath, "cannot read the link: " + systemErrorText(errno));
        text.resize(static_cast<std::size_t>(length));
        if (const std::string fault = findLinkTextFault(text); !fault.empty())
            throw ToolError(displayPath, fault);
        return text;
    }

    std::string root_;
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
                          const std::string& mainName) {
    const std::string name = normalizeMainName(mainName);
    const std::string displayPath = joinPath(root, name);
    const auto found = std::find_if(entries.begin(), entries.end(),
                                    [&name](const PayloadEntry& entry) { return entry.name == name; });
    if (found == entries.end()) throw ToolError(displayPath, describeMissingMain(displayPath));
    // A link as the main executable would only work when its text leads to a
    // carried file by a relative path; naming that file is simpler and sure.
    if (found->kind == EntryKind::link)
        throw ToolError(displayPath, "main executable is a symbolic link; name the file it leads to with --main");
    if (!found->executable) throw ToolError(displayPath, "main executable has no execute permission");
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

AppDirContents scanSingleFile(const std::string& path, const struct stat& status) {
    const std::string trimmed = trimTrailingSlashes(path);
    const std::string name = trimmed.substr(trimmed.find_last_of('/') + 1);
    if (const std::string fault = findEntryNameFault(name); !fault.empty()) throw ToolError(path, fault);
    if ((status.st_mode & kAnyExecuteBits) == 0) throw ToolError(path, "main executable has no execute permission");
    // The path may be a link to the file; the entry keeps the link's name
    // and the content is read from the file it leads to.
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr)
        throw ToolError(path, "cannot be examined: " + systemErrorText(errno));
    checkReadable(AT_FDCWD, resolved, path);
    PayloadEntry entry;
    entry.name = name;
    entry.executable = true;
    entry.size = static_cast<std::uint64_t>(status.st_size);
    entry.sourcePath = resolved;
    return {{entry}, {}};
}

}  // namespace

AppDirContents scanAppDir(const std::string& appDir, const std::optional<std::string>& mainName) {
    if (appDir.empty()) throw UsageError("the application directory is an empty string");
    struct stat status {};
    if (::stat(appDir.c_str(), &status) != 0)
        throw ToolError(appDir, "cannot be examined: " + systemErrorText(errno));
    if (S_ISREG(status.st_mode)) {
        if (mainName) throw UsageError("--main applies only when APPDIR is a directory");
        return scanSingleFile(appDir, status);
    }
    if (!S_ISDIR(status.st_mode)) throw ToolError(appDir, "is neither a directory nor a regular file");

    const std::string root = trimTrailingSlashes(appDir);
    const int rootFd = ::open(appDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0) throw ToolError(appDir, "cannot be read: " + systemErrorText(errno));
    AppDirWalker walker(root);
    AppDirContents contents;
    walker.walk(rootFd, "", contents.emptyDirectories);
    std::vector<PayloadEntry>& entries = walker.entries();
    if (entries.empty()) throw ToolError(appDir, "holds no regular file or symbolic link to carry");

    std::sort(entries.begin(), entries.end(),
              [](const PayloadEntry& a, const PayloadEntry& b) { return a.name < b.name; });
    const std::size_t main = mainName ? findNamedMain(root, entries, *mainName)
                                      : findOnlyTopLevelExecutable(root, entries);
    std::rotate(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(main),
                entries.begin() + static_cast<std::ptrdiff_t>(main) + 1);
    contents.entries = std::move(entries);
    std::sort(contents.emptyDirectories.begin(), contents.emptyDirectories.end());
    return contents;
}

}  // namespace onefile::tool
