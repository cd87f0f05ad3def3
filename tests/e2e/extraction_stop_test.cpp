// A termination signal from another process while the launcher writes a
// large entry, or decodes a compressed one, ends the run between two writes: the launcher removes what it
// wrote, says which signal stopped it and exits 2, promptly, and the
// application never starts.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e/supervision_support.h"
#include "tests/support/sample_contents.h"

namespace onefile::e2e {
namespace {

namespace fs = std::filesystem;
using std::chrono::steady_clock;

// Large enough that the writing lasts a good fraction of a second even on
// a fast disk; the application directory holds it as a sparse file, the
// launcher and the extracted copy hold real bytes.
constexpr std::uintmax_t kLargeBytes = 300u << 20;
// The signal is sent once this much of the entry is written.
constexpr off_t kWrittenBeforeSignal = 8 << 20;
// Between two writes of at most a few hundred KiB, then the removal.
constexpr auto kPromptStop = std::chrono::milliseconds(1000);
constexpr auto kStartTimeout = std::chrono::seconds(60);

struct Stop {
    const char* name;
    int number;
    // The entry is zstd frames (38 of 8 MiB), decoded as they are written;
    // on several threads, several frames at once.
    bool compressed;
    // Beside it, a megabyte that does not compress: the block is worth
    // several threads, and the decoder hands its chunks to another one
    // (where the machine has more than one processor).
    bool severalThreads;
};

void PrintTo(const Stop& stop, std::ostream* out) { *out << stop.name; }

class ExtractionStopTest : public SupervisionTest, public ::testing::WithParamInterface<Stop> {
protected:
    // The large entry below an extraction directory in tmpDir(), opened
    // for reading; -1 while there is none.
    int openLargeEntry() const {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(tmpDir(), error)) {
            if (!isExtractionDirectory(entry.path().string(), tmpDir())) continue;
            int descriptor = open((entry.path() / "large").c_str(), O_RDONLY | O_CLOEXEC);
            if (descriptor >= 0) return descriptor;
        }
        return -1;
    }
};

off_t sizeOf(int descriptor) {
    struct stat status;
    return fstat(descriptor, &status) == 0 ? status.st_size : -1;
}

TEST_P(ExtractionStopTest, SignalWhileWritingStopsTheRunAndLeavesNothing) {
    const int number = GetParam().number;
    addProbe();
    {
        std::ofstream large(appDir() + "/large");
    }
    fs::resize_file(appDir() + "/large", kLargeBytes);
    if (GetParam().severalThreads) {
        std::ofstream(appDir() + "/noise", std::ios::binary) << onefile::testing::randomBytes(1200u << 10, 3);
    }
    std::vector<std::string> options = {"--main", "probe"};
    if (GetParam().compressed) options.push_back("--compress");
    const std::string launcher = pack(options);
    fs::remove(appDir() + "/large");

    StartedLauncher run({launcher}, startOptions());
    run.setProbePidFile(probePidPath());
    // Until the entry is partly written: the signal lands while the
    // launcher writes it. The entry stays open here, so that its size is
    // still known once the launcher has removed it.
    const auto deadline = steady_clock::now() + kStartTimeout;
    int large = -1;
    off_t written = -1;
    while (large < 0 || (written = sizeOf(large)) < kWrittenBeforeSignal) {
        ASSERT_FALSE(run.pollExit()) << "the launcher ended before it wrote the entry: " << run.standardError();
        ASSERT_LT(steady_clock::now(), deadline) << "the entry did not grow";
        if (large < 0) large = openLargeEntry();
    }
    struct CloseEntry {
        int descriptor;
        ~CloseEntry() { close(descriptor); }
    } closeEntry{large};
    run.sendSignal(number);
    const auto sent = steady_clock::now();
    ASSERT_LT(written, static_cast<off_t>(kLargeBytes)) << "the entry was complete before the signal";
    const std::optional<ExitState> state = run.waitForExit(std::chrono::seconds(10));
    ASSERT_TRUE(state) << "the launcher did not end";
    const auto elapsed = steady_clock::now() - sent;

    EXPECT_EQ(state->signal, 0) << describe(*state);
    EXPECT_EQ(state->exitCode, 2) << describe(*state);
    EXPECT_LT(elapsed, kPromptStop);
    EXPECT_EQ(run.standardError(), "Error, stopped by signal " + std::to_string(number) +
                                       " before the application started.\n");
    EXPECT_EQ(run.standardOutput(), "");
    // The writing stopped part way: the entry never reached its full size,
    // and it is gone.
    struct stat entry;
    ASSERT_EQ(fstat(large, &entry), 0);
    EXPECT_LT(entry.st_size, static_cast<off_t>(kLargeBytes)) << "the whole entry was written";
    EXPECT_EQ(entry.st_nlink, 0u);
    EXPECT_EQ(tmpDirContents(), std::vector<std::string>{});
    // The probe never ran: no report, no process id, no signal record.
    EXPECT_FALSE(fs::exists(reportPath()));
    EXPECT_FALSE(fs::exists(probePidPath()));
    EXPECT_FALSE(fs::exists(signalsPath()));
}

INSTANTIATE_TEST_SUITE_P(Signals, ExtractionStopTest,
                         ::testing::Values(Stop{"Terminate", SIGTERM, false, false},
                                           Stop{"Interrupt", SIGINT, false, false}, Stop{"Quit", SIGQUIT, false, false},
                                           Stop{"TerminateWhileDecoding", SIGTERM, true, false},
                                           Stop{"TerminateWhileDecodingOnSeveralThreads", SIGTERM, true, true}),
                         [](const ::testing::TestParamInfo<Stop>& info) { return info.param.name; });

}  // namespace
}  // namespace onefile::e2e
