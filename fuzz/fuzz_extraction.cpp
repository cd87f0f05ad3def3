// Fuzz target: extractPayload on arbitrary blocks. The input is the block.
//
// Every input runs in a forked child, because extraction keeps process-wide
// state (the directory memo, the launch target, the removal flag) and ends
// the process on every failure. The child confines itself to the sandbox
// directory with chroot where that is permitted, so that even an absolute
// link target resolves inside it; places the block at the end of a
// read-only file mapping, as in a launcher, followed by an inaccessible page,
// so a read past the block's end faults; and extracts into box/x. Its only allowed ends are
// a return (exit 0) and the launcher's fatal exit status 2.
//
// Afterwards the parent checks the sandbox: nothing may exist in it but the
// extraction directory and the untouched canary directory beside it. Then it
// removes the extraction directory for the next input.
//
// Coverage: libFuzzer reads its counters in this process, so the child
// copies its counters into shared memory as it ends and the parent merges
// them in. Without libFuzzer (the replay driver) there are no counters.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "fuzz/coverage_counters.h"
#include "payload/extract_payload.h"
#include "runtime/fatal_stops.h"
#include "runtime/launcher_section.h"
#include "runtime/launcher_state.h"

// The extraction reads one string of the launcher's configuration: a run of
// this harness has no launcher around it, and no message.
namespace onefile {
const char* getFirstRunMessage() { return ""; }
}  // namespace onefile

// Present only with a sanitizer runtime.
extern "C" {
__attribute__((weak)) void __sanitizer_set_report_fd(void* fd);
__attribute__((weak)) void __sanitizer_symbolize_pc(void* pc, const char* format, char* buffer, std::size_t size);
}

namespace {

constexpr char kCanaryContent[] = "canary\n";
constexpr mode_t kCanaryMode = 0644;
// A run that takes longer than this is stuck, not slow: inputs are small.
constexpr unsigned kChildSeconds = 20;
// Exit status of a child that could not prepare its run.
constexpr int kChildSetupFailed = 100;

struct Sandbox {
    std::string root;       // the sandbox itself
    std::string box;        // root/box
    std::string canary;     // root/box/canary
    std::string extraction; // root/box/x, as the parent sees it
    bool confined = false;  // the child can chroot into root
};

Sandbox sandbox;
// The counters of this process, and the shared copy a child leaves of its own.
std::span<std::uint8_t> counters;
std::uint8_t* sharedCounters;

void removeSandbox();

// A finding, or a harness that cannot go on: the sandbox goes (what was
// wrong with it is in the message), then the fuzzer records the input.
[[noreturn]] void fail(const std::string& what) {
    fprintf(stderr, "extraction: %s\n", what.c_str());
    static bool failing = false;
    if (!failing) {
        failing = true;
        removeSandbox();
    }
    abort();
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    if (remove(path) != 0) fail(std::string("cannot remove ") + path + ": " + strerror(errno));
    return 0;
}

// Removes path and everything below it, never following a link.
void removeTree(const std::string& path) {
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) return;
    if (nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS) != 0) fail("cannot remove " + path);
}

void removeSandbox() {
    if (!sandbox.root.empty()) removeTree(sandbox.root);
}

void makeDirectory(const std::string& path) {
    if (mkdir(path.c_str(), 0755) != 0) fail("mkdir " + path + ": " + strerror(errno));
}

std::set<std::string> directoryNames(const std::string& path) {
    std::set<std::string> names;
    DIR* directory = opendir(path.c_str());
    if (directory == nullptr) fail("the sandbox directory " + path + " cannot be read: " + strerror(errno));
    while (const dirent* entry = readdir(directory)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) names.insert(entry->d_name);
    }
    closedir(directory);
    return names;
}

bool isPlainDirectory(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::string readCanary(const std::string& path) {
    std::string content;
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW);
    if (fd < 0) return "(cannot be opened)";
    char bytes[64];
    ssize_t count;
    while ((count = read(fd, bytes, sizeof bytes)) > 0) content.append(bytes, static_cast<std::size_t>(count));
    close(fd);
    return content;
}

void checkSandbox() {
    if (directoryNames(sandbox.root) != std::set<std::string>{"box"} || !isPlainDirectory(sandbox.box))
        fail("something was written beside the sandbox's box directory in " + sandbox.root);
    std::set<std::string> boxNames = directoryNames(sandbox.box);
    boxNames.erase("x");
    if (boxNames != std::set<std::string>{"canary"} || !isPlainDirectory(sandbox.canary))
        fail("something was written beside the extraction directory in " + sandbox.box);
    const std::string canaryFile = sandbox.canary + "/file";
    struct stat status;
    if (directoryNames(sandbox.canary) != std::set<std::string>{"file"} || lstat(canaryFile.c_str(), &status) != 0 ||
        !S_ISREG(status.st_mode) || (status.st_mode & 07777) != kCanaryMode || readCanary(canaryFile) != kCanaryContent)
        fail("the canary directory " + sandbox.canary + " was changed");
}

