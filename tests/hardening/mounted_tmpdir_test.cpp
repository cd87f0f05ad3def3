// Launchers and the tool on file systems that refuse them: a full disk, a
// TMPDIR mounted noexec and one mounted read-only. Each run mounts a small
// tmpfs in a private mount namespace; where this machine does not permit
// that, the tests are skipped and say why.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "tests/hardening/hardening_support.h"
#include "tests/support/file_helpers.h"
#include "tests/support/temp_dir.h"

namespace onefile::hardening {
namespace {

using onefile::testing::readFile;

// The application's main executable leaves a mark, so a test can tell
// whether the child ever started.
constexpr char kMarkingMain[] = "#!/bin/sh\n: > \"$ONEFILE_HARDENING_MARKER\"\n";
constexpr std::size_t kBigFileBytes = 2 * 1024 * 1024;
constexpr char kNoSpaceReport[] = "Error, couldn't unpack file to target path.: No space left on device\n";

bool exists(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        result.push_back(text.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return result;
}

class MountedTmpDirTest : public ::testing::Test {
protected:
    void SetUp() override { makeDirectories(mountPoint()); }

    std::string mountPoint() const { return temp_.file("mnt"); }
    std::string marker() const { return temp_.file("child-ran"); }
    std::string listingFile() const { return temp_.file("listing"); }

    // A launcher of the marking main executable and, when bigFile, a data
    // file larger than the small file systems of these tests.
    std::string makeLauncher(const std::string& name, bool bigFile) {
        const std::string app = temp_.file(name + "-app");
        writeFile(app + "/main", kMarkingMain, 0755);
        if (bigFile) writeFile(app + "/share/big", std::string(kBigFileBytes, 'b'));
        const std::string launcher = temp_.file(name);
        packLauncher(app, launcher);
        return launcher;
    }

    // Runs the launcher with TMPDIR on a fresh tmpfs, after `preparation`
    // (shell commands that may use "$mnt"). What is left on the tmpfs
    // afterwards, relative to it and sorted, is in leftovers().
    MountedRun runLauncher(const std::string& launcher, const std::string& mountOptions,
                           const std::string& preparation = "") {
        ProcessOptions options = launcherOptions(mountPoint());
        options.setEnvironment["ONEFILE_HARDENING_MARKER"] = marker();
        return runOnTmpfs(mountPoint(), mountOptions,
                          preparation + "\n\"$1\"\nstatus=$?\n" + listingCommand() + "exit $status\n",
                          {launcher, listingFile()}, options);
    }

    std::vector<std::string> leftovers() const { return lines(readFile(listingFile())); }

    // Writes the names below "$mnt" to the file "$2".
    static std::string listingCommand() {
        return "(cd \"$mnt\" && find . -mindepth 1 | sort) > \"$2\"\n";
    }

    TempDir temp_;
};

#define SKIP_UNLESS_MOUNTED(run)                                                                   \
    do {                                                                                           \
        if (!(run).mounted) {                                                                      \
            GTEST_SKIP() << "cannot mount a tmpfs in a private mount namespace: " << (run).skipReason; \
        }                                                                                          \
    } while (false)

// Extraction onto a full disk ends with the write's report or the close's,
// and the child never starts on the truncated files. The first case shows
// that the same launcher runs its child where there is room.
TEST_F(MountedTmpDirTest, FullDiskEndsExtractionWithTheWriteReport) {
    const struct {
        const char* name;
        bool bigFile;
        const char* mountOptions;
        const char* preparation;
        int status;
        const char* err;
    } cases[] = {
        {"room enough", true, "size=8m", "", 0, ""},
        // A 2 MiB entry on a 1 MiB file system: a chunk's write comes short.
        {"write fails", true, "size=1m", "", 2, kNoSpaceReport},
        // Not one page free: the small main executable fits the stream's
        // buffer, and the write at the close fails.
        {"close fails", false, "size=1m", "cat /dev/zero > \"$mnt/fill\" 2>/dev/null", 2, kNoSpaceReport},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string launcher = makeLauncher("launcher" + std::to_string(index++), c.bigFile);
        (void)remove(marker().c_str());
        const MountedRun run = runLauncher(launcher, c.mountOptions, c.preparation);
        SKIP_UNLESS_MOUNTED(run);
        EXPECT_EQ(run.process.exitCode, c.status);
        EXPECT_EQ(run.process.err, c.err);
        EXPECT_EQ(run.process.out, "");
        EXPECT_EQ(exists(marker()), c.status == 0) << "whether the child started";
    }
}

// On a TMPDIR mounted noexec the extraction succeeds and the exec fails:
// the child reports it, names the mount as the cause and exits 2, the
// launcher passes that on, and its cleanup removes the extraction directory.
TEST_F(MountedTmpDirTest, NoexecTmpDirEndsInTheExecReportAndRemovesTheDirectory) {
    const std::string launcher = makeLauncher("launcher", false);
    const MountedRun run = runLauncher(launcher, "size=8m,noexec");
    SKIP_UNLESS_MOUNTED(run);
    EXPECT_EQ(run.process.exitCode, 2);
    const std::string line = "Error, couldn't launch child (exec): Permission denied\n'" + mountPoint() + "/";
    const std::string reason = "' is on a file system mounted noexec, where programs cannot run; set TMPDIR to a "
                               "directory that allows them.\n";
    EXPECT_EQ(run.process.err.substr(0, line.size()), line);
    EXPECT_TRUE(run.process.err.size() > reason.size() &&
                run.process.err.compare(run.process.err.size() - reason.size(), reason.size(), reason) == 0)
        << run.process.err;
    EXPECT_EQ(run.process.out, "");
    EXPECT_FALSE(exists(marker()));
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

// On a read-only TMPDIR the extraction directory cannot be made, which
// shows as the failure to open the first entry.
TEST_F(MountedTmpDirTest, ReadOnlyTmpDirEndsInTheCreationReport) {
    const std::string launcher = makeLauncher("launcher", false);
    const MountedRun run = runLauncher(launcher, "size=8m,ro");
    SKIP_UNLESS_MOUNTED(run);
    EXPECT_EQ(run.process.exitCode, 2);
    // Error, couldn't create extraction directory '<TMPDIR>/<directory>': Read-only file system.
    const std::string prefix = "Error, couldn't create extraction directory '" + mountPoint() + "/";
    const std::string suffix = "': Read-only file system.\n";
    const std::string& err = run.process.err;
    ASSERT_TRUE(err.starts_with(prefix) && err.ends_with(suffix)) << err;
    const std::string directory = err.substr(prefix.size(), err.size() - prefix.size() - suffix.size());
    EXPECT_TRUE(isDefaultDirectoryName(directory)) << err;
    EXPECT_EQ(run.process.out, "");
    EXPECT_FALSE(exists(marker()));
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

// `onefile pack` onto a full disk fails with the write's error and leaves
// neither a partial launcher nor its temporary file; an earlier launcher
// of the same name stays as it was.
TEST_F(MountedTmpDirTest, PackOntoAFullDiskFailsAndLeavesNoPartialOutput) {
    const std::string app = temp_.file("app");
    writeFile(app + "/main", kMarkingMain, 0755);
    writeFile(app + "/share/big", std::string(kBigFileBytes, 'b'));
    const std::string output = mountPoint() + "/launcher";
    const std::string kept = temp_.file("kept");
    const struct {
        const char* name;
        const char* mountOptions;
        bool earlierOutput;
        int status;
        std::string err;
        std::vector<std::string> leftovers;
    } cases[] = {
        {"room enough", "size=16m", false, 0, "", {"./launcher"}},
        {"full", "size=1m", false, 1, "onefile: " + output + ": cannot write: No space left on device\n", {}},
        {"full, earlier launcher", "size=1m", true, 1,
         "onefile: " + output + ": cannot write: No space left on device\n", {"./launcher"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        (void)remove(kept.c_str());
        // "$1" tool, "$2" listing, "$3" application, "$4" copy of the output.
        const std::string script = std::string(c.earlierOutput ? "printf 'earlier launcher' > \"$mnt/launcher\"\n" : "") +
                                   "\"$1\" pack \"$3\" -o \"$mnt/launcher\" --main main\n" +
                                   "status=$?\n" + listingCommand() +
                                   "[ ! -f \"$mnt/launcher\" ] || cp \"$mnt/launcher\" \"$4\"\n" +
                                   "exit $status\n";
        const MountedRun run =
            runOnTmpfs(mountPoint(), c.mountOptions, script, {ONEFILE_TOOL_PATH, listingFile(), app, kept});
        SKIP_UNLESS_MOUNTED(run);
        EXPECT_EQ(run.process.exitCode, c.status);
        EXPECT_EQ(run.process.err, c.err);
        EXPECT_EQ(leftovers(), c.leftovers);
        if (c.earlierOutput) {
            EXPECT_EQ(readFile(kept), "earlier launcher");
        }
    }
}

}  // namespace
}  // namespace onefile::hardening
