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
    // file larger than the small file systems of these tests, and
    // `smallFiles` small files in many/; `toolOptions` go to pack.
    std::string makeLauncher(const std::string& name, bool bigFile, int smallFiles = 0,
                             const std::vector<std::string>& toolOptions = {}) {
        const std::string app = temp_.file(name + "-app");
        writeFile(app + "/main", kMarkingMain, 0755);
        if (bigFile) writeFile(app + "/share/big", std::string(kBigFileBytes, 'b'));
        for (int i = 0; i < smallFiles; ++i) writeFile(app + "/many/" + std::to_string(i), "small\n");
        const std::string launcher = temp_.file(name);
        packLauncher(app, launcher, toolOptions);
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

// Checks the report of a run refused in TMPDIR "$mnt", whose extraction
// directory the message names between `before` and `after`: nothing else on
// standard error, a default directory name, the child never started, and
// nothing left behind but `left`.
#define EXPECT_REFUSED_NAMING_THE_DIRECTORY(run, before, after, left)                         \
    do {                                                                                      \
        const std::string& err = (run).process.err;                                           \
        const std::string prefix = std::string(before) + mountPoint() + "/";                  \
        const std::string suffix = (after);                                                   \
        EXPECT_EQ((run).process.exitCode, 2);                                                 \
        ASSERT_TRUE(err.starts_with(prefix) && err.ends_with(suffix) &&                       \
                    err.size() > prefix.size() + suffix.size())                               \
            << err;                                                                           \
        EXPECT_TRUE(isDefaultDirectoryName(                                                   \
            err.substr(prefix.size(), err.size() - prefix.size() - suffix.size())))           \
            << err;                                                                           \
        EXPECT_EQ((run).process.out, "");                                                     \
        EXPECT_FALSE(exists(marker())) << "the child started";                                \
        EXPECT_EQ(leftovers(), (left));                                                       \
    } while (false)

// A TMPDIR without room for the application is refused before anything is
// written, with what the application needs and what is free: bytes (each
// file rounded up to the file system's 4 KiB blocks, one block per
// directory) or files where the file system counts them. The first case
// shows that the same launcher runs its child where there is room.
TEST_F(MountedTmpDirTest, ATmpDirWithoutRoomIsRefusedBeforeAnythingIsWritten) {
    const struct {
        const char* name;
        bool bigFile;
        int smallFiles;
        const char* mountOptions;
        const char* preparation;
        const char* need;  // nullptr when the run works
        std::vector<std::string> left;
    } cases[] = {
        {"room enough", true, 0, "size=8m", "", nullptr, {}},
        // main (one block), share/ (one block) and 2 MiB in share/big, on
        // 1 MiB.
        {"too few bytes", true, 0, "size=1m", "", "the application needs 2106 kB, 1048 kB are free", {}},
        {"a full disk", false, 0, "size=1m", "cat /dev/zero > \"$mnt/fill\" 2>/dev/null",
         "the application needs 4096 bytes, 0 bytes are free", {"./fill"}},
        // main, many/ and 40 files in it.
        {"too few files", false, 40, "size=8m,nr_inodes=18", "", "the application needs 42 files, 16 are free", {}},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string launcher = makeLauncher("launcher" + std::to_string(index++), c.bigFile, c.smallFiles);
        (void)remove(marker().c_str());
        const MountedRun run = runLauncher(launcher, c.mountOptions, c.preparation);
        SKIP_UNLESS_MOUNTED(run);
        if (c.need == nullptr) {
            EXPECT_EQ(run.process.exitCode, 0) << run.process.err;
            EXPECT_TRUE(exists(marker()));
            continue;
        }
        EXPECT_REFUSED_NAMING_THE_DIRECTORY(run, "Error, not enough space in '",
                                            std::string("': ") + c.need + "; set TMPDIR to a place with more room.\n",
                                            c.left);
    }
}

// On a TMPDIR mounted noexec, where the application could not run, the
// run stops before anything is written, says why and what to do, and
// removes the directory it made.
TEST_F(MountedTmpDirTest, ANoexecTmpDirIsRefusedBeforeAnythingIsWritten) {
    const std::string launcher = makeLauncher("launcher", false);
    const MountedRun run = runLauncher(launcher, "size=8m,noexec");
    SKIP_UNLESS_MOUNTED(run);
    EXPECT_REFUSED_NAMING_THE_DIRECTORY(run, "Error, '",
                                        "' is on a file system mounted noexec, where programs cannot run; set "
                                        "TMPDIR to a directory that allows them.\n",
                                        std::vector<std::string>{});
}

// A launcher made with --reuse looks at the place of its kept trees: one
// mounted noexec could never run them, one without room cannot take a first
// tree. The holding directory it made on the way goes again.
TEST_F(MountedTmpDirTest, AKeptTreeNeedsAPlaceThatAllowsProgramsAndHasRoom) {
    const std::string holding = mountPoint() + "/kept/app";
    const struct {
        const char* name;
        const char* mountOptions;
        std::string err;
    } cases[] = {
        // A literal template names no variable: only packing moves it.
        {"noexec", "size=8m,noexec",
         "Error, '" + holding +
             "' is on a file system mounted noexec, where programs cannot run; pack the launcher with a --template "
             "that names a directory that allows them.\n"},
        {"too small", "size=1m",
         "Error, not enough space in '" + holding +
             "': the application needs 2106 kB, 1048 kB are free; pack the launcher with a --template that names a "
             "place with more room.\n"},
    };
    const std::string launcher = makeLauncher("kept", true, 0, {"--reuse", "--template", holding});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const MountedRun run = runLauncher(launcher, c.mountOptions);
        SKIP_UNLESS_MOUNTED(run);
        EXPECT_EQ(run.process.exitCode, 2);
        EXPECT_EQ(run.process.err, c.err);
        EXPECT_FALSE(exists(marker()));
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
    }
}

