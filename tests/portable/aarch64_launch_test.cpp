// aarch64 launchers made by `onefile pack --arch aarch64`, run by the kernel
// through qemu-user (see with_aarch64_emulation, which runs this program):
// the child's arguments and launch environment, modes and links of the
// extracted tree, exit statuses, a forwarded signal and the removal.
#include <gtest/gtest.h>

#include <elf.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/reuse_support.h"
#include "tests/e2e/supervision_support.h"
#include "tests/support/file_helpers.h"
#include "tests/support/sample_contents.h"

namespace onefile::e2e {
namespace {

namespace fs = std::filesystem;
using onefile::testing::makeSymlink;
using onefile::testing::readFile;
using onefile::testing::writeFile;

class Aarch64LaunchTest : public SupervisionTest {
protected:
    void SetUp() override {
        if (const char* reason = std::getenv("ONEFILE_AARCH64_UNAVAILABLE")) {
            GTEST_SKIP() << "aarch64 launchers cannot run here: " << reason;
        }
        SupervisionTest::SetUp();
        probe_ = readFile(ONEFILE_AARCH64_PROBE_PATH);
        writeFile(appDir() + "/probe", probe_, 0755);
    }

    std::string packForAarch64(const std::vector<std::string>& more = {}) {
        std::vector<std::string> options = {"--main", "probe", "--arch", "aarch64"};
        options.insert(options.end(), more.begin(), more.end());
        const std::string launcher = pack(options);
        const std::string bytes = readFile(launcher);
        Elf64_Ehdr header{};
        EXPECT_GE(bytes.size(), sizeof header);
        std::memcpy(&header, bytes.data(), sizeof header);
        EXPECT_EQ(header.e_machine, EM_AARCH64);
        return launcher;
    }

