// The numbers pack shows a person, at the edges where a unit or a format
// changes, and the progress line cut to the terminal's width.
#include <gtest/gtest.h>

#include "tool/pack_progress.h"
#include "tool/quantity_text.h"

namespace onefile::testing {
namespace {

TEST(QuantityTextTest, CountsSizesAndDurations) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {tool::describeCount(0), "0"},
        {tool::describeCount(999), "999"},
        {tool::describeCount(1000), "1,000"},
        {tool::describeCount(1234567), "1,234,567"},
        {tool::describeBytes(0), "0 bytes"},
        {tool::describeBytes(1), "1 byte"},
        {tool::describeBytes(999), "999 bytes"},
        {tool::describeBytes(1000), "1.0 kB"},
        {tool::describeBytes(999'949), "999.9 kB"},
        {tool::describeBytes(999'950), "1.0 MB"},
        {tool::describeBytes(45'200'000), "45.2 MB"},
        {tool::describeBytes(1'300'000'000), "1.3 GB"},
        {tool::describeSeconds(0.04), "0.0 s"},
        {tool::describeSeconds(12.46), "12.5 s"},
        {tool::describeSeconds(59.96), "1 min 00 s"},
        {tool::describeSeconds(185), "3 min 05 s"},
        {tool::describeSeconds(7620), "2 h 07 min"},
    };
    for (const auto& [shown, expected] : cases) EXPECT_EQ(shown, expected);
}

TEST(QuantityTextTest, ProgressTellsRateAndTimeLeftOnceMeasurableAndFitsTheTerminal) {
    // No rate before half a second of finished bytes.
    EXPECT_EQ(tool::describeProgress(0, 1200, 0, 45'000'000, tool::estimateProgress(0, 45'000'000, 0.1, 0.1), 0),
              "onefile: packing 0 of 1,200 entries, 0 bytes of 45.0 MB");
    EXPECT_EQ(tool::describeProgress(600, 1200, 15'000'000, 45'000'000,
                                     tool::estimateProgress(15'000'000, 45'000'000, 0.4, 0.4), 0),
              "onefile: packing 600 of 1,200 entries, 15.0 MB of 45.0 MB");
    EXPECT_EQ(tool::describeProgress(600, 1200, 15'000'000, 45'000'000,
                                     tool::estimateProgress(15'000'000, 45'000'000, 2, 2), 0),
              "onefile: packing 600 of 1,200 entries, 15.0 MB of 45.0 MB, 7.5 MB/s, 4.0 s left");
    // One column stays free: a line that fills the last one wraps on some
    // terminals.
    EXPECT_EQ(tool::describeProgress(600, 1200, 15'000'000, 45'000'000,
                                     tool::estimateProgress(15'000'000, 45'000'000, 2, 2), 20),
              "onefile: packing 60");
}

TEST(QuantityTextTest, TimeLeftCountsDownWhileTheFinishedBytesStandStill) {
    // 15 MB finished at 2 s: 7.5 MB/s, 4 s left then. While the next frame
    // is made the count stands, and the time left falls with the clock, down
    // to nothing, instead of growing as the rate over the whole time would.
    struct Case {
        double now;
        double left;
    };
    for (const Case& c : {Case{2, 4}, Case{3, 3}, Case{5.5, 0.5}, Case{9, 0}}) {
        const auto estimate = tool::estimateProgress(15'000'000, 45'000'000, 2, c.now);
        ASSERT_TRUE(estimate) << c.now;
        EXPECT_DOUBLE_EQ(estimate->bytesPerSecond, 7'500'000) << c.now;
        EXPECT_DOUBLE_EQ(estimate->secondsLeft, c.left) << c.now;
    }
}

}  // namespace
}  // namespace onefile::testing