// A repair never reaches into another file system: a mount inside a kept
// tree that hides packed entries stops the run with a message that names
// the entry, and the mount, the tree and the holding directory keep what
// they hold; the repair's working directory goes.
TEST_F(MountedTmpDirTest, ARepairStopsAtAMountInsideTheTree) {
    const std::string holding = mountPoint() + "/kept/app";
    const std::string launcher = makeLauncher("kept", true, 0, {"--reuse", "--template", holding});
    const std::string version = keptVersionOf(launcher);
    const std::string versionDir = holding + "/" + version;
    // The first run publishes; a tmpfs mounted on share/ then hides
    // share/big, which the next run finds missing.
    const std::string script =
        "\"$1\" || exit 3\n"
        "mount -t tmpfs -o size=1m onefile-inside \"$mnt/kept/app/$3/share\" || exit 1\n"
        "echo own > \"$mnt/kept/app/$3/share/own\"\n"
        "\"$1\"\nstatus=$?\n"
        "(cd \"$mnt\" && find . -mindepth 1 | sort) > \"$2\"\n"
        "exit $status\n";
    ProcessOptions options = launcherOptions(mountPoint());
    options.setEnvironment["ONEFILE_HARDENING_MARKER"] = marker();
    const MountedRun run = runOnTmpfs(mountPoint(), "size=16m", script, {launcher, listingFile(), version}, options);
    SKIP_UNLESS_MOUNTED(run);
    EXPECT_EQ(run.process.exitCode, 2);
    EXPECT_EQ(run.process.err,
              "Error, couldn't repair '" + versionDir + "/share/big': it lies on another file system.\n");
    const std::string tree = "./kept/app/" + version;
    EXPECT_EQ(leftovers(), (std::vector<std::string>{"./kept", "./kept/app", "./kept/app/.onefile-holding", tree,
                                                      tree + "/main", tree + "/share", tree + "/share/own"}));
}

