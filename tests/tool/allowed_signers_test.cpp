// The allowed-signers file as the tool reads it for the signatures it
// checks itself: the lines it takes, the lines it skips and why, and the
// pattern lists of principals and namespaces. What the options mean at
// verification is checked against ssh-keygen in tests/signing.
#include <gtest/gtest.h>

#include <string>

#include "tool/allowed_signers.h"

namespace onefile::testing {
namespace {

inline constexpr char kKey[] = "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIKLukX27SXkE6hz4+UkkD6n/7PIkxLOxeZo5t2fd0tyx";

TEST(AllowedSignersTest, TakesPrincipalsOptionsAndKeyOfEachLine) {
    const std::string text = std::string("# a comment\n\n   \n") + "alice " + kKey + " a comment\n" +
                             "\"bob smith,carol\" cert-authority,namespaces=\"onefile,git\" " + kKey + "\r\n" +
                             "dave valid-after=\"20240101Z\",VALID-BEFORE=\"203001011200Z\" " + kKey;
    const tool::AllowedSigners allowed = tool::parseAllowedSigners(text);
    EXPECT_TRUE(allowed.skippedLines.empty()) << allowed.skippedLines.front();
    ASSERT_EQ(allowed.signers.size(), 3u);
    EXPECT_EQ(allowed.signers[0].lineNumber, 4u);
    EXPECT_EQ(allowed.signers[0].principals, "alice");
    EXPECT_FALSE(allowed.signers[0].certificateAuthority);
    EXPECT_EQ(allowed.signers[0].key.size(), 51u);
    EXPECT_EQ(allowed.signers[1].principals, "bob smith,carol");
    EXPECT_TRUE(allowed.signers[1].certificateAuthority);
    EXPECT_EQ(allowed.signers[1].namespaces, std::optional<std::string>("onefile,git"));
    EXPECT_EQ(allowed.signers[2].validAfter, std::optional<std::time_t>(1704067200));
    EXPECT_EQ(allowed.signers[2].validBefore, std::optional<std::time_t>(1893499200));
}

TEST(AllowedSignersTest, SkipsLinesItCannotReadAndSaysWhy) {
    const struct {
        std::string line;
        const char* reason;
    } cases[] = {
        {"alice", "no key after the principals"},
        {"alice cert-authority nokey AAAA", "no known key type"},
        {std::string("alice unknown-option ") + kKey, "unknown option 'unknown-option'"},
        {std::string("alice namespaces=onefile ") + kKey, "no opening quote"},
        {std::string("alice namespaces=\"a\",namespaces=\"b\" ") + kKey, "given twice"},
        {std::string("alice valid-after=\"2024\" ") + kKey, "is not YYYYMMDD"},
        {std::string("alice valid-after=\"20250101\",valid-before=\"20240101\" ") + kKey, "not after valid-after"},
        {"alice ssh-ed25519 !!!!", "not base64"},
        {"alice ssh-rsa AAAAC3NzaC1lZDI1NTE5AAAAIKLukX27SXkE6hz4+UkkD6n/7PIkxLOxeZo5t2fd0tyx", "not of the type"},
        {"\"alice " + std::string(kKey), "not closed"},
    };
    for (const auto& example : cases) {
        SCOPED_TRACE(example.line);
        const tool::AllowedSigners allowed = tool::parseAllowedSigners(example.line + "\n" + "bob " + kKey + "\n");
        ASSERT_EQ(allowed.skippedLines.size(), 1u);
        EXPECT_EQ(allowed.skippedLines[0].rfind("1: ", 0), 0u);
        EXPECT_NE(allowed.skippedLines[0].find(example.reason), std::string::npos) << allowed.skippedLines[0];
        ASSERT_EQ(allowed.signers.size(), 1u);  // the next line is still read
        EXPECT_EQ(allowed.signers[0].principals, "bob");
    }
}

TEST(AllowedSignersTest, PatternListsMatchAsSshDoes) {
    const struct {
        const char* text;
        const char* patterns;
        bool matches;
    } cases[] = {
        {"alice", "alice", true},
        {"alice", "bob,alice", true},
        {"alice", "ALICE", false},
        {"alice@example.com", "*@example.com", true},
        {"alice@example.org", "*@example.com", false},
        {"ann", "a?n", true},
        {"ann", "a*,!al*", true},
        {"alice", "a*,!al*", false},
        {"alice", "!al*,alice", false},
        {"", "*", true},
        {"onefile", "git,one*", true},
        {"onefile", "", false},
    };
    for (const auto& example : cases) {
        EXPECT_EQ(tool::matchesPatternList(example.text, example.patterns), example.matches)
            << example.text << " against " << example.patterns;
    }
}

}  // namespace
}  // namespace onefile::testing