bool canConfine() {
    const pid_t child = fork();
    if (child < 0) fail(std::string("fork: ") + strerror(errno));
    if (child == 0) _exit(chroot(sandbox.root.c_str()) == 0 ? 0 : 1);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void setUp() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/onefile-fuzz-extraction-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) fail("mkdtemp " + pattern + ": " + strerror(errno));
    sandbox.root = pattern;
    sandbox.box = sandbox.root + "/box";
    sandbox.canary = sandbox.box + "/canary";
    sandbox.extraction = sandbox.box + "/x";
    atexit(removeSandbox);
    makeDirectory(sandbox.box);
    makeDirectory(sandbox.canary);
    const std::string canaryFile = sandbox.canary + "/file";
    FILE* canary = fopen(canaryFile.c_str(), "w");
    if (canary == nullptr || fputs(kCanaryContent, canary) < 0 || fclose(canary) != 0) fail("cannot write " + canaryFile);
    if (chmod(canaryFile.c_str(), kCanaryMode) != 0) fail("chmod " + canaryFile);

    // A child confined with chroot cannot start the symbolizer for its
    // report; started here, it is inherited with its pipes.
    if (__sanitizer_symbolize_pc != nullptr) {
        char symbol[256];
        __sanitizer_symbolize_pc(reinterpret_cast<void*>(&setUp), "%F", symbol, sizeof symbol);
    }
    sandbox.confined = canConfine();
    if (!sandbox.confined)
        fprintf(stderr, "extraction: chroot is not permitted here; absolute link targets are not confined\n");

    counters = onefile::fuzz::coverageCounters();
    if (!counters.empty()) {
        void* shared = mmap(nullptr, counters.size(), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (shared == MAP_FAILED) fail(std::string("mmap: ") + strerror(errno));
        sharedCounters = static_cast<std::uint8_t*>(shared);
    }
}

// Runs first at the child's exit (handlers run in reverse order) and ends
// the child at once: the parent's handlers and the leak check at exit
// belong to the parent.
void endChild(int status, void*) {
    if (sharedCounters != nullptr) memcpy(sharedCounters, counters.data(), counters.size());
    _exit(status);
}

// The extraction's own messages go nowhere; sanitizer reports still reach
// the fuzzer's standard error.
void silenceChild() {
    const int report = dup(STDERR_FILENO);
    if (report >= 0 && __sanitizer_set_report_fd != nullptr)
        __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(report)));
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        close(null);
    }
}

// As in a launcher, the block lies in a read-only private mapping of a
// file, whose pages extraction may give back as it goes. The block ends
// right before a page that cannot be read.
const unsigned char* mapBlock(const std::uint8_t* data, std::size_t size) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t fileBytes = (size + page - 1) / page * page;
    void* reserved = mmap(nullptr, fileBytes + page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (reserved == MAP_FAILED) _exit(kChildSetupFailed);
    unsigned char* const mapping = static_cast<unsigned char*>(reserved);
    if (fileBytes > 0) {
        const int fd = memfd_create("onefile-block", 0);
        if (fd < 0 || ftruncate(fd, static_cast<off_t>(fileBytes)) != 0 ||
            pwrite(fd, data, size, static_cast<off_t>(fileBytes - size)) != static_cast<ssize_t>(size) ||
            mmap(mapping, fileBytes, PROT_READ, MAP_PRIVATE | MAP_FIXED, fd, 0) == MAP_FAILED)
            _exit(kChildSetupFailed);
        close(fd);
    }
    onefile::gPayloadPagesReleasable = true;
    return mapping + fileBytes - size;
}

[[noreturn]] void runChild(const std::uint8_t* data, std::size_t size) {
    signal(SIGALRM, SIG_DFL);
    alarm(kChildSeconds);
    silenceChild();
    on_exit(endChild, nullptr);
    // Relative paths, had extraction any, resolve inside the sandbox too.
    if (chdir(sandbox.root.c_str()) != 0) _exit(kChildSetupFailed);
    std::string directory = sandbox.extraction;
    if (sandbox.confined) {
        if (chroot(".") != 0 || chdir("/") != 0) _exit(kChildSetupFailed);
        directory = "/box/x";
    }
    onefile::copyStringBounded(onefile::gExtractionDirectory, directory.c_str(),
                               sizeof onefile::gExtractionDirectory, "extraction directory");
    const unsigned char* block = mapBlock(data, size);
    onefile::gPayloadCursor = block;
    onefile::gPayloadEnd = block + size;
    (void)onefile::extractPayload(true);
    exit(0);
}

std::string describeStatus(int status) {
    if (WIFEXITED(status) && WEXITSTATUS(status) == kChildSetupFailed) return "a child that could not prepare its run";
    if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return std::string("signal ") + strsignal(WTERMSIG(status));
    return "status " + std::to_string(status);
}

void mergeChildCounters() {
    if (sharedCounters == nullptr) return;
    for (std::size_t i = 0; i < counters.size(); ++i) counters[i] = std::max(counters[i], sharedCounters[i]);
}

}  // namespace

// Every input forks this process, and a fork costs in proportion to the
// memory in use: AddressSanitizer's quarantine of freed blocks (256 MB by
// default) would cut the rate of runs by more than half.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=4"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (sandbox.root.empty()) setUp();
    if (sharedCounters != nullptr) memset(sharedCounters, 0, counters.size());
    fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) fail(std::string("fork: ") + strerror(errno));
    if (child == 0) runChild(data, size);
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) fail(std::string("waitpid: ") + strerror(errno));
    }
    mergeChildCounters();
    const bool allowedEnd =
        WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == onefile::kFatalExitStatus);
    if (!allowedEnd) fail("the extraction ended with " + describeStatus(status));
    checkSandbox();
    removeTree(sandbox.extraction);
    return 0;
}