// A launcher with two places for its kept trees, a/ then b/, keeps one
// tree. While a/ is full, the first run publishes in b/; once a/ has room, a
// run of the same version finds its tree in b/ and uses it, and the first
// run of a new version publishes in a/ and takes the old tree out of b/,
// whose holding directory a launcher made.
TEST_F(MountedTmpDirTest, TwoPlacesForKeptTreesKeepOneTree) {
    const std::string mnt = mountPoint();
    const std::vector<std::string> places = {"--reuse", "--template", mnt + "/a/app", "--template", mnt + "/b/app"};
    const std::string first = makeLauncher("first", true, 0, places);
    const std::string firstVersion = keptVersionOf(first);
    // The same application with one more file: another version.
    const std::string secondApp = temp_.file("second-app");
    writeFile(secondApp + "/main", kMarkingMain, 0755);
    writeFile(secondApp + "/share/big", std::string(kBigFileBytes, 'b'));
    writeFile(secondApp + "/share/new", "new\n");
    const std::string second = temp_.file("second");
    packLauncher(secondApp, second, places);
    const std::string secondVersion = keptVersionOf(second);
    const struct {
        const char* name;
        std::string later;  // the launcher run once a/ has room
        std::vector<std::string> left;
    } cases[] = {
        {"the same version", first, {"./a", "./b", "./b/app", "./b/app/.onefile-holding", "./b/app/" + firstVersion}},
        {"a new version",
         second,
         {"./a", "./a/app", "./a/app/.onefile-holding", "./a/app/" + secondVersion, "./b", "./b/app",
          "./b/app/.onefile-holding"}},
    };
    // a/ is a full tmpfs of its own; the later run finds it emptied. Each
    // run's standard error goes to a file of its own.
    const std::string script =
        "mkdir \"$mnt/a\" \"$mnt/b\" && mount -t tmpfs -o size=8m onefile-a \"$mnt/a\" || exit 1\n"
        "cat /dev/zero > \"$mnt/a/fill\" 2>/dev/null\n"
        "\"$1\" 2> \"$4\" || exit 3\n"
        "rm \"$mnt/a/fill\"\n"
        "\"$3\" 2> \"$5\" || exit 4\n"
        "(cd \"$mnt\" && find . -mindepth 1 -maxdepth 3 | sort) > \"$2\"\n";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ProcessOptions options = launcherOptions(mountPoint());
        options.setEnvironment["ONEFILE_HARDENING_MARKER"] = marker();
        const std::string firstErr = temp_.file("first-err");
        const std::string laterErr = temp_.file("later-err");
        const MountedRun run =
            runOnTmpfs(mountPoint(), "size=16m", script, {first, listingFile(), c.later, firstErr, laterErr}, options);
        SKIP_UNLESS_MOUNTED(run);
        EXPECT_EQ(run.process.exitCode, 0) << run.process.err << readFile(firstErr) << readFile(laterErr);
        // The place skipped is not named: the run worked.
        EXPECT_EQ(readFile(firstErr), "");
        EXPECT_EQ(readFile(laterErr), "");
        EXPECT_EQ(leftovers(), c.left);
    }
}

// A place that holds the version but can no longer run it (remounted
// noexec) is passed by, quietly, and the run publishes in the next place;
// the tree that cannot run stays. When the next place cannot run it either,
// the message names the first place once.
TEST_F(MountedTmpDirTest, APlaceThatHoldsTheVersionButCannotRunItIsNamedOnce) {
    const std::string mnt = mountPoint();
    const std::string launcher =
        makeLauncher("kept", true, 0, {"--reuse", "--template", mnt + "/a/app", "--template", mnt + "/b/app"});
    const std::string version = keptVersionOf(launcher);
    const std::string script =
        "mkdir \"$mnt/a\" \"$mnt/b\" && mount -t tmpfs -o size=8m onefile-a \"$mnt/a\" || exit 1\n"
        "\"$1\" 2> \"$3\" || exit 3\n"
        "mount -o remount,noexec \"$mnt/a\" || exit 1\n"
        "\"$1\" 2> \"$4\" || exit 4\n"
        "mount -o remount,noexec \"$mnt\" || exit 1\n"
        "\"$1\" 2> \"$5\"; [ $? = 2 ] || exit 5\n"
        "(cd \"$mnt\" && find . -mindepth 1 -maxdepth 3 | sort) > \"$2\"\n";
    ProcessOptions options = launcherOptions(mountPoint());
    options.setEnvironment["ONEFILE_HARDENING_MARKER"] = marker();
    const std::string firstErr = temp_.file("first-err");
    const std::string laterErr = temp_.file("later-err");
    const std::string lastErr = temp_.file("last-err");
    const MountedRun run = runOnTmpfs(mountPoint(), "size=16m", script,
                                      {launcher, listingFile(), firstErr, laterErr, lastErr}, options);
    SKIP_UNLESS_MOUNTED(run);
    EXPECT_EQ(run.process.exitCode, 0) << run.process.err << readFile(firstErr) << readFile(laterErr);
    EXPECT_EQ(readFile(firstErr), "");
    EXPECT_EQ(readFile(laterErr), "");
    EXPECT_EQ(readFile(lastErr), "'" + mnt + "/a/app': mounted noexec\nError, '" + mnt +
                                     "/b/app' is on a file system mounted noexec, where programs cannot run; pack the "
                                     "launcher with a --template that names a directory that allows them.\n");
    EXPECT_EQ(leftovers(), (std::vector<std::string>{"./a", "./a/app", "./a/app/.onefile-holding", "./a/app/" + version,
                                                      "./b", "./b/app", "./b/app/.onefile-holding",
                                                      "./b/app/" + version}));
}

