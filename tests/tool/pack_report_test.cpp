// What pack tells a person at a terminal: the progress line and the summary
// on a real pseudo-terminal, and nothing of either on a pipe or with --quiet.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "tests/support/file_helpers.h"
#include "tests/support/temp_dir.h"
#include "tests/tool/terminal_run.h"
#include "tests/tool/tool_test_helpers.h"
#include "tool/quantity_text.h"

namespace onefile::testing {
namespace {

inline constexpr int kFailureStatus = 1;
inline constexpr char kEraseLine[] = "\r\033[K";
// The application: the main script, 2,000,000 bytes of data and a link.
inline constexpr char kFirstProgress[] = "onefile: packing 0 of 3 entries, 0 bytes of 2.0 MB";

class PackReportTest : public ::testing::Test {
protected:
    PackReportTest() : app_(dir_.file("app")), outDir_(dir_.file("out")), launcher_(outDir_ + "/app.run") {
        makeDirectories(app_);
        makeDirectories(outDir_);
        writeFile(app_ + "/main", "#!/bin/sh\nexit 0\n", 0755);
        std::string data;
        for (std::size_t i = 0; data.size() < 2'000'000; ++i) data += "line " + std::to_string(i) + "\n";
        data.resize(2'000'000);
        writeFile(app_ + "/data", data, 0644);
        if (::symlink("data", (app_ + "/link").c_str()) != 0) throw std::runtime_error("symlink");
    }

    std::vector<std::string> packArguments(const std::vector<std::string>& options) const {
        std::vector<std::string> arguments = {"pack", app_, "-o", launcher_, "--main", "main"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        return arguments;
    }

    TempDir dir_;
    std::string app_;
    std::string outDir_;
    std::string launcher_;
};

struct ReportCase {
    const char* name;
    std::vector<std::string> options;
    bool onTerminal;
    bool reports;  // the progress line, then the summary
};

TEST_F(PackReportTest, ProgressAndSummaryOnATerminalOnlyUnlessAsked) {
    const std::vector<ReportCase> cases = {
        {"terminal", {}, true, true},
        {"terminal, compressed", {"--compress=1"}, true, true},
        {"terminal, --quiet", {"--quiet"}, true, false},
        {"pipe", {}, false, false},
        {"pipe, --progress", {"--progress"}, false, true},
    };
    for (const ReportCase& report : cases) {
        SCOPED_TRACE(report.name);
        ::unlink(launcher_.c_str());
        const ProcessResult result =
            report.onTerminal ? runOnTerminal(packArguments(report.options)) : runTool(packArguments(report.options));
        ASSERT_EQ(result.exitCode, 0) << result.err;
        if (!report.reports) {
            EXPECT_EQ(result.err, "");
            continue;
        }
        // The first line is drawn before any work; the last erase leaves
        // the summary alone on its line.
        EXPECT_EQ(result.err.rfind(kEraseLine + std::string(kFirstProgress), 0), 0u) << result.err;
        const std::size_t lastErase = result.err.rfind(kEraseLine);
        ASSERT_NE(lastErase, std::string::npos) << result.err;
        const std::string summary = result.err.substr(lastErase + std::strlen(kEraseLine));
        const bool compressed = !report.options.empty() && report.options.front() == "--compress=1";
        struct stat status {};
        ASSERT_EQ(::stat(launcher_.c_str(), &status), 0);
        const std::string launcherSize = tool::describeBytes(static_cast<std::uint64_t>(status.st_size));
        EXPECT_EQ(summary.rfind("onefile: wrote " + launcher_ + ": 2 files, 1 link, 2.0 MB unpacked, " +
                                    launcherSize + " launcher" + (compressed ? " (0." : ", "),
                                0),
                  0u)
            << summary;
        // A terminal turns the newline into a carriage return and a newline.
        EXPECT_TRUE(summary.ends_with(report.onTerminal ? " s\r\n" : " s\n")) << summary;
    }
}

TEST_F(PackReportTest, FailedPackErasesTheProgressAndSaysWhyWithoutASummary) {
    // Room for the stub, not for the 2 MB the launcher carries.
    const ProcessResult result = runOnTerminal(packArguments({}), rlim_t{1} << 20);
    EXPECT_EQ(result.exitCode, kFailureStatus) << result.err;
    EXPECT_EQ(result.err.rfind(kEraseLine + std::string(kFirstProgress), 0), 0u) << result.err;
    EXPECT_NE(result.err.find(kEraseLine + ("onefile: " + launcher_ + ": cannot write: File too large\r\n")),
              std::string::npos)
        << result.err;
    EXPECT_EQ(result.err.find("onefile: wrote"), std::string::npos) << result.err;
    EXPECT_EQ(listDirectory(outDir_), std::vector<std::string>{});
}

}  // namespace
}  // namespace onefile::testing
