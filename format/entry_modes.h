// The modes of what an extraction creates, shared by the launcher and by
// `onefile extract`, which unpacks as the launcher does.
#pragma once

#include <sys/types.h>

namespace onefile {

// A file is created with this mode less the umask.
inline constexpr mode_t kEntryFileMode = 0666;
// A directory level of an entry's name, private to the user who runs it.
inline constexpr mode_t kEntryDirectoryMode = 0700;

// The mode of an executable entry made from `mode`: the owner gains execute,
// and others gain execute where the group may read; group execute is never
// added and no bit is cleared.
constexpr mode_t executableEntryMode(mode_t mode) {
    constexpr mode_t kOwnerExecute = 0100;
    constexpr mode_t kGroupRead = 0040;
    constexpr mode_t kOthersExecute = 0001;
    mode |= kOwnerExecute;
    if (mode & kGroupRead) mode |= kOthersExecute;
    return mode;
}

}  // namespace onefile