// Whether `line` is `before`, a directory name of the form app_TOKEN, and
// `after`.
bool namesRandomDirectory(const std::string& line, const std::string& before, const std::string& after) {
    return line.size() == before.size() + 4 + 11 + after.size() && line.starts_with(before + "app_") &&
           line.ends_with(after) && isRandomToken(line.substr(before.size() + 4, 11));
}

// A launcher packed with several templates takes the first place that can
// be made, is safe, allows programs and has room, and says nothing of the
// places it skipped; when none fits, each place skipped gets one line that
// says why before the last one's failure ends the run. Nothing is left in
// any of them.
TEST_F(MountedTmpDirTest, TemplatesAreTriedInTurnUntilOneFits) {
    // Below the tmpfs: ne/ mounted noexec, small/ a tmpfs of 1 MiB, open/
    // writable by all and not sticky, ok/ a plain directory.
    const std::string preparation =
        "mkdir \"$mnt/ne\" \"$mnt/small\" \"$mnt/ok\" && mkdir -m 0777 \"$mnt/open\" &&\n"
        "mount -t tmpfs -o size=8m,noexec onefile-ne \"$mnt/ne\" &&\n"
        "mount -t tmpfs -o size=1m onefile-small \"$mnt/small\" || exit 1\n";
    const std::string mnt = mountPoint();
    const struct {
        const char* name;
        std::vector<std::string> places;  // below the tmpfs, tried in this order
        int status;
        std::vector<std::pair<std::string, std::string>> lines;  // around app_TOKEN, or whole with an empty second
    } cases[] = {
        {"the second place fits", {"ne", "ok"}, 0, {}},
        {"no place fits",
         {"ne", "open", "small"},
         2,
         {{"'" + mnt + "/ne/", "': mounted noexec"},
          {"'" + mnt + "/open': not safe to use: writable by group or others and not sticky", ""},
          {"Error, not enough space in '" + mnt + "/small/",
           "': the application needs 2106 kB, 1048 kB are free; pack the launcher with a --template that names a "
           "place with more room."}}},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> options;
        for (const std::string& place : c.places) {
            options.push_back("--template");
            options.push_back(mnt + "/" + place + "/app_{RANDOM}");
        }
        const std::string launcher = makeLauncher("templates" + std::to_string(index++), true, 0, options);
        (void)remove(marker().c_str());
        const MountedRun run = runLauncher(launcher, "size=8m", preparation);
        SKIP_UNLESS_MOUNTED(run);
        EXPECT_EQ(run.process.exitCode, c.status) << run.process.err;
        const std::vector<std::string> err = lines(run.process.err);
        ASSERT_EQ(err.size(), c.lines.size()) << run.process.err;
        for (std::size_t i = 0; i < err.size(); ++i) {
            const auto& [before, after] = c.lines[i];
            if (after.empty()) EXPECT_EQ(err[i], before);
            else EXPECT_TRUE(namesRandomDirectory(err[i], before, after)) << err[i];
        }
        EXPECT_EQ(exists(marker()), c.status == 0);
        EXPECT_EQ(leftovers(), (std::vector<std::string>{"./ne", "./ok", "./open", "./small"}));
    }
}

