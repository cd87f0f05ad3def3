// What the removal of the extraction directory meets that the application
// left there: a mount (neither the walk nor the threads that remove files
// before it enter another mount, so the files seen through it stay, even
// when it shows the same file system), directories
// the application made unreadable or unwritable for their owner (removed
// all the same), and the names under which the walk moves deep directories up
// already taken by the application (the tree still goes completely).
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "tests/hardening/hardening_support.h"
#include "tests/support/file_helpers.h"
#include "tests/support/temp_dir.h"

namespace onefile::hardening {
namespace {

// The application runs the shell steps in $ONEFILE_TEST_STEPS inside its own
// directory and exits 6; a failed step exits 91, so a test can tell the
// application's own failure from the launcher's.
constexpr char kSteppingMain[] =
    "#!/bin/sh\n"
    "cd \"${0%/*}\" || exit 90\n"
    "eval \"$ONEFILE_TEST_STEPS\" || exit 91\n"
    "exit 6\n";
constexpr int kApplicationStatus = 6;
// A block this large is written by threads when two processors are usable,
// and threads then start the removal too.
constexpr std::size_t kLargeBlockBytes = 2u << 20;

class RemovalBoundariesTest : public ::testing::Test {
protected:
    std::string makeLauncher(const std::vector<std::string>& toolOptions = {}) {
        const std::string launcher = temp_.file("launcher");
        packScriptApp(temp_.file("app"), kSteppingMain, launcher, toolOptions);
        return launcher;
    }

