// The placeholders beyond the directory template: the program path and its
// derivatives, the user's directories, the build strings and the start time.
#include <pwd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "templates/expand_template.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_launcher_section.h"
#include "tests/unit/template_test_support.h"

namespace onefile::testing {
namespace {

class PlaceholderTest : public TemplateTest,
                        public ::testing::WithParamInterface<ExpansionCase> {};

TEST_P(PlaceholderTest, Expands) { checkExpansion(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Program, PlaceholderTest,
    ::testing::Values(
        ExpansionCase{.label = "Program", .templateText = "{PROGRAM}",
                      .expectedOutput = "/opt/app/tool.bin"},
        ExpansionCase{.label = "ProgramNoSlashRule", .templateText = "/x/{PROGRAM}",
                      .expectedOutput = "/x//opt/app/tool.bin"},
        ExpansionCase{.label = "ProgramFillsCapacity", .templateText = "{PROGRAM}",
                      .capacity = 3, .programPath = "/p", .expectedOutput = "/p"},

        ExpansionCase{.label = "BaseDropsBin", .templateText = "{PROGRAM_BASE}",
                      .programPath = "/opt/app/tool.bin", .expectedOutput = "/opt/app/tool"},
        ExpansionCase{.label = "BaseDropsUpperCaseBin", .templateText = "{PROGRAM_BASE}",
                      .programPath = "/opt/app/TOOL.BIN", .expectedOutput = "/opt/app/TOOL"},
        ExpansionCase{.label = "BaseDropsMixedCaseBin", .templateText = "{program_base}",
                      .programPath = "/opt/app/tool.Bin", .expectedOutput = "/opt/app/tool"},
        ExpansionCase{.label = "BaseWithoutExtension", .templateText = "{PROGRAM_BASE}",
                      .programPath = "/opt/app/tool", .expectedOutput = "/opt/app/tool"},
        ExpansionCase{.label = "BaseOtherFinalExtension", .templateText = "{PROGRAM_BASE}",
                      .programPath = "/opt/app/tool.bin.bak",
                      .expectedOutput = "/opt/app/tool.bin.bak"},
        ExpansionCase{.label = "BaseDropsOneExtension", .templateText = "{PROGRAM_BASE}",
                      .programPath = "/opt/app/x.bin.bin", .expectedOutput = "/opt/app/x.bin"},
        ExpansionCase{.label = "BaseBinInDirectoryStays", .templateText = "{PROGRAM_BASE}",
                      .programPath = "/opt/app.bin/tool", .expectedOutput = "/opt/app.bin/tool"},
        ExpansionCase{.label = "BaseOfBinAlone", .templateText = "a{PROGRAM_BASE}b",
                      .programPath = ".bin", .expectedOutput = "ab"},
        ExpansionCase{.label = "BaseShorterThanExtension", .templateText = "{PROGRAM_BASE}",
                      .programPath = "bin", .expectedOutput = "bin"},
        // Only the appended path counts, not the literal before it.
        ExpansionCase{.label = "BaseLooksOnlyAtAppendedPath", .templateText = "x.b{PROGRAM_BASE}",
                      .programPath = "in", .expectedOutput = "x.bin"},
        ExpansionCase{.label = "BaseNoSlashRule", .templateText = "{PROGRAM_BASE}",
                      .programPath = "/opt/app/.bin", .expectedOutput = "/opt/app/"},

        ExpansionCase{.label = "DirOfProgram", .templateText = "{PROGRAM_DIR}",
                      .programPath = "/opt/app/tool.bin", .expectedOutput = "/opt/app"},
        ExpansionCase{.label = "DirFollowedByText", .templateText = "{PROGRAM_DIR}/lib",
                      .programPath = "/opt/app/tool.bin", .expectedOutput = "/opt/app/lib"},
        ExpansionCase{.label = "DirOfFileInRoot", .templateText = "{PROGRAM_DIR}",
                      .programPath = "/tool", .expectedOutput = "/"},
        ExpansionCase{.label = "DirRootKeepsItsSlash", .templateText = "x/{Program_Dir}",
                      .programPath = "/tool", .expectedOutput = "x//"},
        ExpansionCase{.label = "DirDoubledSlashes", .templateText = "{PROGRAM_DIR}",
                      .programPath = "/a//b", .expectedOutput = "/a"},
        ExpansionCase{.label = "DirOfDoubledRoot", .templateText = "{PROGRAM_DIR}",
                      .programPath = "//a", .expectedOutput = "/"},
        ExpansionCase{.label = "DirOfPathEndingInSlash", .templateText = "{PROGRAM_DIR}",
                      .programPath = "/opt/app/", .expectedOutput = "/opt"},
        ExpansionCase{.label = "DirOfRootItself", .templateText = "{PROGRAM_DIR}",
                      .programPath = "/", .expectedOutput = "/"},
        ExpansionCase{.label = "DirOfRelativePath", .templateText = "{PROGRAM_DIR}",
                      .programPath = "a/b", .expectedOutput = "a"},
        ExpansionCase{.label = "DirOfBareName", .templateText = "x{PROGRAM_DIR}",
                      .programPath = "tool", .expectedOutput = "x."},
        ExpansionCase{.label = "DirOfEmptyPathFails", .templateText = "x{PROGRAM_DIR}y",
                      .programPath = "", .expectedResult = false, .expectedOutput = "x"},
        ExpansionCase{.label = "DirPathFillsCapacity", .templateText = "{PROGRAM_DIR}",
                      .capacity = 5, .programPath = "/a/b", .expectedOutput = "/a"}),
    CaseLabel{});

INSTANTIATE_TEST_SUITE_P(
    User, PlaceholderTest,
    ::testing::Values(
        ExpansionCase{.label = "Home", .templateText = "{HOME}", .expectedOutput = "/home/u"},
        // The effective user id, in decimal, and no slash rule: a private
        // level below a shared directory.
        ExpansionCase{.label = "UserId", .templateText = "/tmp/onefile-{uid}/x",
                      .expectedOutput = "/tmp/onefile-" + std::to_string(geteuid()) + "/x"},
        ExpansionCase{.label = "HomeTrailingSlash", .templateText = "{HOME}",
                      .environment = {{"HOME", "/home/u/"}}, .expectedOutput = "/home/u"},
        ExpansionCase{.label = "HomeEmpty", .templateText = "{HOME}",
                      .environment = {{"HOME", ""}}, .expectedOutput = ""},
        ExpansionCase{.label = "HomeEmptyRemovesSlashesBefore", .templateText = "/x/{HOME}",
                      .environment = {{"HOME", ""}}, .expectedOutput = "/x"},
        ExpansionCase{.label = "HomeRelative", .templateText = "{HOME}",
                      .environment = {{"HOME", "rel/"}}, .expectedOutput = "rel"},
        ExpansionCase{.label = "HomeRoot", .templateText = "{HOME}",
                      .environment = {{"HOME", "/"}}, .expectedOutput = ""},
        ExpansionCase{.label = "HomeTwice", .templateText = "{HOME}/{home}",
                      .environment = {{"HOME", "/h/"}}, .expectedOutput = "/h//h"},

        ExpansionCase{.label = "CacheFromXdg", .templateText = "{CACHE_DIR}",
                      .environment = {{"XDG_CACHE_HOME", "/var/cache/u/"}},
                      .expectedOutput = "/var/cache/u"},
        ExpansionCase{.label = "CacheXdgRoot", .templateText = "{CACHE_DIR}",
                      .environment = {{"XDG_CACHE_HOME", "/"}}, .expectedOutput = ""},
        ExpansionCase{.label = "CacheXdgEmptyIgnored", .templateText = "{CACHE_DIR}",
                      .environment = {{"XDG_CACHE_HOME", ""}},
                      .expectedOutput = "/home/u/.cache"},
        ExpansionCase{.label = "CacheXdgRelativeIgnored", .templateText = "{CACHE_DIR}",
                      .environment = {{"XDG_CACHE_HOME", "cache"}},
                      .expectedOutput = "/home/u/.cache"},
        ExpansionCase{.label = "CacheFromHomeWithSlash", .templateText = "{cache_dir}",
                      .environment = {{"HOME", "/home/u/"}}, .expectedOutput = "/home/u/.cache"},
        ExpansionCase{.label = "CacheFromRootHome", .templateText = "{CACHE_DIR}",
                      .environment = {{"HOME", "/"}}, .expectedOutput = "/.cache"},
        // The nested {HOME} reaches back into the enclosing output.
        ExpansionCase{.label = "CacheFromEmptyHome", .templateText = "x/{CACHE_DIR}",
                      .environment = {{"HOME", ""}}, .expectedOutput = "x/.cache"},
        ExpansionCase{.label = "CacheNestedFillsCapacity", .templateText = "{CACHE_DIR}",
                      .capacity = 10, .environment = {{"HOME", "/h"}},
                      .expectedOutput = "/h/.cache"},
        ExpansionCase{.label = "CacheNestedLiteralOverCapacity", .templateText = "{CACHE_DIR}",
                      .capacity = 9, .environment = {{"HOME", "/h"}}, .expectedResult = false,
                      .expectedOutput = "/h/.cach"}),
    CaseLabel{});

INSTANTIATE_TEST_SUITE_P(
    Build, PlaceholderTest,
    ::testing::Values(
        ExpansionCase{.label = "CompanyFillsCapacity", .templateText = "{COMPANY}",
                      .capacity = 8, .expectedOutput = "Merowin"},
        ExpansionCase{.label = "ProductLowerCase", .templateText = "{product}",
                      .expectedOutput = "Merowin"},
        ExpansionCase{.label = "VersionFillsCapacity", .templateText = "{VERSION}",
                      .capacity = 7, .expectedOutput = "0.13.1"},
        ExpansionCase{.label = "FileVersion", .templateText = "{File_Version}",
                      .expectedOutput = "0.13.1"},
        ExpansionCase{.label = "ProductVersionMixedCase", .templateText = "{Product_Version}",
                      .expectedOutput = "0.13.1"},
        ExpansionCase{.label = "AllBuildStrings",
                      .templateText = "{COMPANY}-{PRODUCT}-{VERSION}-{FILE_VERSION}-{PRODUCT_VERSION}",
                      .expectedOutput = "Merowin-Merowin-0.13.1-0.13.1-0.13.1"}),
    CaseLabel{});

INSTANTIATE_TEST_SUITE_P(
    Time, PlaceholderTest,
    ::testing::Values(
        ExpansionCase{.label = "StartTime", .templateText = "{TIME}",
                      .expectedOutput = "1700000000_42",
                      .environmentAfter = {{"TAVMIR_ONEFILE_START", "1700000000_42"}}},
        ExpansionCase{.label = "StartTimeRemembered", .templateText = "{time}",
                      .environment = {{"TAVMIR_ONEFILE_START", "5_6"}}, .expectedOutput = "5_6",
                      .environmentAfter = {{"TAVMIR_ONEFILE_START", "5_6"}}},
        ExpansionCase{.label = "StartTimeEmptyRemembered", .templateText = "a{TIME}b",
                      .environment = {{"TAVMIR_ONEFILE_START", ""}}, .expectedOutput = "ab",
                      .environmentAfter = {{"TAVMIR_ONEFILE_START", ""}}},
        // Only {TIME} exports TAVMIR_ONEFILE_START.
        ExpansionCase{.label = "NoStartTimeWithoutTime", .templateText = "{TIME_US}",
                      .expectedOutput = "000042",
                      .environmentAfter = {{"TAVMIR_ONEFILE_START", std::nullopt}}}),
    CaseLabel{});

class PlaceholderStopTest : public StopTest {};

TEST_P(PlaceholderStopTest, StopsBeforeWriting) { checkStop(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Placeholders, PlaceholderStopTest,
    ::testing::Values(
        StopCase{"CompanyOverCapacity", "{COMPANY}", 7, {}, kValueMessage, ""},
        StopCase{"VersionOverCapacity", "{VERSION}", 6, {}, kValueMessage, ""},
        StopCase{"ProgramOverCapacity", "ab{PROGRAM}", 19, {}, kValueMessage, "ab"},
        // The whole path must fit before the extension or the last component
        // is cut off.
        StopCase{"BaseOverCapacity", "{PROGRAM_BASE}", 17, {}, kValueMessage, ""},
        StopCase{"DirOverCapacity", "{PROGRAM_DIR}", 17, {}, kValueMessage, ""},
        StopCase{"HomeOverCapacity", "x{HOME}", 8, {}, kValueMessage, "x"},
        StopCase{"HomeFitsOnlyWithoutSlashes", "{HOME}", 9, {{"HOME", "/home/u//"}},
                 kValueMessage, ""},
        StopCase{"CacheFromXdgOverCapacity", "{CACHE_DIR}", 4, {{"XDG_CACHE_HOME", "/var"}},
                 kValueMessage, ""},
        StopCase{"CacheNestedHomeOverCapacity", "c{CACHE_DIR}", 8, {}, kValueMessage, "c"},
        StopCase{"StartTimeOverCapacity", "{TIME}", 13, {}, kValueMessage, ""},
        StopCase{"ProgramPathOfPathBufferSize", "{PROGRAM}", 4096, {}, kValueMessage, "",
                 "/" + std::string(4095, 'p')}),
    CaseLabel{});

TEST_F(TemplateTest, BuildStringsComeFromTheLauncher) {
    setFakeProductName("Other Product/");
    setFakeVersionString("2.0-rc1");
    char buffer[64];
    ASSERT_TRUE(expandTemplate(buffer, "{COMPANY}|{VERSION}", sizeof buffer));
    EXPECT_STREQ(buffer, "Other Product/|2.0-rc1");
}

TEST_F(TemplateTest, StartTimeKeepsMicrosecondsWithoutZeros) {
    setFakeTimeOfDay(12, 5);
    char buffer[64];
    ASSERT_TRUE(expandTemplate(buffer, "{TIME}", sizeof buffer));
    EXPECT_STREQ(buffer, "12_5");
    EXPECT_EQ(readVariable("TAVMIR_ONEFILE_START"), "12_5");

    // Later uses in the run insert the remembered value, whatever the clock
    // says by then.
    setFakeTimeOfDay(99, 7);
    ASSERT_TRUE(expandTemplate(buffer, "{TIME}/{TIME_US}", sizeof buffer));
    EXPECT_STREQ(buffer, "12_5/000007");
}

TEST_F(TemplateTest, StartTimeFromTheRealClock) {
    clearFakeTimeOfDay();
    timespec before{};
    timespec after{};
    char buffer[64];
    ASSERT_EQ(clock_gettime(CLOCK_REALTIME, &before), 0);
    ASSERT_TRUE(expandTemplate(buffer, "{TIME}", sizeof buffer));
    ASSERT_EQ(clock_gettime(CLOCK_REALTIME, &after), 0);

    // seconds_microseconds, the microseconds without leading zeros.
    const std::string text = buffer;
    const std::size_t underscore = text.find('_');
    ASSERT_NE(underscore, std::string::npos) << text;
    const std::string seconds = text.substr(0, underscore);
    const std::string microseconds = text.substr(underscore + 1);
    ASSERT_TRUE(isDecimal(seconds)) << text;
    ASSERT_TRUE(isDecimal(microseconds)) << text;
    EXPECT_LE(microseconds.size(), 6u) << text;
    EXPECT_TRUE(microseconds == "0" || microseconds[0] != '0') << text;
    EXPECT_GE(std::stol(seconds), before.tv_sec);
    EXPECT_LE(std::stol(seconds), after.tv_sec);
}

// The home directory of the password-database entry, as {HOME} inserts it.
std::string passwordHomeOf(uid_t user) {
    const passwd* entry = getpwuid(user);
    if (entry == nullptr) return {};
    std::string home = entry->pw_dir;
    while (!home.empty() && home.back() == '/') home.pop_back();
    return home;
}

TEST_F(TemplateTest, HomeUnsetUsesPasswordDatabase) {
    if (getpwuid(getuid()) == nullptr) GTEST_SKIP() << "the current user has no passwd entry";
    const std::string home = passwordHomeOf(getuid());
    ASSERT_EQ(unsetenv("HOME"), 0);
    char buffer[4096];
    ASSERT_TRUE(expandTemplate(buffer, "{HOME}|{CACHE_DIR}", sizeof buffer));
    EXPECT_EQ(std::string(buffer), home + "|" + home + "/.cache");
}

// Results that the child reports through shared memory.
struct NoEntryResults {
    bool homeResult;
    char homeOutput[64];
    bool cacheResult;
    char cacheOutput[64];
    bool xdgCacheResult;
    char xdgCacheOutput[64];
};

TEST_F(TemplateTest, HomeUnsetWithoutPasswordEntryFails) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to take on a user id without a passwd entry";
    }
    // A user id that the password database does not know.
    uid_t unknownUser = 0;
    for (uid_t candidate = 54321; candidate < 54321 + 1000; ++candidate) {
        if (getpwuid(candidate) == nullptr) {
            unknownUser = candidate;
            break;
        }
    }
    ASSERT_NE(unknownUser, 0u) << "every candidate user id has a passwd entry";

    SharedValue<NoEntryResults> results;
    const int status = runInChild([&]() {
        if (setuid(unknownUser) != 0) return 3;
        if (unsetenv("HOME") != 0 || unsetenv("XDG_CACHE_HOME") != 0) return 4;
        results->homeResult =
            expandTemplate(results->homeOutput, "x/{HOME}", sizeof results->homeOutput);
        results->cacheResult =
            expandTemplate(results->cacheOutput, "c{CACHE_DIR}", sizeof results->cacheOutput);
        // An absolute XDG_CACHE_HOME does not need a home directory.
        if (setenv("XDG_CACHE_HOME", "/var/cache/x", 1) != 0) return 5;
        results->xdgCacheResult = expandTemplate(results->xdgCacheOutput, "{CACHE_DIR}",
                                                 sizeof results->xdgCacheOutput);
        return 0;
    });
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child wait status " << status;
    EXPECT_FALSE(results->homeResult);
    EXPECT_STREQ(results->homeOutput, "x/");
    EXPECT_FALSE(results->cacheResult);
    EXPECT_STREQ(results->cacheOutput, "c");
    EXPECT_TRUE(results->xdgCacheResult);
    EXPECT_STREQ(results->xdgCacheOutput, "/var/cache/x");
}

}  // namespace
}  // namespace onefile::testing