    std::string probe_;
};

TEST_F(Aarch64LaunchTest, ChildGetsArgumentsEnvironmentAndTheTreeWithItsModes) {
    writeFile(appDir() + "/lib/data.txt", "data\n", 0644);
    writeFile(appDir() + "/lib/tool", "#!/bin/sh\n", 0750);
    makeSymlink("../lib/data.txt", appDir() + "/share/data");
    const std::string launcher = packForAarch64();

    onefile::testing::ProcessOptions options;
    options.umask = 022;
    const LauncherRun run = this->run({launcher, "one", "two words", ""}, options);
    ASSERT_TRUE(run.report.complete) << run.process.err;
    EXPECT_EQ(run.process.exitCode, 0);
    EXPECT_EQ(run.report.arguments, (std::vector<std::string>{launcher, "one", "two words", ""}));
    EXPECT_EQ(run.report.self, run.report.directory + "/probe");
    EXPECT_EQ(run.report.variable("TAVMIR_ORIGINAL_ARGV0"), launcher);
    EXPECT_EQ(run.report.variable("TAVMIR_ONEFILE_DIRECTORY"), temp().path());
    EXPECT_TRUE(run.report.variable("TAVMIR_ONEFILE_RANDOM").has_value());
    EXPECT_TRUE(isExtractionDirectory(run.report.directory, tmpDir())) << run.report.directory;
    EXPECT_EQ(run.report.directoryMode, "0700");
    EXPECT_EQ(run.report.tree, (std::vector<std::string>{
                                   "dir 0700 lib",
                                   "file 0644 5 lib/data.txt",
                                   "file 0745 10 lib/tool",
                                   "file 0745 " + std::to_string(probe_.size()) + " probe",
                                   "dir 0700 share",
                                   "link 0777 share/data -> ../lib/data.txt",
                               }));
    // TearDown checks that the extraction directory is gone.
}

// A compressed launcher carries the aarch64 decoder stub: its entries decode
// to the bytes that were packed.
TEST_F(Aarch64LaunchTest, CompressedLauncherUnpacksTheSameBytes) {
    std::string text;
    for (int line = 0; line < 20000; ++line) text += "line " + std::to_string(line % 91) + " of a text\n";
    writeFile(appDir() + "/share/text", text, 0644);
    // Four bits to a byte, compressed to half: a block worth several threads
    // and three frames (8, 8 and 2 MiB), decoded on several threads at once.
    const std::string digits = onefile::testing::randomHexDigits(18u << 20, 5);
    writeFile(appDir() + "/share/digits", digits, 0644);
    const std::string launcher = packForAarch64({"--compress"});
    onefile::testing::ProcessOptions options;
    options.setEnvironment["PROBE_COPY_TO"] = temp().file("copy");
    const LauncherRun run = this->run({launcher}, options);
    ASSERT_TRUE(run.report.complete) << run.process.err;
    EXPECT_EQ(run.process.exitCode, 0);
    EXPECT_EQ(readFile(temp().file("copy/share/text")), text);
    EXPECT_TRUE(readFile(temp().file("copy/share/digits")) == digits) << "the large entry differs";
    EXPECT_EQ(readFile(temp().file("copy/probe")), probe_);
}

// A launcher made with --reuse: the first run publishes its tree in the
// version directory, the second runs it as it is.
TEST_F(Aarch64LaunchTest, KeptTreeIsPublishedThenReused) {
    writeFile(appDir() + "/lib/data.txt", "data\n", 0644);
    makeSymlink("../lib/data.txt", appDir() + "/share/data");
    const std::string launcher = packForAarch64({"--reuse"});
    const std::string info = runTool({"info", launcher}).out;
    const std::size_t digest = info.find("\ndigest: sha256 ");
    ASSERT_NE(digest, std::string::npos) << info;
    const std::string holding = temp().file("cache/onefile/launcher");
    const std::string versionDir = holding + "/" + info.substr(digest + 16, 16);

    onefile::testing::ProcessOptions options;
    options.setEnvironment["XDG_CACHE_HOME"] = temp().file("cache");
    options.setEnvironment["PROBE_MAKE_FILE"] = "made-by-the-first-run";
    const LauncherRun first = this->run({launcher, "first"}, options);
    ASSERT_TRUE(first.report.complete) << first.process.err;
    EXPECT_EQ(first.process.exitCode, 0);
    EXPECT_EQ(first.report.directory, versionDir);

    options.setEnvironment.erase("PROBE_MAKE_FILE");
    options.setEnvironment["PROBE_EXIT"] = "3";
    const LauncherRun second = this->run({launcher, "second"}, options);
    ASSERT_TRUE(second.report.complete) << second.process.err;
    EXPECT_EQ(second.process.exitCode, 3);
    EXPECT_EQ(second.process.err, "");
    EXPECT_EQ(second.report.arguments, (std::vector<std::string>{launcher, "second"}));
    EXPECT_EQ(second.report.directory, versionDir);
    // The first run's own file is still there: the tree was not unpacked again.
    EXPECT_TRUE(fs::exists(versionDir + "/made-by-the-first-run"));
    EXPECT_TRUE(fs::is_symlink(versionDir + "/share/data"));
    EXPECT_EQ(treesIn(holding), std::vector<std::string>{versionDir.substr(holding.size() + 1)});
}

struct ChildEnd {
    const char* name;
    const char* variable;
    const char* value;
    int launcherStatus;
};

class Aarch64ExitStatusTest : public Aarch64LaunchTest, public ::testing::WithParamInterface<ChildEnd> {};

TEST_P(Aarch64ExitStatusTest, LauncherPassesTheChildsEndOn) {
    const std::string launcher = packForAarch64();
    onefile::testing::ProcessOptions options;
    options.setEnvironment[GetParam().variable] = GetParam().value;
    const LauncherRun run = this->run({launcher}, options);
    EXPECT_TRUE(run.report.complete) << run.process.err;
    EXPECT_EQ(run.process.exitCode, GetParam().launcherStatus) << run.process.err;
}

INSTANTIATE_TEST_SUITE_P(Ends, Aarch64ExitStatusTest,
                         ::testing::Values(ChildEnd{"Zero", "PROBE_EXIT", "0", 0},
                                           ChildEnd{"Seven", "PROBE_EXIT", "7", 7},
                                           ChildEnd{"Highest", "PROBE_EXIT", "255", 255},
                                           ChildEnd{"KilledBySigusr1", "PROBE_RAISE", "10", 128 + SIGUSR1}),
                         [](const ::testing::TestParamInfo<ChildEnd>& info) { return info.param.name; });

TEST_F(Aarch64LaunchTest, TerminationSignalReachesTheChildAsSigintAndTheDirectoryGoes) {
    const std::string launcher = packForAarch64();
    StartOptions options = startOptions();
    options.set("PROBE_WAIT", "1");
    StartedLauncher started({launcher}, options);
    started.setProbePidFile(probePidPath());
    ASSERT_TRUE(started.waitUntilReady()) << started.standardError();
    const ProbeReport report = readReport();
    ASSERT_TRUE(fs::is_directory(report.directory)) << report.directory;

    started.sendSignal(SIGTERM);
    const std::optional<ExitState> state = started.waitForExit();
    ASSERT_TRUE(state.has_value()) << "the launcher did not end";
    EXPECT_EQ(state->exitCode, 0) << describe(*state);
    EXPECT_EQ(receivedSignals(), std::vector<std::string>{"signal=2 code=0"});
    EXPECT_FALSE(fs::exists(report.directory)) << report.directory;
    EXPECT_EQ(started.standardError(), "");
}

}  // namespace
}  // namespace onefile::e2e
