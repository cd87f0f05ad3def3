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
    EXPECT_EQ(tool::describeProgress(0, 1200, 0, 45'000'000, 0.1, 0),
              "onefile: packing 0 of 1,200 entries, 0 bytes of 45.0 MB");
    EXPECT_EQ(tool::describeProgress(600, 1200, 15'000'000, 45'000'000, 2, 0),
              "onefile: packing 600 of 1,200 entries, 15.0 MB of 45.0 MB, 7.5 MB/s, 4.0 s left");
    // One column stays free: a line that fills the last one wraps on some
    // terminals.
    EXPECT_EQ(tool::describeProgress(600, 1200, 15'000'000, 45'000'000, 2, 20), "onefile: packing 60");
}

}  // namespace
}  // namespace onefile::testing
