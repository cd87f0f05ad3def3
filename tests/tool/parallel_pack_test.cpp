// pack --compress spreads the frames over one thread per usable processor
// and writes them in block order: the launcher is the same bytes whatever
// the number of processors, and whichever frame was done first.
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "format/payload_format.h"
#include "tests/support/file_helpers.h"
#include "tests/support/temp_dir.h"
#include "tests/tool/content_samples.h"
#include "tests/tool/tool_test_helpers.h"

namespace onefile::testing {
namespace {

int usableProcessors() {
    cpu_set_t processors;
    if (::sched_getaffinity(0, sizeof processors, &processors) != 0) return 1;
    return CPU_COUNT(&processors);
}

TEST(ParallelPackTest, SameLauncherOnOneProcessorAndOnSeveral) {
    const int usable = usableProcessors();
    if (usable < 2) GTEST_SKIP() << "one usable processor: the frames cannot be spread";
    TempDir dir;
    const std::string app = dir.file("app");
    makeDirectories(app);
    writeFile(app + "/main", "#!/bin/sh\nexit 0\n", 0755);
    // A file of several frames comes first, so that the small files behind
    // it are done by another thread before it is; then a file of several
    // frames that does not shrink (stored as it is), an empty file and a
    // link.
    writeFile(app + "/a-frames", repeatedText(2 * kCompressedFrameBytes + 12345), 0644);
    for (int i = 0; i < 40; ++i) writeFile(app + "/b-small-" + std::to_string(i), repeatedText(1000 + 997 * i), 0644);
    writeFile(app + "/c-incompressible", randomBytes(kCompressedFrameBytes + 1, 5), 0644);
    writeFile(app + "/d-empty", "", 0644);
    ASSERT_EQ(::symlink("a-frames", (app + "/e-link").c_str()), 0);

    const auto pack = [&](int processors) {
        const std::string launcher = dir.file("launcher-" + std::to_string(processors));
        ProcessOptions options;
        options.processors = processors;
        const ProcessResult result =
            runTool({"pack", app, "-o", launcher, "--main", "main", "--compress=1"}, options);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return readBytes(launcher);
    };
    const std::vector<unsigned char> onOne = pack(1);
    // Compressed for the most part: the frames went in, not the content.
    EXPECT_LT(onOne.size(), 2 * kCompressedFrameBytes);
    for (const int processors : {2, 4}) {
        if (processors > usable) continue;
        SCOPED_TRACE(std::to_string(processors) + " processors");
        EXPECT_TRUE(pack(processors) == onOne);
    }
}

}  // namespace
}  // namespace onefile::testing
