// A launcher in a root that holds nothing but itself: no C library, no
// loader, no /dev, only /tmp, a bind of /proc and the /etc/passwd that names
// the user's home. The launcher is a static PIE and carries a static probe,
// so the run needs nothing from the system; {HOME} with HOME unset comes
// from that /etc/passwd. The same run again under the system call table of
// Linux 3.10, where the random token's getrandom fails with ENOSYS (no
// /dev/urandom either) and the fallback seed takes over.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/launcher_fixture.h"
#include "tests/support/file_helpers.h"
#include "tests/support/run_process.h"

namespace onefile::e2e {
namespace {

namespace fs = std::filesystem;
using onefile::testing::makeDirectories;
using onefile::testing::ProcessOptions;
using onefile::testing::ProcessResult;
using onefile::testing::readFile;
using onefile::testing::runProcess;
using onefile::testing::writeFile;

constexpr char kHome[] = "/home/user";
constexpr char kTemplate[] = "{HOME}/run_{RANDOM}";

// Whether this process may enter a user and mount namespace of its own.
bool userNamespacesAvailable() {
    return runProcess({"unshare", "-U", "-r", "-m", "true"}).exitCode == 0;
}

std::vector<std::string> namesIn(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

struct RootCase {
    const char* name;
    bool oldKernel;
};

class EmptyRootTest : public LauncherTest, public ::testing::WithParamInterface<RootCase> {
protected:
    void SetUp() override {
        if (ONEFILE_SANITIZED_BUILD) GTEST_SKIP() << "the sanitizer build's launcher is dynamic";
        if (!userNamespacesAvailable()) GTEST_SKIP() << "unshare -U -r -m is refused here";
        LauncherTest::SetUp();
    }
};

TEST_P(EmptyRootTest, LauncherRunsWithNothingButTheKernel) {
    writeFile(appDir() + "/probe", readFile(ONEFILE_STATIC_PROBE_PATH), 0755);
    const std::string launcher = pack({"--main", "probe", "--template", kTemplate});

    const std::string root = temp().file("root");
    writeFile(root + "/launcher", readFile(launcher), 0755);
    writeFile(root + "/etc/passwd", std::string("root:x:0:0:root:") + kHome + ":/bin/sh\n", 0644);
    makeDirectories(root + kHome);
    makeDirectories(root + "/tmp");
    makeDirectories(root + "/proc");
    ASSERT_EQ(::chmod((root + "/tmp").c_str(), 01777), 0);

    // chroot and mount come from this system; everything after the chroot
    // comes from the root.
    const std::string prefix = GetParam().oldKernel ? std::string("\"$1\" ") : std::string();
    ProcessOptions options;
    options.unsetEnvironment = {"HOME", "TMPDIR", "TAVMIR_ONEFILE_PARENT", "TAVMIR_ONEFILE_RANDOM",
                                "TAVMIR_ONEFILE_TIME_US", "TAVMIR_ONEFILE_START"};
    options.setEnvironment["PROBE_REPORT"] = "/tmp/report";
    const ProcessResult result = runProcess(
        {"unshare", "-U", "-r", "-m", "--", "sh", "-c",
         "mount --rbind /proc \"$0/proc\" && exec " + prefix + "chroot \"$0\" /launcher one 'two words'", root,
         ONEFILE_OLD_KERNEL_PATH},
        options);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");

    const ProbeReport report = parseProbeReport(readFile(root + "/tmp/report"));
    ASSERT_TRUE(report.complete);
    EXPECT_EQ(report.arguments, (std::vector<std::string>{"/launcher", "one", "two words"}));
    EXPECT_EQ(report.directory.rfind(std::string(kHome) + "/run_", 0), 0u) << report.directory;
    EXPECT_EQ(report.directory.size(), std::string(kHome).size() + 5 + 11) << report.directory;
    EXPECT_EQ(report.variable("TAVMIR_ONEFILE_RANDOM"), report.directory.substr(report.directory.size() - 11));
    EXPECT_EQ(report.self, report.directory + "/probe");
    // The run removed its directory and wrote nothing else into the root.
    EXPECT_EQ(namesIn(root + kHome), std::vector<std::string>{});
    EXPECT_EQ(namesIn(root), (std::vector<std::string>{"etc", "home", "launcher", "proc", "tmp"}));
    EXPECT_EQ(namesIn(root + "/tmp"), std::vector<std::string>{"report"});
}

INSTANTIATE_TEST_SUITE_P(Kernels, EmptyRootTest,
                         ::testing::Values(RootCase{"ThisKernel", false}, RootCase{"Linux310", true}),
                         [](const ::testing::TestParamInfo<RootCase>& info) { return info.param.name; });

}  // namespace
}  // namespace onefile::e2e