// Twenty first starts of a kept tree at once, on a file system with room for
// one and a half copies: one run unpacks, the others wait for its tree, and
// every run works. At no time does more than one working directory exist.
TEST_F(MountedTmpDirTest, RunsThatStartAVersionTogetherUnpackItOnce) {
    const std::string mnt = mountPoint();
    const std::string launcher = makeLauncher("kept", true, 0, {"--reuse", "--template", mnt + "/kept"});
    const std::string script =
        "i=0; while [ $i -lt 20 ]; do \"$1\" > /dev/null 2>> \"$3\" & i=$((i+1)); done\n"
        "most=0\n"
        "while [ -n \"$(jobs -r)\" ]; do\n"
        "  n=$(find \"$mnt/kept\" -mindepth 1 -maxdepth 1 -name '.*-*' -type d 2>/dev/null | wc -l)\n"
        "  [ $n -gt $most ] && most=$n\n"
        "done\n"
        "failed=0; for job in $(jobs -p); do wait $job || failed=$((failed+1)); done\n"
        "echo \"failed=$failed most=$most\" > \"$4\"\n"
        "(cd \"$mnt\" && find . -mindepth 1 -maxdepth 2 | sort) > \"$2\"\n";
    const std::string errors = temp_.file("errors");
    const std::string summary = temp_.file("summary");
    ProcessOptions options = launcherOptions(mnt);
    options.setEnvironment["ONEFILE_HARDENING_MARKER"] = marker();
    // The application takes 2 MiB and a few blocks: 3 MiB hold one copy and a half.
    const MountedRun run =
        runOnTmpfs(mnt, "size=3m", script, {launcher, listingFile(), errors, summary}, options);
    SKIP_UNLESS_MOUNTED(run);
    EXPECT_EQ(run.process.exitCode, 0) << run.process.err;
    EXPECT_EQ(readFile(errors), "");
    // Sampled while the runs last: none when the unpacking was over before a
    // look, one while it was under way, never more.
    const std::string counts = readFile(summary);
    EXPECT_TRUE(counts == "failed=0 most=1\n" || counts == "failed=0 most=0\n") << counts;
    EXPECT_EQ(leftovers(), (std::vector<std::string>{"./kept", "./kept/.onefile-holding",
                                                      "./kept/" + keptVersionOf(launcher)}));
}

// A launcher packed with --reuse and the default places keeps its tree in
// the user's cache, or, where the cache cannot be used, in the user's own
// level of the temporary directory, and then says nothing. When neither can
// be used, the message lists the cache's place and names the variable that
// moves the last one.
TEST_F(MountedTmpDirTest, AKeptTreeFallsBackToTheUsersOwnTemporaryPlaceQuietly) {
    const std::string mnt = mountPoint();
    const std::string uid = std::to_string(geteuid());
    const std::string preparation =
        "mkdir \"$mnt/ne\" \"$mnt/ro\" &&\n"
        "mount -t tmpfs -o size=8m,noexec onefile-ne \"$mnt/ne\" &&\n"
        "mount -t tmpfs -o size=1m,ro onefile-ro \"$mnt/ro\" || exit 1\n";
    const struct {
        const char* name;
        const char* mountOptions;
        std::string cache;  // XDG_CACHE_HOME
        int status;
        std::string err;
    } cases[] = {
        {"a cache mounted noexec", "size=8m", mnt + "/ne", 0, ""},
        {"a read-only cache", "size=8m", mnt + "/ro", 0, ""},
        {"no place allows programs", "size=8m,noexec", mnt + "/cache", 2,
         "'" + mnt + "/cache/onefile/kept': mounted noexec\n"
         "Error, '" + mnt + "/onefile-" + uid + "/kept' is on a file system mounted noexec, where programs cannot "
         "run; set TMPDIR to a directory that allows them.\n"},
    };
    const std::string launcher = makeLauncher("kept", false, 0, {"--reuse"});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        (void)remove(marker().c_str());
        ProcessOptions options = launcherOptions(mnt);
        options.setEnvironment["ONEFILE_HARDENING_MARKER"] = marker();
        options.setEnvironment["XDG_CACHE_HOME"] = c.cache;
        const MountedRun run = runOnTmpfs(mnt, c.mountOptions,
                                          preparation + "\"$1\"\nstatus=$?\n" + listingCommand() + "exit $status\n",
                                          {launcher, listingFile()}, options);
        SKIP_UNLESS_MOUNTED(run);
        EXPECT_EQ(run.process.exitCode, c.status);
        EXPECT_EQ(run.process.err, c.err);
        EXPECT_EQ(exists(marker()), c.status == 0);
        std::vector<std::string> left = leftovers();
        std::erase_if(left, [](const std::string& name) { return name.starts_with("./ne") || name.starts_with("./ro"); });
        if (c.status == 0) {
            // The place of the user's own holds the tree and its mark.
            ASSERT_GE(left.size(), 4u);
            EXPECT_EQ(left[0], "./onefile-" + uid);
            EXPECT_EQ(left[1], "./onefile-" + uid + "/kept");
            EXPECT_EQ(left[2], "./onefile-" + uid + "/kept/.onefile-holding");
        } else {
            EXPECT_EQ(left, std::vector<std::string>{});
        }
    }
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
