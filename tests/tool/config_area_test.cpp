// The configuration area that info and verify read, in both layouts.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>

#include "tool/config_area.h"
#include "tool/tool_error.h"

namespace onefile::testing {
namespace {

using tool::ConfigLayout;
using tool::LauncherDigest;
using tool::LauncherSettings;

// Where the fields lie, spelled out as numbers: the launcher reads them
// there, so they must never move.
inline constexpr std::size_t kTemplateAt = 16;
inline constexpr std::size_t kProductAt = 16 + 2048;
inline constexpr std::size_t kVersionAt = 16 + 2048 + 1024;
inline constexpr std::size_t kDigestKindAt = 4096;
inline constexpr std::size_t kCodecAt = 4097;
inline constexpr std::size_t kLevelAt = 4098;
inline constexpr std::size_t kTreeModeAt = 4099;
inline constexpr std::size_t kReclaimAt = 4100;
inline constexpr std::size_t kDigestAt = 4096 + 32;

LauncherDigest sampleDigest() {
    LauncherDigest digest;
    for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<unsigned char>(0xa0 + i);
    return digest;
}

LauncherSettings sampleSettings(ConfigLayout layout) {
    return {layout, {"{TEMP}/app_{RANDOM}", "Product", "1.2.3"}, 7, sampleDigest(), true, true};
}

void put(std::vector<unsigned char>& area, std::size_t at, const std::string& text) {
    std::memcpy(area.data() + at, text.data(), text.size());
}

LauncherSettings readArea(const std::vector<unsigned char>& area) { return tool::readConfigArea(area); }

TEST(ConfigAreaTest, SecondLayoutRecordsStringsLevelDigestAndReuseAndIsZeroElsewhere) {
    const LauncherSettings settings = sampleSettings(ConfigLayout::second);
    const std::vector<unsigned char> area = tool::makeConfigArea(settings);
    ASSERT_EQ(area.size(), 8192u);
    EXPECT_EQ(tool::configAreaBytes(ConfigLayout::second), 8192u);

    std::vector<unsigned char> expected(8192, 0);
    put(expected, 0, "onefile-config-2");
    put(expected, kTemplateAt, "{TEMP}/app_{RANDOM}");
    put(expected, kProductAt, "Product");
    put(expected, kVersionAt, "1.2.3");
    expected[kDigestKindAt] = 1;  // SHA-256
    expected[kCodecAt] = 1;       // zstd
    expected[kLevelAt] = 7;
    expected[kTreeModeAt] = 1;  // kept between runs
    const LauncherDigest digest = sampleDigest();
    std::memcpy(expected.data() + kDigestAt, digest.data(), digest.size());
    EXPECT_TRUE(area == expected);
    EXPECT_EQ(tool::kDigestFieldOffset, kDigestAt);

    const LauncherSettings read = readArea(area);
    EXPECT_EQ(read.layout, ConfigLayout::second);
    EXPECT_EQ(read.strings.directoryTemplate, settings.strings.directoryTemplate);
    EXPECT_EQ(read.strings.productName, "Product");
    EXPECT_EQ(read.strings.versionString, "1.2.3");
    EXPECT_EQ(read.compressionLevel, std::optional<int>(7));
    ASSERT_TRUE(read.digest.has_value());
    EXPECT_TRUE(*read.digest == digest);
    EXPECT_TRUE(read.reuse);
    EXPECT_TRUE(read.reclaim);

    // A launcher that never reclaims (pack --no-reclaim) says so in its one
    // byte; zero, as in every launcher made before, reclaims.
    LauncherSettings never = settings;
    never.reclaim = false;
    std::vector<unsigned char> neverArea = tool::makeConfigArea(never);
    EXPECT_EQ(neverArea[kReclaimAt], 1);
    neverArea[kReclaimAt] = 0;
    EXPECT_TRUE(neverArea == expected);
    neverArea[kReclaimAt] = 1;
    EXPECT_FALSE(readArea(neverArea).reclaim);
}

// The first layout is one page of strings: no room for the level, the
// digest or the tree mode, which are dropped.
TEST(ConfigAreaTest, FirstLayoutKeepsOnlyTheStrings) {
    const std::vector<unsigned char> area = tool::makeConfigArea(sampleSettings(ConfigLayout::first));
    ASSERT_EQ(area.size(), 4096u);
    EXPECT_EQ(tool::configAreaBytes(ConfigLayout::first), 4096u);
    std::vector<unsigned char> expected(4096, 0);
    put(expected, 0, "onefile-config-1");
    put(expected, kTemplateAt, "{TEMP}/app_{RANDOM}");
    put(expected, kProductAt, "Product");
    put(expected, kVersionAt, "1.2.3");
    EXPECT_TRUE(area == expected);

    const LauncherSettings read = readArea(area);
    EXPECT_EQ(read.layout, ConfigLayout::first);
    EXPECT_EQ(read.strings.productName, "Product");
    EXPECT_EQ(read.strings.versionString, "1.2.3");
    EXPECT_FALSE(read.compressionLevel.has_value());
    EXPECT_FALSE(read.digest.has_value());
    EXPECT_FALSE(read.reuse);
}

// Strings that fill their fields but for the NUL, empty strings, and no
// level, digest or reuse recorded (the area of a launcher made without
// --reuse is what it was before the tree mode existed); a first-layout area
// in a larger section is read without looking at what follows it.
TEST(ConfigAreaTest, RoundTripsLongestAndEmptyStringsAndNoRecords) {
    for (const ConfigLayout layout : {ConfigLayout::first, ConfigLayout::second}) {
        for (const tool::LauncherStrings& strings :
             {tool::LauncherStrings{std::string(2047, 't'), std::string(1023, 'p'), std::string(1007, 'v')},
              tool::LauncherStrings{"", "", ""}}) {
            SCOPED_TRACE(strings.directoryTemplate.size());
            const LauncherSettings settings{layout, strings, std::nullopt, std::nullopt};
            std::vector<unsigned char> area = tool::makeConfigArea(settings);
            if (layout == ConfigLayout::second) {
                for (const std::size_t at : {kDigestKindAt, kCodecAt, kLevelAt, kTreeModeAt}) EXPECT_EQ(area[at], 0);
            } else {
                area.resize(8192, 0xee);  // what lies behind belongs to the block
            }
            const LauncherSettings read = readArea(area);
            EXPECT_EQ(read.layout, layout);
            EXPECT_EQ(read.strings.directoryTemplate, strings.directoryTemplate);
            EXPECT_EQ(read.strings.productName, strings.productName);
            EXPECT_EQ(read.strings.versionString, strings.versionString);
            EXPECT_FALSE(read.compressionLevel.has_value());
            EXPECT_FALSE(read.digest.has_value());
            EXPECT_FALSE(read.reuse);
        }
    }
}

// Templates tried one after the other share the template field: each ends
// with its NUL, the list with an empty one; in both layouts, and filling the
// field to its last byte.
TEST(ConfigAreaTest, FallbackTemplatesFollowTheFirstInItsField) {
    const struct {
        std::string first;
        std::vector<std::string> fallbacks;
    } cases[] = {
        {"{TEMP}/a_{RANDOM}", {"/var/tmp/b_{RANDOM}", "{HOME}/.c_{RANDOM}"}},
        {std::string(1000, 'a'), {std::string(1045, 'b')}},  // 1001 + 1046 bytes and the list's end
    };
    for (const ConfigLayout layout : {ConfigLayout::first, ConfigLayout::second}) {
        for (const auto& c : cases) {
            tool::LauncherStrings strings{c.first, "P", "V"};
            strings.fallbackTemplates = c.fallbacks;
            std::vector<unsigned char> area = tool::makeConfigArea({layout, strings, std::nullopt, std::nullopt});
            std::string field = c.first;
            for (const std::string& fallback : c.fallbacks) field += std::string(1, '\0') + fallback;
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(area.data()) + kTemplateAt, field.size()), field);
            for (std::size_t at = kTemplateAt + field.size(); at < kProductAt; ++at) ASSERT_EQ(area[at], 0) << at;
            const LauncherSettings read = readArea(area);
            EXPECT_EQ(read.strings.directoryTemplate, c.first);
            EXPECT_EQ(read.strings.fallbackTemplates, c.fallbacks);
            EXPECT_EQ(read.strings.productName, "P");
        }
    }
}

