#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "format/entry_modes.h"
#include "payload/entry_directories.h"
#include "payload/kept_entry_reader.h"
#include "payload/kept_entry_state.h"
#include "payload/reuse_steps.h"
#include "runtime/directory_removal.h"
#include "runtime/error_text.h"
#include "runtime/fatal_stops.h"

// A repair replaces entries one by one, each with a rename from this run's
// working directory: the application's own files stay, a process that has
// a file of the tree open keeps reading what it opened, and runs that repair
// the same tree at once each put a whole, correct entry in place. A name the
// block packs is the launcher's: what the application put there instead (a
// directory where a file was packed, a file where a directory was) goes. What
// lies on another file system (a mount inside the tree) is never touched.

namespace onefile {

namespace {

constexpr int kLevelOpenFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int kRemovalOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The entry being replaced, for messages: its name in the block and the
// device of the tree.
const char* entryName;
dev_t treeDevice;

[[noreturn]] void failRepair(const char* why) {
    char path[kPathBufferBytes];
    composeHeldPath(path, gReuse.versionName);
    fprintf(stderr, "Error, couldn't repair '%s/%s': %s.\n", path, entryName, why);
    exitFatally();
}

[[noreturn]] void failRepairWith(int error) {
    if (error == EXDEV) failRepair("it lies on another file system");
    failRepair(describeError(error));
}

void closeUnlessTop(int directory, int top) {
    if (directory != top) (void)close(directory);
}

// Removes the directory `name` of `parent`, which stands where the block has
// a file or a link, with everything in it.
void removeDirectoryInTheWay(int parent, const char* name) {
    int directory = openat(parent, name, kRemovalOpenFlags);
    if (directory < 0) failRepairWith(errno);
    if (removeDirectoryTree(directory) != 0 || unlinkat(parent, name, AT_REMOVEDIR) != 0) {
        failRepair("what stands in its place could not be removed");
    }
}

// Makes sure `name` below `parent` is a directory on the tree's file system,
// replacing what stands there otherwise; returns a descriptor of it.
int enterLevel(int parent, const char* name) {
    struct stat status;
    if (fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(status.st_mode)) {
            if (status.st_dev != treeDevice) failRepairWith(EXDEV);
        } else if (unlinkat(parent, name, 0) != 0) {
            failRepairWith(errno);
        }
    } else if (errno != ENOENT) {
        failRepairWith(errno);
    }
    if (mkdirat(parent, name, kEntryDirectoryMode) != 0 && errno != EEXIST) failRepairWith(errno);
    int level = openat(parent, name, kLevelOpenFlags);
    if (level < 0) failRepairWith(errno);
    return level;
}

// The directory of the tree that holds `name`, made where missing.
int makeEntryDirectory(int top, const char* name, const char** leaf) {
    int current = top;
    const char* component = name;
    for (const char* slash = strchr(component, '/'); slash != nullptr; slash = strchr(component, '/')) {
        char level[kNameBufferBytes];
        std::size_t length = static_cast<std::size_t>(slash - component);
        memcpy(level, component, length);
        level[length] = '\0';
        component = slash + 1;
        if (length == 0 || strcmp(level, ".") == 0) continue;
        int next = enterLevel(current, level);
        closeUnlessTop(current, top);
        current = next;
    }
    *leaf = component;
    return current;
}

}  // namespace

void replaceKeptEntry(int top, int source, const char* name) {
    entryName = name;
    struct stat tree;
    if (fstat(top, &tree) != 0) failRepairWith(errno);
    treeDevice = tree.st_dev;

    EntryDirectories sourceDirectories = kFreshEntryDirectories;
    const char* sourceLeaf = nullptr;
    int from = findEntryDirectory(sourceDirectories, source, name, &sourceLeaf);
    if (from < 0) failRepairWith(errno);
    const char* leaf = nullptr;
    int to = makeEntryDirectory(top, name, &leaf);
    struct stat standing;
    if (fstatat(to, leaf, &standing, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(standing.st_mode)) {
        if (standing.st_dev != treeDevice) failRepairWith(EXDEV);
        removeDirectoryInTheWay(to, leaf);
    }
    // A file or a link under the name is replaced in one step.
    if (renameat(from, sourceLeaf, to, leaf) != 0) failRepairWith(errno);
    closeUnlessTop(to, top);
    forgetEntryDirectories(sourceDirectories);
}

void repairKeptTree(int top, int source, const unsigned char* block, const unsigned char* end) {
    BlockReader reader(block, end);
    EntryDirectories directories = kFreshEntryDirectories;
    char storage[2 * kNameBufferBytes];
    for (;;) {
        stopIfSignalled();
        TakenEntry entry;
        TakeResult taken = takeEntry(reader, entry, storage);
        if (taken == TakeResult::end) break;
        // The working directory was unpacked from this block: it reads whole.
        if (taken == TakeResult::unreadable) {
            fprintf(stderr, "Error, attached data is damaged.\n");
            exitFatally();
        }
        int error = 0;
        EntryState state = examineKeptEntry(directories, top, entry, &error);
        if (state == EntryState::same) continue;
        if (state == EntryState::failed) {
            entryName = entry.name;
            failRepairWith(error);
        }
        // The levels held may be what the repair replaces.
        forgetEntryDirectories(directories);
        replaceKeptEntry(top, source, entry.name);
    }
    forgetEntryDirectories(directories);
}

}  // namespace onefile