    TempDir temp_;
};

// How a run removes its tree: the walk alone (a small block), or first the
// threads that remove the files directory by directory (a block of 1 MiB or
// more on at least two usable processors); at the normal end, or after a
// termination signal whose handler walked the tree while the application
// still ran.
struct RemovalPath {
    const char* name;
    bool threadsFirst;
    bool terminationSignal;
};

void PrintTo(const RemovalPath& path, std::ostream* out) { *out << path.name; }

class RemovalMountTest : public RemovalBoundariesTest, public ::testing::WithParamInterface<RemovalPath> {};

// The application mounts something inside its extraction directory (the
// launcher runs as root of a private mount namespace): a bind mount of a
// directory of TMPDIR's own file system, which only the mount's identity
// tells apart, the same deeper down, and a tmpfs. The removal takes
// everything else but does not enter the mount: the files seen through it
// stay, the mount point and the levels above it stay silently, and the exit
// status is the application's (or 128 + SIGINT, the signal the launcher
// passed on). What is left is listed inside the namespace, before the
// mounts go with it.
TEST_P(RemovalMountTest, TheRemovalDoesNotEnterAnotherMount) {
    const ProcessResult probe = runProcess({"unshare", "--mount", "--propagation", "private", "true"});
    if (probe.exitCode != 0) GTEST_SKIP() << "no private mount namespace for the launcher: " << probe.err;
    cpu_set_t processors;
    if (GetParam().threadsFirst &&
        (sched_getaffinity(0, sizeof processors, &processors) != 0 || CPU_COUNT(&processors) < 2)) {
        GTEST_SKIP() << "one usable processor: the launcher removes the tree with the walk alone";
    }

    const struct {
        const char* name;
        const char* mountPoint;  // below the extraction directory
        const char* mount;       // the shell step that mounts "$m"
    } cases[] = {
        {"a bind mount of TMPDIR's file system", "bound", "mount --bind \"$ONEFILE_TEST_SOURCE\" \"$m\""},
        {"the same, deeper down", "a/b/bound", "mount --bind \"$ONEFILE_TEST_SOURCE\" \"$m\""},
        {"a tmpfs", "bound",
         "mount -t tmpfs onefile-test \"$m\" && echo kept > \"$m/kept\" && mkdir \"$m/dir\" && "
         "echo kept > \"$m/dir/kept\""},
    };
    if (GetParam().threadsFirst) writeFile(temp_.file("app/data/large"), std::string(kLargeBlockBytes, 'x'));
    const std::string launcher = makeLauncher({"--template", "{TEMP}/app"});
    // The application asks its launcher to stop, which passes SIGINT on.
    const std::string ending = GetParam().terminationSignal ? " && kill -TERM $PPID && exec sleep 30" : "";
    const int expectedStatus = GetParam().terminationSignal ? 128 + SIGINT : kApplicationStatus;
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string tmpDir = temp_.file("tmp" + std::to_string(index));
        const std::string listing = temp_.file("listing" + std::to_string(index));
        // The bind mount's source, beside TMPDIR on the same file system.
        const std::string source = temp_.file("source" + std::to_string(index));
        ++index;
        makeDirectories(tmpDir);
        writeFile(source + "/kept", "kept\n");
        writeFile(source + "/dir/kept", "kept\n");
        const std::vector<std::string> sourceBefore = describeTree(source);

        ProcessOptions options = launcherOptions(tmpDir);
        options.setEnvironment["LC_ALL"] = "C";
        options.setEnvironment["ONEFILE_TEST_SOURCE"] = source;
        options.setEnvironment["ONEFILE_TEST_STEPS"] =
            std::string("m=\"$PWD/") + c.mountPoint + "\" && mkdir -p \"$m\" && echo beside > beside && " +
            "echo beside > \"${m%/*}/beside\" && " + c.mount + ending;
        const ProcessResult result = runProcess(
            {"unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
             "\"$1\"\nstatus=$?\n(cd \"$TMPDIR\" && find . | sort) > \"$2\"\nexit $status\n", "sh", launcher,
             listing},
            options);

        EXPECT_EQ(result.exitCode, expectedStatus) << result.err;
        EXPECT_EQ(result.err, "");
        // Left: the extraction directory, the levels down to the mount
        // point, and what the mount shows.
        std::vector<std::string> expected = {".", "./app"};
        const std::string mountPoint = c.mountPoint;
        for (std::size_t slash = mountPoint.find('/'); slash != std::string::npos;
             slash = mountPoint.find('/', slash + 1)) {
            expected.push_back("./app/" + mountPoint.substr(0, slash));
        }
        for (const char* below : {"", "/kept", "/dir", "/dir/kept"}) {
            expected.push_back("./app/" + mountPoint + below);
        }
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(linesOf(listing), expected);
        EXPECT_EQ(describeTree(source), sourceBefore) << "the removal took files through the bind mount";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RemovalMountTest,
    ::testing::Values(RemovalPath{"WalkAlone", false, false}, RemovalPath{"ThreadsFirst", true, false},
                      RemovalPath{"WalkAloneAfterATerminationSignal", false, true},
                      RemovalPath{"ThreadsFirstAfterATerminationSignal", true, true}),
    [](const ::testing::TestParamInfo<RemovalPath>& info) { return std::string(info.param.name); });

// The launcher runs as an ordinary user (65534, owning its TMPDIR), so that
// permission bits apply to it. The application takes permissions away from
// directories of its own: no reading, no writing, no searching, nested, a
// file without any permission, and a locked directory below the depth at
// which the walk moves directories up. A directory without write permission
// that holds only a subdirectory needs that permission for the removal of
// the subdirectory itself, whatever order the entries come in. Nothing is
// left afterwards.
TEST_F(RemovalBoundariesTest, DirectoriesTheApplicationLockedAreRemoved) {
    const struct {
        const char* name;
        const char* steps;
    } cases[] = {
        {"mode 000", "mkdir -p locked/inner && echo a > locked/file && echo b > locked/inner/file && chmod 000 locked"},
        {"mode 0500", "mkdir -p locked/inner && echo a > locked/file && echo b > locked/inner/file && chmod 0500 locked"},
        {"mode 0300, not readable", "mkdir -p locked/inner && echo a > locked/file && chmod 0300 locked"},
        {"mode 0600, not searchable", "mkdir -p locked/inner && echo a > locked/file && chmod 0600 locked"},
        {"mode 0500 holding nothing but a directory", "mkdir -p only/inner && echo a > only/inner/file && chmod 0500 only"},
        {"mode 0600 holding nothing but a directory", "mkdir -p only/inner && echo a > only/inner/file && chmod 0600 only"},
        {"mode 000 below mode 0500",
         "mkdir -p a/b && echo x > a/f && echo y > a/b/f && chmod 000 a/b && chmod 0500 a"},
        {"a file without permissions in a directory of mode 0500",
         "mkdir c && echo x > c/f && chmod 000 c/f && chmod 0500 c"},
        {"the extraction directory itself at mode 000", "mkdir -p inner && echo a > inner/file && chmod 000 ."},
        {"the extraction directory itself at mode 0600, not searchable",
         "mkdir -p inner && echo a > inner/file && chmod 0600 ."},
        {"mode 000 and 0500 at a depth of 150 levels",
         "p=deep; i=0; while [ $i -lt 150 ]; do p=$p/d; i=$((i + 1)); done && mkdir -p \"$p/locked\" && "
         "echo x > \"$p/locked/f\" && echo y > \"$p/f\" && chmod 000 \"$p/locked\" && chmod 0500 \"$p\""},
    };
    ASSERT_EQ(chmod(temp_.path().c_str(), 0755), 0);
    const std::string launcher = makeLauncher();
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string tmpDir = temp_.file("tmp" + std::to_string(index++));
        makeDirectories(tmpDir);
        setOwnerAndMode(tmpDir, kOtherUser, kOtherGroup, 0700);
        const std::vector<std::string> before = describeTree(tmpDir, false);

        ProcessOptions options = launcherOptions(tmpDir);
        options.setEnvironment["ONEFILE_TEST_STEPS"] = c.steps;
        options.userId = kOtherUser;
        options.groupId = kOtherGroup;
        const ProcessResult result = runProcess({launcher}, options);

        EXPECT_EQ(result.exitCode, kApplicationStatus) << result.err;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(describeTree(tmpDir, false), before) << "the locked directory was left behind";
    }
}

// The application fills its directory with every name under which the walk
// moves deep directories up (".onefile-deep-0" to ".onefile-deep-999", files
// and directories) and with two trees deeper than the walk holds open, one
// made before the names and one after. On a tmpfs, whose directories list
// their entries in the order of creation or its reverse, the walk meets one
// of the deep trees while every one of those names is still taken. All of it
// goes.
TEST_F(RemovalBoundariesTest, TakenNamesForDeepDirectoriesDoNotStopTheRemoval) {
    const std::string launcher = makeLauncher();
    const std::string mountPoint = temp_.file("mnt");
    makeDirectories(mountPoint);
    const std::string listing = temp_.file("listing");
    ProcessOptions options = launcherOptions(mountPoint);
    options.setEnvironment["ONEFILE_TEST_STEPS"] =
        "deep() { p=$1; i=0; while [ $i -lt 200 ]; do p=$p/d; i=$((i + 1)); done; "
        "mkdir -p \"$p\" && echo leaf > \"$p/leaf\"; }\n"
        "deep first || exit 92\n"
        "set --\n"
        "i=0\n"
        "while [ $i -lt 1000 ]; do\n"
        "  if [ $((i % 2)) -eq 0 ]; then : > \".onefile-deep-$i\" || exit 93; else set -- \"$@\" \".onefile-deep-$i\"; fi\n"
        "  i=$((i + 1))\n"
        "done\n"
        "mkdir \"$@\" || exit 94\n"
        "for n in \"$@\"; do : > \"$n/inside\" || exit 95; done\n"
        "deep last || exit 96\n"
        "[ -d .onefile-deep-999 ] && [ -f .onefile-deep-0 ] || exit 97\n";

    const MountedRun run = runOnTmpfs(mountPoint, "size=64m",
                                      "\"$1\"\nstatus=$?\n(cd \"$mnt\" && find . -mindepth 1 | sort) > \"$2\"\n"
                                      "exit $status\n",
                                      {launcher, listing}, options);
    if (!run.mounted) GTEST_SKIP() << "cannot mount a tmpfs in a private mount namespace: " << run.skipReason;

    EXPECT_EQ(run.process.exitCode, kApplicationStatus) << run.process.err;
    EXPECT_EQ(run.process.err, "");
    const std::vector<std::string> left = linesOf(listing);
    EXPECT_TRUE(left.empty()) << left.size() << " paths left, the first " << (left.empty() ? "" : left.front());
}

}  // namespace
}  // namespace onefile::hardening
