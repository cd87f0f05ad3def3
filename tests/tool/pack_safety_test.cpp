// The tool among things that are not its own: a second user who swaps
// what is being packed, an output that would land on or among the inputs,
// a signal in the middle of writing, inputs that are no regular files, a
// launcher of a million entries, and directory templates that invite
// trouble.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>

#include "tests/support/file_helpers.h"
#include "tests/support/temp_dir.h"
#include "tests/tool/tool_test_helpers.h"

namespace onefile::testing {
namespace {

inline constexpr int kFailureStatus = 1;
inline constexpr uid_t kNobody = 65534;

const std::string kScript = "#!/bin/sh\nexit 0\n";

std::string littleEndian(std::uint64_t value) {
    std::string bytes;
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
    return bytes;
}

// A block of `records`, closed with the end mark and the length trailer.
std::string wholeBlock(const std::string& records) {
    const std::string body = "ZQX" + records + '\0';
    return body + littleEndian(body.size());
}

std::string fileRecord(const std::string& name, unsigned char flags, const std::string& content) {
    return name + '\0' + static_cast<char>(flags) + littleEndian(content.size()) + content;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::size_t countLines(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// ---------------------------------------------------------------------------
// A second user swapping what root packs.

// A process of another user that exchanges two names in a directory it owns,
// as fast as it can, until it is stopped.
class NameSwapper {
public:
    NameSwapper(const std::string& first, const std::string& second, uid_t user, gid_t group) {
        void* shared =
            ::mmap(nullptr, sizeof(std::uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (shared == MAP_FAILED) throw std::runtime_error("mmap");
        swaps_ = static_cast<volatile std::uint64_t*>(shared);
        *swaps_ = 0;
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork");
        if (pid_ == 0) {
            // Ends with the test, and after two minutes in any case.
            (void)::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::setgroups(0, nullptr) != 0 || ::setgid(group) != 0 || ::setuid(user) != 0) ::_exit(126);
            timespec start{};
            timespec now{};
            (void)::clock_gettime(CLOCK_MONOTONIC, &start);
            do {
                for (int i = 0; i < 1024; ++i) {
                    if (::renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE) != 0)
                        ::_exit(125);
                    *swaps_ = *swaps_ + 1;
                }
                (void)::clock_gettime(CLOCK_MONOTONIC, &now);
            } while (now.tv_sec - start.tv_sec < 120);
            ::_exit(0);
        }
    }
    NameSwapper(const NameSwapper&) = delete;
    NameSwapper& operator=(const NameSwapper&) = delete;
    ~NameSwapper() {
        (void)stop();
        (void)::munmap(const_cast<std::uint64_t*>(swaps_), sizeof(std::uint64_t));
    }

    // Stops the swapping; returns how many swaps were made, and whether the
    // swapper was still swapping (it ends early only when a swap fails).
    std::pair<std::uint64_t, bool> stop() {
        if (pid_ > 0) {
            (void)::kill(pid_, SIGKILL);
            int status = 0;
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            stillSwapping_ = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
            pid_ = -1;
        }
        return {*swaps_, stillSwapping_};
    }

private:
    pid_t pid_ = -1;
    volatile std::uint64_t* swaps_ = nullptr;
    bool stillSwapping_ = false;
};

void changeOwner(const std::string& path, uid_t user) {
    if (::lchown(path.c_str(), user, user) != 0) throw std::runtime_error("lchown " + path);
}

// The owner of an application directory swaps a checked subdirectory with a
// link to a directory only root can read, over and over, while root packs.
// The secret has the size of the file it stands in for, so only reading the
// checked file itself keeps it out. Every launcher made carries the
// directory as it was; every other run fails cleanly.
TEST(PackRaceTest, ASwappedSubdirectoryNeverBringsInWhatItLeadsTo) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: root packs while uid 65534 swaps";
    const std::string kPublic = "public data, nothing to hide";
    const std::string kSecret = "SECRET-7f3a9c-root-only-data";
    ASSERT_EQ(kPublic.size(), kSecret.size());

    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    const std::string secretDir = dir.file("secret");
    writeFile(secretDir + "/data", kSecret, 0600);
    ASSERT_EQ(::chmod(secretDir.c_str(), 0700), 0);
    const std::string app = dir.file("app");
    writeFile(app + "/main", kScript, 0755);
    writeFile(app + "/sub/data", kPublic, 0644);
    makeSymlink(secretDir, app + "/swap");
    for (const std::string& path : {app, app + "/main", app + "/sub", app + "/sub/data", app + "/swap"})
        changeOwner(path, kNobody);
    const std::string out = dir.file("out");
    makeDirectories(out);
    const std::string launcher = out + "/launcher";

    // The listings a launcher may have: each of "sub" and "swap" was seen
    // as the directory or as the link, at the moment the scan came to it.
    const auto seenAs = [&](const std::string& name, bool directory) {
        return directory ? "file\t-\t" + std::to_string(kPublic.size()) + "\t" + name + "/data\n"
                         : "link\t-\t" + secretDir + "\t" + name + "\n";
    };
    std::map<std::string, std::string> allowed;
    for (const bool subIsDirectory : {true, false}) {
        for (const bool swapIsDirectory : {true, false}) {
            allowed["file\tx\t17\tmain\n" + seenAs("sub", subIsDirectory) + seenAs("swap", swapIsDirectory)] =
                std::string("packed sub as ") + (subIsDirectory ? "directory" : "link") + ", swap as " +
                (swapIsDirectory ? "directory" : "link");
        }
    }
    std::map<std::string, int> outcomes;
    NameSwapper swapper(app + "/sub", app + "/swap", kNobody, kNobody);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int run = 0; run < 300 && std::chrono::steady_clock::now() < deadline; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const ProcessResult result = runTool({"pack", app, "-o", launcher});
        if (result.exitCode == 0) {
            const std::string bytes = readFile(launcher);
            ASSERT_FALSE(contains(bytes, kSecret)) << "the secret was packed";
            const ProcessResult listed = runTool({"list", launcher});
            ASSERT_EQ(listed.exitCode, 0) << listed.err;
            ASSERT_TRUE(allowed.contains(listed.out)) << listed.out;
            const LauncherContents contents = readLauncher(launcher);
            for (std::size_t i = 0; i < contents.entries.size(); ++i) {
                if (contents.entries[i].kind == tool::EntryKind::file) {
                    EXPECT_EQ(contents.content(i), i == 0 ? kScript : kPublic);
                }
            }
            ++outcomes[allowed.at(listed.out)];
            ASSERT_EQ(::unlink(launcher.c_str()), 0);
        } else {
            ASSERT_EQ(result.exitCode, kFailureStatus) << result.err;
            // One line naming what changed below the application directory.
            EXPECT_EQ(result.err.rfind("onefile: " + app + "/", 0), 0u) << result.err;
            EXPECT_EQ(countLines(result.err), 1u) << result.err;
            EXPECT_TRUE(result.err.ends_with(": changed while being packed\n")) << result.err;
            ++outcomes["refused"];
        }
        ASSERT_EQ(listDirectory(out), std::vector<std::string>{}) << "a run left something behind";
    }
    const auto [swaps, stillSwapping] = swapper.stop();
    EXPECT_TRUE(stillSwapping) << "the second user's swapping failed";
    EXPECT_GT(swaps, 0u);
    for (const auto& [outcome, count] : outcomes) RecordProperty(outcome, count);
}

// ---------------------------------------------------------------------------
// Outputs on or among the inputs.

// Every file below `root` with its content, every link with its text, every
// directory: what a refused command must leave as it was.
std::map<std::string, std::string> snapshot(const std::string& root) {
    std::map<std::string, std::string> items;
    for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
        const std::string path = item.path().string();
        if (item.is_symlink()) items[path] = "link " + std::filesystem::read_symlink(item.path()).string();
        else if (item.is_directory()) items[path] = "directory";
        else items[path] = readFile(path);
    }
    return items;
}

struct OutputCase {
    const char* what;
    std::vector<std::string> arguments;  // "D" stands for the test's directory
    std::string message;                 // "" when the launcher is written; "D" as above
    std::string launcher{};              // where a launcher is then found
};

TEST(OutputPlaceTest, AnOutputOnOrAmongTheInputsIsRefusedBeforeAnythingIsWritten) {
    const std::vector<OutputCase> cases = {
        {"APPDIR itself", {"pack", "D/app", "-o", "D/app"}, "D/app: output is the input"},
        {"APPDIR with a slash", {"pack", "D/app", "-o", "D/app/"}, "D/app/: output is the input"},
        {"a new file in APPDIR", {"pack", "D/app", "-o", "D/app/x.run"},
         "D/app/x.run: output would be inside the application directory D/app"},
        {"the previous launcher in APPDIR", {"pack", "D/app", "-o", "D/app/lib/old.run"},
         "D/app/lib/old.run: output would be inside the application directory D/app"},
        {"the main executable", {"pack", "D/app", "-o", "D/app/main"},
         "D/app/main: output would be inside the application directory D/app"},
        {"a subdirectory by way of ..", {"pack", "D/app", "-o", "D/app/sub/../lib/new.run"},
         "D/app/sub/../lib/new.run: output would be inside the application directory D/app"},
        {"APPDIR through a link to it", {"pack", "D/app", "-o", "D/applink/x.run"},
         "D/applink/x.run: output would be inside the application directory D/app"},
        {"APPDIR given as a link", {"pack", "D/applink", "-o", "D/app/lib/x.run"},
         "D/app/lib/x.run: output would be inside the application directory D/applink"},
        {"a hard link of a carried file", {"pack", "D/app", "-o", "D/out/hard"},
         "D/out/hard: output is D/app/lib/data, a file the launcher would carry"},
        {"the single input file", {"pack", "D/bin/tool", "-o", "D/bin/tool"}, "D/bin/tool: output is the input"},
        {"the file a link input leads to", {"pack", "D/bin/alias", "-o", "D/bin/tool"},
         "D/bin/tool: output is the input"},
        {"a link to the single input file", {"pack", "D/bin/tool", "-o", "D/bin/alias"},
         "D/bin/alias: output is the input"},
        {"the --stub file of pack", {"pack", "D/app", "--stub", "D/stub", "-o", "D/stub"},
         "D/stub: output is the --stub file"},
        {"the block of attach", {"attach", "D/block", "-o", "D/block"}, "D/block: output is the input"},
        {"the block of attach by way of .", {"attach", "D/block", "-o", "D/./out/../block"},
         "D/./out/../block: output is the input"},
        {"the --stub file of attach", {"attach", "D/block", "--stub", "D/stub", "-o", "D/stub"},
         "D/stub: output is the --stub file"},
        // Identity, not spelling: these land outside the inputs.
        {"through a link in APPDIR that leads out", {"pack", "D/app", "-o", "D/app/outlink/x.run"}, "", "D/out/x.run"},
        {"a sibling whose name starts like APPDIR", {"pack", "D/app", "-o", "D/app-next/x.run"}, "",
         "D/app-next/x.run"},
        {"beside the single input file", {"pack", "D/bin/tool", "-o", "D/bin/tool.run"}, "", "D/bin/tool.run"},
        {"attach beside the block", {"attach", "D/block", "-o", "D/block.run"}, "", "D/block.run"},
    };
    for (const OutputCase& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const auto expand = [&dir](std::string text) {
            for (std::size_t at = text.find("D/"); at != std::string::npos;
                 at = text.find("D/", at + dir.path().size()))
                text.replace(at, 1, dir.path());
            return text;
        };
        writeFile(dir.file("app/main"), kScript, 0755);
        writeFile(dir.file("app/lib/data"), "data", 0644);
        writeFile(dir.file("app/lib/old.run"), "an earlier launcher", 0755);
        makeDirectories(dir.file("app/sub"));
        makeSymlink("../out", dir.file("app/outlink"));
        makeSymlink("app", dir.file("applink"));
        makeDirectories(dir.file("out"));
        makeDirectories(dir.file("app-next"));
        ASSERT_EQ(::link(dir.file("app/lib/data").c_str(), dir.file("out/hard").c_str()), 0);
        writeFile(dir.file("bin/tool"), kScript, 0755);
        makeSymlink("tool", dir.file("bin/alias"));
        writeFile(dir.file("block"), wholeBlock(fileRecord("run", 1, kScript)), 0644);
        writeFile(dir.file("stub"), readFile(ONEFILE_STUB_PATH), 0755);

        std::vector<std::string> arguments;
        for (const std::string& argument : c.arguments) arguments.push_back(expand(argument));
        const auto before = snapshot(dir.path());
        const ProcessResult result = runTool(arguments);
        if (c.message.empty()) {
            ASSERT_EQ(result.exitCode, 0) << result.err;
            const ProcessResult listed = runTool({"list", expand(c.launcher)});
            EXPECT_EQ(listed.exitCode, 0) << listed.err;
            EXPECT_EQ(listed.out.substr(0, 5), "file\t") << listed.out;
            continue;
        }
        EXPECT_EQ(result.exitCode, kFailureStatus);
        EXPECT_EQ(result.err, "onefile: " + expand(c.message) + "\n");
        EXPECT_EQ(snapshot(dir.path()), before) << "a refused command changed something";
    }
}

// ---------------------------------------------------------------------------
// Signals while writing.

// Waits up to `timeoutMs` for a name starting with `prefix` to be created in
// the directory `inotifyFd` watches.
bool waitForCreation(int inotifyFd, const std::string& prefix, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    alignas(inotify_event) char buffer[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd waiting{inotifyFd, POLLIN, 0};
        if (::poll(&waiting, 1, 50) <= 0) continue;
        const ssize_t length = ::read(inotifyFd, buffer, sizeof buffer);
        for (ssize_t at = 0; at < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if (event->len > 0 && std::string(event->name).rfind(prefix, 0) == 0) return true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    return false;
}

// The tool is stopped while its temporary output exists, gets the signal,
// and goes on: it must remove the temporary file and end by the signal.
TEST(PackSignalTest, EachTerminationSignalLeavesNoOutputBehind) {
    TempDir dir;
    const std::string app = dir.file("app");
    writeFile(app + "/main", kScript, 0755);
    const std::string big = app + "/big";
    writeFile(big, "", 0644);
    ASSERT_EQ(::truncate(big.c_str(), off_t{200} << 20), 0);
    const std::string out = dir.file("out");
    makeDirectories(out);
    for (const int signalNumber : {SIGINT, SIGTERM, SIGQUIT, SIGHUP}) {
        SCOPED_TRACE(::strsignal(signalNumber));
        Ending ending;
        bool caught = false;
        // The write takes a fraction of a second; a run that ends before it
        // is stopped is tried again.
        for (int attempt = 0; attempt < 10 && !caught; ++attempt) {
            const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
            ASSERT_GE(watch, 0);
            ASSERT_GE(::inotify_add_watch(watch, out.c_str(), IN_CREATE), 0);
            StartOptions options;
            options.noCoreDump = true;
            const pid_t pid = startTool({"pack", app, "-o", out + "/launcher"}, options);
            const bool created = waitForCreation(watch, "launcher.tmp-", 20000);
            ::close(watch);
            (void)::kill(pid, SIGSTOP);
            int status = 0;
            ASSERT_EQ(::waitpid(pid, &status, WUNTRACED), pid);
            if (!created && WIFSTOPPED(status)) {
                (void)::kill(pid, SIGKILL);
                (void)waitWithin(pid, 60);
                FAIL() << "no temporary output appeared";
            }
            const std::vector<std::string> names = listDirectory(out);
            if (WIFSTOPPED(status) && names.size() == 1 && names[0].rfind("launcher.tmp-", 0) == 0) {
                caught = true;
                (void)::kill(pid, signalNumber);
            }
            if (WIFSTOPPED(status)) {
                (void)::kill(pid, SIGCONT);
                ending = waitWithin(pid, 60);
                ASSERT_TRUE(ending.inTime);
            }
            if (!caught) std::filesystem::remove(out + "/launcher");
        }
        ASSERT_TRUE(caught) << "the tool was never stopped while writing";
        EXPECT_TRUE(ending.signal == signalNumber || ending.exitCode == 128 + signalNumber)
            << "exit " << ending.exitCode << ", signal " << ending.signal;
        EXPECT_EQ(listDirectory(out), std::vector<std::string>{});
        // Each signal starts from an empty directory, whatever the last left.
        std::filesystem::remove_all(out);
        makeDirectories(out);
    }
}

// ---------------------------------------------------------------------------
// Inputs that are not regular files.

TEST(RegularInputTest, AFifoIsRefusedAtOnceWhereALauncherOrABlockIsRead) {
    TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    writeFile(dir.file("app/main"), kScript, 0755);
    writeFile(dir.file("block"), wholeBlock(""), 0644);
    makeDirectories(dir.file("out"));
    const std::vector<std::vector<std::string>> commands = {
        {"list", fifo},
        {"attach", fifo, "-o", dir.file("out/l")},
        {"pack", dir.file("app"), "--stub", fifo, "-o", dir.file("out/l")},
        {"attach", dir.file("block"), "--stub", fifo, "-o", dir.file("out/l")},
    };
    for (const std::vector<std::string>& command : commands) {
        SCOPED_TRACE(command.front() + " " + command.at(1));
        StartOptions options;
        options.stdoutPath = dir.file("stdout");
        options.stderrPath = dir.file("stderr");
        // Nothing ever writes to the fifo: a tool that opened it for reading
        // in the ordinary way would wait for ever.
        const Ending ending = waitWithin(startTool(command, options), 10);
        ASSERT_TRUE(ending.inTime) << "the tool waited on the fifo";
        EXPECT_EQ(ending.exitCode, kFailureStatus);
        EXPECT_EQ(readFile(dir.file("stderr")), "onefile: " + fifo + ": is not a regular file\n");
        EXPECT_EQ(readFile(dir.file("stdout")), "");
        EXPECT_EQ(listDirectory(dir.file("out")), std::vector<std::string>{});
    }
}

// ---------------------------------------------------------------------------
// A million entries.

// The smallest address-space limit, in MiB steps, under which the tool
// lists `launcher`: what the tool itself needs.
rlim_t addressSpaceNeededToList(const std::string& launcher) {
    for (rlim_t mebibytes = 1; mebibytes <= 256; ++mebibytes) {
        StartOptions options;
        options.addressSpaceBytes = mebibytes << 20;
        const Ending ending = waitWithin(startTool({"list", launcher}, options), 30);
        if (ending.inTime && ending.exitCode == 0) return mebibytes << 20;
    }
    throw std::runtime_error("the tool does not list " + launcher + " in 256 MiB");
}

// The tool maps the launcher, which takes address space of its size; beyond
// that, listing a million entries needs no more than listing one, give or
// take 64 MiB.
TEST(ListMemoryTest, AMillionEntriesListWithinTheMemoryOfOne) {
    if (ONEFILE_SANITIZED_BUILD)
        GTEST_SKIP() << "the sanitizers reserve terabytes of address space: a limit on it cannot run the tool";
    constexpr std::size_t kEntries = 1000000;
    TempDir dir;
    std::string records;
    records.reserve(kEntries * 20);
    char name[16];
    for (std::size_t i = 0; i < kEntries; ++i) {
        std::snprintf(name, sizeof name, "e%07zu", i);
        records += fileRecord(name, static_cast<unsigned char>(i % 2), "");
    }
    writeFile(dir.file("big-block"), wholeBlock(records), 0644);
    records.clear();
    records.shrink_to_fit();
    writeFile(dir.file("small-block"), wholeBlock(fileRecord("e0000000", 0, "")), 0644);
    for (const std::string& which : {std::string("big"), std::string("small")}) {
        const ProcessResult result = runTool({"attach", dir.file(which + "-block"), "-o", dir.file(which)});
        ASSERT_EQ(result.exitCode, 0) << result.err;
    }

    const rlim_t baseline = addressSpaceNeededToList(dir.file("small"));
    const rlim_t limit = baseline + std::filesystem::file_size(dir.file("big")) + (rlim_t{64} << 20);
    StartOptions options;
    options.addressSpaceBytes = limit;
    options.stdoutPath = dir.file("listing");
    options.stderrPath = dir.file("stderr");
    const Ending ending = waitWithin(startTool({"list", dir.file("big")}, options), 120);
    ASSERT_TRUE(ending.inTime);
    EXPECT_EQ(ending.exitCode, 0) << readFile(dir.file("stderr"));
    EXPECT_EQ(readFile(dir.file("stderr")), "");
    const std::string listing = readFile(dir.file("listing"));
    EXPECT_EQ(countLines(listing), kEntries);
    EXPECT_TRUE(listing.starts_with("file\t-\t0\te0000000\nfile\tx\t0\te0000001\n"));
    EXPECT_TRUE(listing.ends_with("file\t-\t0\te0999998\nfile\tx\t0\te0999999\n"));
}

// ---------------------------------------------------------------------------
// Directory templates that invite trouble.

struct TemplateCase {
    std::string templateText;
    std::vector<std::string> warnings;  // the start of each warning's reason
    std::string refusal;                // the message of a refusal, else ""
};

TEST(TemplateWarningTest, PackAndAttachWarnAboutTemplatesThatInviteTroubleAndRefuseWhatCannotWork) {
    const std::vector<TemplateCase> cases = {
        {"{TEMP}/onefile_{PID}_{TIME_US}_{RANDOM}", {}, ""},
        {"{temp}/{product}_{random}", {}, ""},
        {"{HOME}/.cache/{PRODUCT}/{RANDOM}", {}, ""},
        {"{TEMP}/myapp/{RANDOM}", {"the level 'myapp' straight under {TEMP} holds no {RANDOM}"}, ""},
        {"{TEMP}/{PRODUCT}/x_{RANDOM}", {"the level '{PRODUCT}' straight under {TEMP} holds no {RANDOM}"}, ""},
        {"{HOME}/.x/{PRODUCT}", {"its last level '{PRODUCT}' holds no {RANDOM}"}, ""},
        {"{TEMP}/app/{PID}",
         {"its last level '{PID}' holds no {RANDOM}", "the level 'app' straight under {TEMP} holds no {RANDOM}"}, ""},
        {std::string("{TEMP}/") + std::string(255, 'n') + "_{RANDOM}", {},
         std::string("--template: the directory name \"") + std::string(32, 'n') +
             "...\" of 256 bytes cannot be created; at most 255 bytes fit one directory entry"},
    };
    TempDir dir;
    writeFile(dir.file("app/main"), kScript, 0755);
    writeFile(dir.file("block"), wholeBlock(fileRecord("main", 1, kScript)), 0644);
    makeDirectories(dir.file("out"));
    for (const TemplateCase& c : cases) {
        for (const std::string& command : {std::string("pack"), std::string("attach")}) {
            SCOPED_TRACE(command + " --template " + c.templateText.substr(0, 40));
            const std::string input = command == "pack" ? dir.file("app") : dir.file("block");
            const ProcessResult result =
                runTool({command, input, "-o", dir.file("out/l"), "--template", c.templateText});
            if (!c.refusal.empty()) {
                EXPECT_EQ(result.exitCode, kFailureStatus);
                EXPECT_EQ(result.err, "onefile: " + c.refusal + "\n");
                EXPECT_EQ(listDirectory(dir.file("out")), std::vector<std::string>{});
                continue;
            }
            ASSERT_EQ(result.exitCode, 0) << result.err;
            EXPECT_EQ(countLines(result.err), c.warnings.size()) << result.err;
            for (const std::string& warning : c.warnings)
                EXPECT_TRUE(contains(result.err, "onefile: warning: template '" + c.templateText + "': " + warning))
                    << result.err;
            // The launcher is written all the same, with the template as given.
            EXPECT_TRUE(contains(readFile(dir.file("out/l")), c.templateText + '\0'));
            ASSERT_EQ(::unlink(dir.file("out/l").c_str()), 0);
        }
    }
}

}  // namespace
}  // namespace onefile::testing
