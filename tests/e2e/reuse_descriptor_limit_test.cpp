// Launchers under a low limit of open descriptors (ulimit -n), fresh and
// kept alike: a run either works or ends with status 2, and either way it
// leaves nothing it made but a kept tree it published. A system error met
// while a kept tree is checked is the run's error, never damage of the tree:
// the tree stays as it is. A level that cannot be opened is named as such.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "tests/e2e/reuse_support.h"
#include "tests/support/file_helpers.h"

namespace onefile::e2e {
namespace {

namespace fs = std::filesystem;
using onefile::testing::makeSymlink;
using onefile::testing::ProcessOptions;
using onefile::testing::writeFile;

// The launcher starts with the standard three descriptors alone, whatever
// the test inherited (make's jobserver, for one): below the limit, only
// those count.
constexpr char kLimitedScript[] =
    "exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&- && ulimit -n \"$0\" && exec \"$@\"";
constexpr int kLowestLimit = 5;
constexpr int kHighestLimit = 10;

class ReuseDescriptorLimitTest : public ReuseTest {
protected:
    void SetUp() override {
        ReuseTest::SetUp();
        addProbe();
        // Entry directories at several depths, which the extraction and the
        // check hold open while they work.
        writeFile(appDir() + "/data/a.txt", "alpha\n", 0644);
        writeFile(appDir() + "/data/sub/b.txt", "beta\n", 0644);
        writeFile(appDir() + "/data/sub/deeper/still/c.txt", "gamma\n", 0644);
        writeFile(appDir() + "/bin/tool", "#!/bin/sh\n", 0755);
        makeSymlink("../data/a.txt", appDir() + "/share/link");
    }

    // Runs `launcher` with at most `limit` open descriptors.
    LauncherRun runLimited(const std::string& launcher, int limit, ProcessOptions options) {
        return run({"/bin/sh", "-c", kLimitedScript, std::to_string(limit), launcher}, std::move(options));
    }

    ino_t inodeOf(const std::string& path) const {
        struct stat status {};
        return ::lstat(path.c_str(), &status) == 0 ? status.st_ino : 0;
    }
};

// At every limit from the lowest at which a launcher can start its child,
// a run that fails leaves nothing, and one that works leaves only its kept
// tree.
TEST_F(ReuseDescriptorLimitTest, ARunUnderALowLimitWorksOrLeavesNothing) {
    const std::string fresh = pack({"--main", "probe"}, "fresh");
    const std::string kept = packReused({"--main", "probe"}, "kept");
    const std::string version = versionNameOf(kept);
    for (const bool reuse : {false, true}) {
        for (int limit = kLowestLimit; limit <= kHighestLimit; ++limit) {
            SCOPED_TRACE((reuse ? "kept, ulimit -n " : "fresh, ulimit -n ") + std::to_string(limit));
            // Each limit starts afresh, so that what a run left is its own.
            std::error_code ignored;
            fs::remove_all(cacheDir(), ignored);
            for (const std::string& name : tmpDirContents()) fs::remove_all(tmpDir() + "/" + name, ignored);
            const LauncherRun result = runLimited(reuse ? kept : fresh, limit, reuseOptions());
            if (result.process.exitCode == 0) {
                EXPECT_TRUE(result.report.complete) << result.process.err;
            } else {
                EXPECT_EQ(result.process.exitCode, 2) << result.process.err;
                EXPECT_NE(result.process.err, "");
            }
            EXPECT_EQ(tmpDirContents(), std::vector<std::string>{}) << result.process.err;
            if (!reuse) continue;
            if (result.process.exitCode == 0) {
                EXPECT_EQ(treesIn(holdingDir("kept")), std::vector<std::string>{version});
            } else {
                EXPECT_EQ(namesIn(cacheDir()), std::vector<std::string>{}) << "left below the cache";
            }
        }
    }
}

// A kept tree that is whole stays as it is at every limit: the check that
// runs out of descriptors says so and ends the run, and never takes the
// tree for damaged (which would replace entries, or the tree, and leave a
// working directory when the repair ran out too).
TEST_F(ReuseDescriptorLimitTest, AWholeTreeCheckedWithoutDescriptorsIsLeftAsItIs) {
    const std::string kept = packReused({"--main", "probe"}, "kept");
    const std::string versionDir = holdingDir("kept") + "/" + versionNameOf(kept);
    ProcessOptions first = reuseOptions();
    first.setEnvironment["PROBE_MAKE_FILE"] = "state";
    ASSERT_EQ(run({kept}, first).process.exitCode, 0);
    const ino_t published = inodeOf(versionDir);
    const ino_t deepest = inodeOf(versionDir + "/data/sub/deeper/still/c.txt");
    const std::string checkFailure = "Error, couldn't check directory '" + versionDir + "': Too many open files.\n";

    bool checkRanOut = false;
    for (int limit = kLowestLimit; limit <= kHighestLimit; ++limit) {
        SCOPED_TRACE("ulimit -n " + std::to_string(limit));
        const LauncherRun result = runLimited(kept, limit, reuseOptions());
        if (result.process.exitCode != 0) {
            EXPECT_EQ(result.process.exitCode, 2) << result.process.err;
            checkRanOut = checkRanOut || result.process.err == checkFailure;
        }
        EXPECT_EQ(treesIn(holdingDir("kept")), std::vector<std::string>{fs::path(versionDir).filename().string()});
        EXPECT_EQ(inodeOf(versionDir), published);
        EXPECT_EQ(inodeOf(versionDir + "/data/sub/deeper/still/c.txt"), deepest) << "a whole entry was replaced";
        EXPECT_TRUE(fs::exists(versionDir + "/state")) << "the application's own file went";
    }
    EXPECT_TRUE(checkRanOut) << "no limit ran the check out of descriptors";
}

struct OpenFailure {
    const char* name;
    int places;
};

void PrintTo(const OpenFailure& failure, std::ostream* out) { *out << failure.name; }

class ReuseOpenFailureTest : public ReuseDescriptorLimitTest, public ::testing::WithParamInterface<OpenFailure> {};

// With one descriptor beside the standard three, the walk to the holding
// directory cannot open its levels: that is named as the system's error, not
// as a directory that is unsafe; an earlier place gets its one line.
TEST_P(ReuseOpenFailureTest, ALevelThatCannotBeOpenedIsNamedAsSuch) {
    std::vector<std::string> options = {"--main", "probe"};
    for (int place = 0; place < GetParam().places; ++place) {
        options.push_back("--template");
        options.push_back("{TEMP}/place" + std::to_string(place));
    }
    const std::string kept = packReused(options, "kept");
    const LauncherRun result = runLimited(kept, 4, reuseOptions());
    EXPECT_EQ(result.process.exitCode, 2);
    EXPECT_FALSE(result.report.complete);
    std::string expected;
    // The first level below the root: the root took the one descriptor.
    const std::string level = "/" + (++fs::path(temp().path()).begin())->string();
    for (int place = 1; place < GetParam().places; ++place) {
        expected += "'" + level + "': couldn't open it: Too many open files\n";
    }
    expected += "Error, couldn't open directory '" + level + "': Too many open files.\n";
    EXPECT_EQ(result.process.err, expected);
}

INSTANTIATE_TEST_SUITE_P(Places, ReuseOpenFailureTest,
                         ::testing::Values(OpenFailure{"OnePlace", 1}, OpenFailure{"TwoPlaces", 2}),
                         [](const ::testing::TestParamInfo<OpenFailure>& info) { return info.param.name; });

}  // namespace
}  // namespace onefile::e2e
