// The progress line of a long pack on a real pseudo-terminal: a file of
// several frames compressed at the highest level, where each frame takes
// seconds. The byte count must move while frames are being made, not only
// when one is done, and the time left may grow only when a count of finished
// bytes renews the estimate, never from one redraw to the next while a frame
// is under way.
//
// Labelled `slow`: at this level it takes many seconds here, and hours under
// valgrind or the sanitizers, whose passes leave it out.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "format/payload_format.h"
#include "tests/support/file_helpers.h"
#include "tests/support/temp_dir.h"
#include "tests/tool/terminal_run.h"
#include "tool/content_compressor.h"

namespace onefile::testing {
namespace {

inline constexpr char kEraseLine[] = "\r\033[K";
inline constexpr std::uint64_t kFrames = 4;
inline constexpr std::uint64_t kDataBytes = kFrames * kCompressedFrameBytes;
// Bytes as the line tells them, "1.2 MB": a tenth of the unit.
inline constexpr double kMegabyte = 1e6;

// Text that compresses, but slowly at the highest level: words drawn by a
// fixed pseudo-random sequence, so every run packs the same bytes.
std::string wordSoup(std::uint64_t size) {
    static const char* const kWords[] = {"frame", "window", "launcher", "entry", "block", "thread", "pool",
                                         "level", "byte",  "match",    "table", "hash",  "chain",  "literal"};
    std::string text;
    text.reserve(size);
    std::uint64_t state = 0x9e3779b97f4a7c15u;
    while (text.size() < size) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        text += kWords[(state >> 33) % std::size(kWords)];
        text += (state >> 13) % 11 == 0 ? '\n' : ' ';
        if ((state >> 20) % 7 == 0) text += std::to_string(state >> 50);
    }
    text.resize(size);
    return text;
}

// "11.4 MB", "512 bytes" as bytes, to the line's precision.
double parseBytes(const std::string& text) {
    static const std::regex kPattern(R"(([0-9.]+) (bytes?|kB|MB|GB))");
    std::smatch match;
    if (!std::regex_match(text, match, kPattern)) throw std::runtime_error("not a byte count: " + text);
    const double value = std::strtod(match[1].str().c_str(), nullptr);
    const std::string unit = match[2];
    return unit == "kB" ? value * 1e3 : unit == "MB" ? value * kMegabyte : unit == "GB" ? value * 1e9 : value;
}

// "12.3 s", "1 min 36 s", "1 h 02 min" as seconds.
double parseSeconds(const std::string& text) {
    static const std::regex kSeconds(R"(([0-9.]+) s)");
    static const std::regex kMinutes(R"(([0-9]+) min ([0-9]+) s)");
    static const std::regex kHours(R"(([0-9]+) h ([0-9]+) min)");
    std::smatch match;
    if (std::regex_match(text, match, kSeconds)) return std::strtod(match[1].str().c_str(), nullptr);
    if (std::regex_match(text, match, kMinutes)) return std::stod(match[1]) * 60 + std::stod(match[2]);
    if (std::regex_match(text, match, kHours)) return std::stod(match[1]) * 3600 + std::stod(match[2]) * 60;
    throw std::runtime_error("not a duration: " + text);
}

struct Redraw {
    std::string text;
    double bytesShown = 0;
    std::optional<double> secondsLeft;
};

// The progress lines the terminal received, in order.
std::vector<Redraw> progressLines(const std::string& terminal) {
    static const std::regex kLine(R"(onefile: packing [0-9,]+ of [0-9,]+ entries, (.+?) of [^,]+(, .+/s, (.+) left)?)");
    std::vector<Redraw> lines;
    std::size_t at = 0;
    while ((at = terminal.find(kEraseLine, at)) != std::string::npos) {
        at += std::string_view(kEraseLine).size();
        const std::size_t end = std::min(terminal.find(kEraseLine, at), terminal.find('\n', at));
        const std::string text = terminal.substr(at, end == std::string::npos ? std::string::npos : end - at);
        std::smatch match;
        if (!std::regex_match(text, match, kLine)) continue;
        Redraw redraw{text, parseBytes(match[1]), std::nullopt};
        if (match[3].matched) redraw.secondsLeft = parseSeconds(match[3]);
        lines.push_back(redraw);
    }
    return lines;
}

TEST(ProgressPaceTest, BytesMoveWithinFramesAndTheTimeLeftDoesNotClimbBetweenThem) {
    TempDir dir;
    const std::string app = dir.file("app");
    makeDirectories(app);
    writeFile(app + "/main", "#!/bin/sh\nexit 0\n", 0755);
    writeFile(app + "/data", wordSoup(kDataBytes), 0644);

    const ProcessResult result = runOnTerminal({"pack", app, "--main", "main", "-o", dir.file("app.run"),
                                                "--compress=" + std::to_string(tool::kHighestCompressionLevel)});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const std::vector<Redraw> lines = progressLines(result.err);
    ASSERT_FALSE(lines.empty()) << result.err;

    std::set<double> shown;
    bool withinFirstFrame = false;
    std::size_t timeLeftRises = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        shown.insert(lines[i].bytesShown);
        // More than the main script, less than one whole frame: only a
        // count of bytes read in, not of frames done, can show that.
        if (lines[i].bytesShown >= kMegabyte && lines[i].bytesShown < static_cast<double>(kCompressedFrameBytes))
            withinFirstFrame = true;
        if (i == 0) continue;
        EXPECT_GE(lines[i].bytesShown, lines[i - 1].bytesShown)
            << "the count went back:\n" << lines[i - 1].text << "\n" << lines[i].text;
        if (lines[i].secondsLeft && lines[i - 1].secondsLeft && *lines[i].secondsLeft > *lines[i - 1].secondsLeft)
            ++timeLeftRises;
    }
    // Counted only as frames finish, the line could show no more than one
    // count per frame, the start and the main script.
    EXPECT_GE(shown.size(), 2 * kFrames) << result.err;
    EXPECT_TRUE(withinFirstFrame) << result.err;
    // A new estimate may come with each finished frame and the main script;
    // between them the time left only counts down.
    EXPECT_LE(timeLeftRises, kFrames + 1) << result.err;
}

}  // namespace
}  // namespace onefile::testing
