#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "format/entry_rules.h"
#include "payload/kept_entry_state.h"

namespace onefile {

namespace {

// What a failed look at an entry means: the tree lacks it or holds something
// else on the way, or the system could not look.
EntryState stateOfError(int error, int* reported) {
    if (error == ENOENT || error == ENOTDIR || error == ELOOP) return EntryState::damaged;
    *reported = error;
    return EntryState::failed;
}

EntryState linkState(int directory, const char* leaf, const char* text, std::size_t length, int* error) {
    struct stat status;
    if (fstatat(directory, leaf, &status, AT_SYMLINK_NOFOLLOW) != 0) return stateOfError(errno, error);
    if (!S_ISLNK(status.st_mode) || static_cast<std::size_t>(status.st_size) != length) return EntryState::damaged;
    char actual[kNameBufferBytes];
    ssize_t read = readlinkat(directory, leaf, actual, sizeof actual);
    if (read < 0) return stateOfError(errno, error);
    return read == static_cast<ssize_t>(length) && memcmp(actual, text, length) == 0 ? EntryState::same
                                                                                     : EntryState::damaged;
}

EntryState fileState(int directory, const char* leaf, std::uint64_t size, bool executable, int* error) {
    struct stat status;
    if (fstatat(directory, leaf, &status, AT_SYMLINK_NOFOLLOW) != 0) return stateOfError(errno, error);
    bool same = S_ISREG(status.st_mode) && static_cast<std::uint64_t>(status.st_size) == size &&
                ((status.st_mode & S_IXUSR) != 0) == executable;
    return same ? EntryState::same : EntryState::damaged;
}

}  // namespace

EntryState examineKeptEntry(EntryDirectories& directories, int top, const TakenEntry& entry, int* error) {
    if (!isContainedName(entry.name, entry.nameLength)) return EntryState::damaged;
    const char* leaf = nullptr;
    int directory = findEntryDirectory(directories, top, entry.name, &leaf);
    if (directory < 0) return stateOfError(errno, error);
    if (entry.flags & kEntryFlagLink) return linkState(directory, leaf, entry.text, entry.textLength, error);
    return fileState(directory, leaf, entry.size, (entry.flags & kEntryFlagExecutable) != 0, error);
}

}  // namespace onefile