TEST(ConfigAreaTest, ReservedBytesAreNotLookedAt) {
    std::vector<unsigned char> area = tool::makeConfigArea(sampleSettings(ConfigLayout::second));
    // The flags' bytes behind the reclaim flag are the only ones left
    // unassigned: the first-run message and the signature area take the
    // rest of the page behind the digest.
    for (std::size_t at = kReclaimAt + 1; at < kDigestAt; ++at) area[at] = 0xff;
    const LauncherSettings read = readArea(area);
    EXPECT_EQ(read.compressionLevel, std::optional<int>(7));
    EXPECT_TRUE(read.digest == std::optional<LauncherDigest>(sampleDigest()));
    EXPECT_TRUE(read.reuse);
}

struct BadArea {
    const char* what;
    ConfigLayout layout;
    std::function<void(std::vector<unsigned char>&)> change;
    std::string message;
};

TEST(ConfigAreaTest, MalformedAreasAreRefusedAsFormatErrors) {
    const auto fill = [](std::size_t at, std::size_t bytes) {
        return [at, bytes](std::vector<unsigned char>& area) { std::memset(area.data() + at, 'a', bytes); };
    };
    const auto set = [](std::size_t at, unsigned char value) {
        return [at, value](std::vector<unsigned char>& area) { area[at] = value; };
    };
    const std::vector<BadArea> cases = {
        {"template without NUL", ConfigLayout::second, fill(kTemplateAt, 2048),
         "the directory template fills its field without a terminating NUL"},
        {"product without NUL", ConfigLayout::second, fill(kProductAt, 1024),
         "the product name fills its field without a terminating NUL"},
        {"first-run message without NUL", ConfigLayout::second, fill(kDigestAt + 32, 512),
         "the first-run message fills its field without a terminating NUL"},
        {"version without NUL", ConfigLayout::second, fill(kVersionAt, 1008),
         "the version string fills its field without a terminating NUL"},
        {"first layout, version without NUL", ConfigLayout::first, fill(kVersionAt, 1008),
         "the version string fills its field without a terminating NUL"},
        {"digest kind 2", ConfigLayout::second, set(kDigestKindAt, 2), "unknown digest kind 2"},
        {"digest kind 255", ConfigLayout::second, set(kDigestKindAt, 255), "unknown digest kind 255"},
        {"codec 2", ConfigLayout::second, set(kCodecAt, 2), "unknown compression codec 2"},
        {"level 0", ConfigLayout::second, set(kLevelAt, 0), "unknown zstd level 0"},
        {"level 20", ConfigLayout::second, set(kLevelAt, 20), "unknown zstd level 20"},
        {"tree mode 2", ConfigLayout::second, set(kTreeModeAt, 2), "unknown tree mode 2"},
        {"reclaim mode 2", ConfigLayout::second, set(kReclaimAt, 2), "unknown reclaim mode 2"},
        {"second layout cut short", ConfigLayout::second,
         [](std::vector<unsigned char>& area) { area.resize(8191); }, "the configuration area is cut short"},
        {"second layout, one page only", ConfigLayout::second,
         [](std::vector<unsigned char>& area) { area.resize(4096); }, "the configuration area is cut short"},
        {"first layout cut short", ConfigLayout::first,
         [](std::vector<unsigned char>& area) { area.resize(4095); }, "the configuration area is cut short"},
        {"another signature", ConfigLayout::second,
         [](std::vector<unsigned char>& area) { put(area, 0, "onefile-config-3"); },
         "no launcher configuration area where the payload section should be"},
        {"signature cut short", ConfigLayout::second, [](std::vector<unsigned char>& area) { area.resize(15); },
         "no launcher configuration area where the payload section should be"},
        {"nothing at all", ConfigLayout::second, [](std::vector<unsigned char>& area) { area.clear(); },
         "no launcher configuration area where the payload section should be"},
    };
    for (const BadArea& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<unsigned char> area = tool::makeConfigArea(sampleSettings(c.layout));
        c.change(area);
        try {
            (void)readArea(area);
            ADD_FAILURE() << "accepted";
        } catch (const tool::FormatError& error) {
            EXPECT_EQ(std::string(error.what()), c.message);
        }
    }
}

}  // namespace
}  // namespace onefile::testing
