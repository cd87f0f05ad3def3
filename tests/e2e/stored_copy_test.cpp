// Stored entries are copied from the launcher's own file by the kernel:
// copy_file_range where it works, else sendfile, else a write from the
// mapped block. Each step is forced with the hooks, on one thread and with
// writer threads, and writes the same bytes with the same modes; a step the
// kernel does not offer gives way to the next without a word; a failed copy
// keeps the report of a failed write; and a copy that finds the launcher's
// file ending early stops the run as a launcher cut short, leaving nothing.
#include <gtest/gtest.h>

#include <elf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/e2e/launcher_fixture.h"
#include "tests/support/file_helpers.h"
#include "tests/support/sample_contents.h"

namespace onefile::e2e {
namespace {

namespace fs = std::filesystem;
using onefile::testing::ProcessOptions;
using onefile::testing::randomBytes;
using onefile::testing::readFile;
using onefile::testing::writeFile;

// Sizes around the launcher's choices: empty, one byte, a page, just below
// and at the size from which the kernel copies, and one that takes two
// kernel calls of 8 MiB (and makes the block worth the writer threads).
struct StoredEntry {
    const char* name;
    std::size_t size;
    mode_t mode;
};
constexpr StoredEntry kEntries[] = {
    {"empty", 0, 0644},
    {"one", 1, 0755},
    {"page", 4096, 0644},
    {"lib/below", (64u << 10) - 1, 0644},
    {"lib/least", 64u << 10, 0755},
    {"lib/large", (8u << 20) + 4097, 0644},
};

std::string errorNumber(int error) { return std::to_string(error); }

// Every regular file below `directory`: relative path, size and a digest of
// the content (a failure prints these, not megabytes).
using FileList = std::vector<std::tuple<std::string, std::size_t, std::size_t>>;
FileList filesBelow(const std::string& directory) {
    FileList files;
    for (const auto& entry : fs::recursive_directory_iterator(directory)) {
        if (!entry.is_regular_file()) continue;
        const std::string content = readFile(entry.path().string());
        files.emplace_back(fs::relative(entry.path(), directory).string(), content.size(),
                           std::hash<std::string>{}(content));
    }
    std::sort(files.begin(), files.end());
    return files;
}

// The probe's lines of the files it was unpacked with, sorted.
std::vector<std::string> fileLines(const ProbeReport& report) {
    std::vector<std::string> lines;
    for (const std::string& line : report.tree) {
        if (line.rfind("file ", 0) == 0) lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

// The lines of a hook log that name `call`.
std::size_t callsIn(const std::string& log, const std::string& call) {
    std::size_t count = 0;
    for (std::size_t at = log.find(call + " "); at != std::string::npos; at = log.find(call + " ", at + 1)) {
        if (at == 0 || log[at - 1] == '\n') ++count;
    }
    return count;
}

// Where the loaded segment that holds the block ends in the launcher's file:
// the size the launcher reports a cut-short file against.
std::uint64_t payloadSegmentEnd(const std::string& bytes) {
    Elf64_Ehdr header;
    std::memcpy(&header, bytes.data(), sizeof header);
    std::uint64_t end = 0;
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr program;
        std::memcpy(&program, bytes.data() + header.e_phoff + std::uint64_t{i} * header.e_phentsize, sizeof program);
        if (program.p_type == PT_LOAD) end = std::max<std::uint64_t>(end, program.p_offset + program.p_filesz);
    }
    return end;
}

class StoredCopyTest : public LauncherTest {
protected:
    void SetUp() override {
        LauncherTest::SetUp();
        addProbe();
        std::uint64_t seed = 1;
        for (const StoredEntry& entry : kEntries) {
            writeFile(appDir() + "/" + entry.name, randomBytes(entry.size, seed++), entry.mode);
        }
        launcher_ = packWithHooks({"--main", "probe", "--template", "{TEMP}/x"});
        expected_ = filesBelow(appDir());
        // The modes a launcher gives them under umask 022.
        for (const auto& [name, size, digest] : expected_) {
            const bool executable = (fs::status(appDir() + "/" + name).permissions() & fs::perms::owner_exec) !=
                                    fs::perms::none;
            expectedLines_.push_back(std::string("file ") + (executable ? "0745 " : "0644 ") + std::to_string(size) +
                                     " " + name);
        }
        std::sort(expectedLines_.begin(), expectedLines_.end());
    }

    // Runs the launcher with the hooks' controls, on one processor or on all;
    // the probe copies what it finds to a directory of its own.
    LauncherRun runWith(std::map<std::string, std::string> controls, bool pinned, const std::string& copy = "") {
        controls["ONEFILE_HOOK_COPY_LOG"] = log_;
        fs::remove(log_);
        ProcessOptions options = withHooks(std::move(controls));
        options.umask = 022;
        if (!copy.empty()) options.setEnvironment["PROBE_COPY_TO"] = copy;
        if (pinned) options.processors = 1;
        return run({launcher_}, options);
    }

    std::string log() const { return fs::exists(log_) ? readFile(log_) : ""; }

    std::string launcher_;
    std::string log_ = temp().file("hooks.log");
    FileList expected_;
    std::vector<std::string> expectedLines_;
};

struct Step {
    const char* name;
    std::map<std::string, std::string> controls;
    const char* copiedBy;  // the call the hooks log, or none for a write
};

TEST_F(StoredCopyTest, EachStepOfTheChainWritesTheSameBytesAndModes) {
    const std::string enosys = errorNumber(ENOSYS);
    const Step steps[] = {
        {"copy_file_range", {}, "copy_file_range"},
        {"sendfile", {{"ONEFILE_HOOK_FAIL_COPY_FILE_RANGE", enosys}}, "sendfile"},
        {"write from the mapping",
         {{"ONEFILE_HOOK_FAIL_COPY_FILE_RANGE", enosys}, {"ONEFILE_HOOK_FAIL_SENDFILE", enosys}},
         nullptr},
    };
    int copies = 0;
    for (const Step& step : steps) {
        for (const bool pinned : {true, false}) {
            SCOPED_TRACE(std::string(step.name) + (pinned ? ", one processor" : ", all processors"));
            const std::string copy = temp().file("copy" + std::to_string(copies++));
            const LauncherRun run = runWith(step.controls, pinned, copy);
            ASSERT_EQ(run.process.exitCode, 0) << run.process.err;
            EXPECT_EQ(run.process.err, "");
            const std::string calls = log();
            const std::string copiedBy = step.copiedBy != nullptr ? step.copiedBy : "";
            if (copiedBy == "copy_file_range" && callsIn(calls, "copy_file_range") == 0) {
                GTEST_SKIP() << "this kernel does not copy_file_range between two files of " << temp().path()
                             << "'s file system; the other steps are tested without it";
            }
            // The two entries from 64 KiB on, the large one in two calls at least.
            for (const char* call : {"copy_file_range", "sendfile"}) {
                if (copiedBy == call) {
                    EXPECT_GE(callsIn(calls, call), 3u) << calls;
                } else {
                    EXPECT_EQ(callsIn(calls, call), 0u) << calls;
                }
            }
            EXPECT_EQ(filesBelow(copy), expected_);
            EXPECT_EQ(fileLines(run.report), expectedLines_);
        }
    }
}

TEST_F(StoredCopyTest, AStepTheKernelDoesNotOfferGivesWayWithoutAWord) {
    for (const int error : {ENOSYS, EINVAL, EXDEV, EOPNOTSUPP, EBADF}) {
        SCOPED_TRACE(strerror(error));
        // copy_file_range refused: sendfile copies.
        std::string copy = temp().file("copy-sendfile-" + errorNumber(error));
        LauncherRun run = runWith({{"ONEFILE_HOOK_FAIL_COPY_FILE_RANGE", errorNumber(error)}}, false, copy);
        ASSERT_EQ(run.process.exitCode, 0) << run.process.err;
        EXPECT_EQ(run.process.err, "");
        EXPECT_GE(callsIn(log(), "sendfile"), 3u);
        EXPECT_EQ(filesBelow(copy), expected_);
        // Both refused: the entries are written from the mapping.
        copy = temp().file("copy-write-" + errorNumber(error));
        run = runWith({{"ONEFILE_HOOK_FAIL_COPY_FILE_RANGE", errorNumber(ENOSYS)},
                       {"ONEFILE_HOOK_FAIL_SENDFILE", errorNumber(error)}},
                      false, copy);
        ASSERT_EQ(run.process.exitCode, 0) << run.process.err;
        EXPECT_EQ(run.process.err, "");
        EXPECT_EQ(callsIn(log(), "sendfile") + callsIn(log(), "copy_file_range"), 0u);
        EXPECT_EQ(filesBelow(copy), expected_);
    }
}

TEST_F(StoredCopyTest, AFailedCopyIsReportedAsAFailedWriteAndLeavesNothing) {
    const std::pair<int, const char*> failures[] = {
        {ENOSPC, "No space left on device"},
        {EDQUOT, "Disk quota exceeded"},
        {EFBIG, "File too large"},
        {EIO, "Input/output error"},
    };
    for (const auto& [error, text] : failures) {
        for (const char* control : {"ONEFILE_HOOK_FAIL_COPY_FILE_RANGE", "ONEFILE_HOOK_FAIL_SENDFILE"}) {
            for (const bool pinned : {true, false}) {
                SCOPED_TRACE(std::string(text) + " from " + control + (pinned ? ", one processor" : ""));
                std::map<std::string, std::string> controls = {{control, errorNumber(error)}};
                if (std::string(control) == "ONEFILE_HOOK_FAIL_SENDFILE") {
                    controls["ONEFILE_HOOK_FAIL_COPY_FILE_RANGE"] = errorNumber(ENOSYS);
                }
                const LauncherRun run = runWith(controls, pinned);
                EXPECT_EQ(run.process.exitCode, 2);
                // On one processor the first entry the kernel copies, in block
                // order, fails: the probe, when it is that large. With writer
                // threads, whichever thread fails first is reported, and every
                // entry the kernel copies fails.
                const std::string first = fs::file_size(kProbePath) >= (64u << 10) ? "probe" : "lib/large";
                const auto reportFor = [&](const std::string& name) {
                    return std::string("Error, couldn't unpack file to target path.: ") + text + "\nwhile writing '" +
                           tmpDir() + "/x/" + name + "'\n";
                };
                if (pinned || first == "lib/large") {
                    EXPECT_EQ(run.process.err, reportFor(first));
                } else {
                    EXPECT_TRUE(run.process.err == reportFor("probe") || run.process.err == reportFor("lib/large"))
                        << run.process.err;
                }
                EXPECT_FALSE(run.report.complete);
                EXPECT_EQ(tmpDirContents(), std::vector<std::string>{});
            }
        }
    }
}

// A running launcher cannot be cut short (its file is busy, ETXTBSY): the
// hooks make both kernel steps find the file ending inside the large entry
// (a short copy, then none) and at its start (no copy at all).
TEST_F(StoredCopyTest, ACopyThatFindsTheLauncherFileEndingStopsTheRunAndLeavesNothing) {
    const std::string bytes = readFile(launcher_);
    const std::string large = randomBytes(kEntries[5].size, 6);
    const std::size_t content = bytes.find(large.substr(0, 64));
    ASSERT_NE(content, std::string::npos);
    const std::uint64_t needed = payloadSegmentEnd(bytes);
    for (const std::uint64_t end : {std::uint64_t{content} + 4096 * 3 + 17, std::uint64_t{content}}) {
        for (const bool sendfileOnly : {false, true}) {
            for (const bool pinned : {true, false}) {
                SCOPED_TRACE("file ending at " + std::to_string(end) + (sendfileOnly ? " for sendfile" : "") +
                             (pinned ? ", one processor" : ""));
                std::map<std::string, std::string> controls = {{"ONEFILE_HOOK_COPY_FILE_END", std::to_string(end)}};
                if (sendfileOnly) controls["ONEFILE_HOOK_FAIL_COPY_FILE_RANGE"] = errorNumber(ENOSYS);
                const LauncherRun run = runWith(controls, pinned);
                EXPECT_EQ(run.process.exitCode, 2);
                // The file is whole for fstat: the report names where the
                // copy found it ending. With writer threads the copy of a
                // later entry, which finds its end at once, may be first.
                const std::string prefix = "Error, launcher file is incomplete (";
                const std::string suffix = " of " + std::to_string(needed) + " bytes).\n";
                const std::string& err = run.process.err;
                ASSERT_TRUE(err.rfind(prefix, 0) == 0 && err.size() > prefix.size() + suffix.size() &&
                            err.compare(err.size() - suffix.size(), suffix.size(), suffix) == 0)
                    << err;
                const std::uint64_t reported =
                    std::stoull(err.substr(prefix.size(), err.size() - prefix.size() - suffix.size()));
                if (pinned) {
                    EXPECT_EQ(reported, end);
                } else {
                    EXPECT_GE(reported, end);
                    EXPECT_LT(reported, needed);
                }
                EXPECT_FALSE(run.report.complete);
                EXPECT_EQ(tmpDirContents(), std::vector<std::string>{});
            }
        }
    }
}

// A launcher its user may run but not read (mode 0711): the kernel maps it,
// but the launcher cannot open its own file for the copies, and writes every
// entry from the mapping instead. Root reads any file, so as root the
// launcher runs as an unprivileged user.
TEST_F(StoredCopyTest, ALauncherItsUserCannotReadWritesFromTheMapping) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the launcher as a user who cannot read it";
    constexpr uid_t kUser = 65534;
    constexpr gid_t kGroup = 65534;
    const std::string files = temp().file("files");
    fs::create_directory(files);
    ASSERT_EQ(chmod(temp().path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(launcher_.c_str(), 0711), 0);
    ASSERT_EQ(chown(tmpDir().c_str(), kUser, kGroup), 0);
    ASSERT_EQ(chown(files.c_str(), kUser, kGroup), 0);

    ProcessOptions options = withHooks({{"ONEFILE_HOOK_COPY_LOG", files + "/hooks.log"}});
    options.umask = 022;
    options.userId = kUser;
    options.groupId = kGroup;
    options.setEnvironment["PROBE_REPORT"] = files + "/report";
    options.setEnvironment["PROBE_COPY_TO"] = files + "/copy";
    const LauncherRun run = this->run({launcher_}, options);
    if (run.process.exitCode == 127) GTEST_SKIP() << "user " << kUser << " cannot reach " << launcher_;
    ASSERT_EQ(run.process.exitCode, 0) << run.process.err;
    EXPECT_EQ(run.process.err, "");
    const std::string calls = fs::exists(files + "/hooks.log") ? readFile(files + "/hooks.log") : "";
    EXPECT_EQ(callsIn(calls, "copy_file_range") + callsIn(calls, "sendfile"), 0u) << calls;
    EXPECT_EQ(filesBelow(files + "/copy"), expected_);
    EXPECT_EQ(fileLines(run.report), expectedLines_);
}

}  // namespace
}  // namespace onefile::e2e
