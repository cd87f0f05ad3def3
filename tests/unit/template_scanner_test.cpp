// The template scanner: literals, braces, names, capacity limits, the
// trailing-slash rule and the placeholders of the directory template.
#include <unistd.h>

#include <string>

#include "templates/expand_template.h"
#include "templates/placeholder_table.h"
#include "tests/support/fake_clock.h"
#include "tests/unit/template_test_support.h"

namespace onefile::testing {
namespace {

constexpr const char* kDirectoryTemplate = "{TEMP}/onefile_{PID}_{TIME_US}_{RANDOM}";
// A fixed launch environment for the directory template: the launcher's id,
// the clock at .000042 and a token chosen by the test.
const std::vector<Setting> kLaunchVariables = {
    {"TAVMIR_ONEFILE_PARENT", "4242"},
    {"TAVMIR_ONEFILE_RANDOM", "Ab-_0123xyz"},
};
constexpr const char* kDirectorySuffix = "/onefile_4242_000042_Ab-_0123xyz";

std::vector<Setting> launchVariablesWith(const Setting& extra) {
    std::vector<Setting> settings = kLaunchVariables;
    settings.push_back(extra);
    return settings;
}

class ScannerTest : public TemplateTest,
                    public ::testing::WithParamInterface<ExpansionCase> {};

TEST_P(ScannerTest, Expands) { checkExpansion(GetParam()); }

const std::string kLongTmpdir4095 = "/" + std::string(4094, 'd');

INSTANTIATE_TEST_SUITE_P(
    Scanner, ScannerTest,
    ::testing::Values(
        // Literal text and braces.
        ExpansionCase{.label = "EmptyTemplate", .templateText = "", .expectedOutput = ""},
        ExpansionCase{.label = "LiteralOnly", .templateText = "plain/text_1.x",
                      .expectedOutput = "plain/text_1.x"},
        ExpansionCase{.label = "ClosingBraceOutsideIsLiteral", .templateText = "a}b{TEMP}}",
                      .expectedOutput = "a}b/tmp}"},
        ExpansionCase{.label = "SecondOpeningBraceRestartsName", .templateText = "{A{TEMP}",
                      .expectedOutput = "/tmp"},
        ExpansionCase{.label = "UnclosedPlaceholderIsDropped", .templateText = "abc{TEMP",
                      .expectedOutput = "abc"},
        ExpansionCase{.label = "UnclosedAfterPlaceholder", .templateText = "{TEMP}/x{PID",
                      .expectedOutput = "/tmp/x"},

        // Names: whole, ignoring ASCII case only.
        ExpansionCase{.label = "LowerCaseName", .templateText = "{temp}", .expectedOutput = "/tmp"},
        ExpansionCase{.label = "MixedCaseName", .templateText = "{Temp}", .expectedOutput = "/tmp"},
        ExpansionCase{.label = "NameWithBlankIsUnknown", .templateText = "{TEMP }",
                      .expectedResult = false, .expectedOutput = ""},
        ExpansionCase{.label = "PrefixOfNameIsUnknown", .templateText = "{TEM}",
                      .expectedResult = false, .expectedOutput = ""},
        ExpansionCase{.label = "LongerNameIsUnknown", .templateText = "{TEMPS}",
                      .expectedResult = false, .expectedOutput = ""},
        ExpansionCase{.label = "EmptyNameIsUnknown", .templateText = "{}",
                      .expectedResult = false, .expectedOutput = ""},
        ExpansionCase{.label = "UnknownNameKeepsEarlierOutput", .templateText = "x{NOPE}y",
                      .expectedResult = false, .expectedOutput = "x"},
        // Names that outgrow the name buffer are unknown, are never written
        // past it, and a new "{" starts afresh.
        ExpansionCase{.label = "Name1023CharactersIsUnknown",
                      .templateText = "x{" + std::string(1023, 'T') + "}",
                      .expectedResult = false, .expectedOutput = "x"},
        ExpansionCase{.label = "Name1024CharactersIsUnknown",
                      .templateText = "x{" + std::string(1024, 'T') + "}",
                      .expectedResult = false, .expectedOutput = "x"},
        ExpansionCase{.label = "OverlongNameEndingInKnownName",
                      .templateText = "x{" + std::string(5000, 'T') + "TEMP}",
                      .expectedResult = false, .expectedOutput = "x"},
        ExpansionCase{.label = "OverlongNameThenRestart",
                      .templateText = "x{" + std::string(5000, 'T') + "{TEMP}",
                      .expectedOutput = "x/tmp"},
        ExpansionCase{.label = "OverlongUnclosedName",
                      .templateText = "x{" + std::string(5000, 'T'), .expectedOutput = "x"},

        // Capacity limits of literals.
        ExpansionCase{.label = "CapacityOneEmptyTemplate", .templateText = "", .capacity = 1,
                      .expectedOutput = ""},
        ExpansionCase{.label = "CapacityOneLiteral", .templateText = "a", .capacity = 1,
                      .expectedResult = false, .expectedOutput = ""},
        ExpansionCase{.label = "CapacityOneEmptyValue", .templateText = "{TEMP}", .capacity = 1,
                      .environment = {{"TMPDIR", ""}}, .expectedOutput = ""},
        ExpansionCase{.label = "LiteralFillsCapacity", .templateText = "abcd", .capacity = 5,
                      .expectedOutput = "abcd"},
        ExpansionCase{.label = "LiteralOverCapacity", .templateText = "/tmp/", .capacity = 5,
                      .expectedResult = false, .expectedOutput = "/tmp"},
        ExpansionCase{.label = "TempFillsCapacity", .templateText = "{TEMP}", .capacity = 5,
                      .expectedOutput = "/tmp"},
        ExpansionCase{.label = "LiteralAfterFullValue", .templateText = "{TEMP}x", .capacity = 5,
                      .expectedResult = false, .expectedOutput = "/tmp"},
        // Slashes that the rule removes give their room back.
        ExpansionCase{.label = "StrippedSlashesFreeCapacity", .templateText = "ab//{TEMP}cd",
                      .capacity = 5, .environment = {{"TMPDIR", ""}}, .expectedOutput = "abcd"},

        // The trailing-slash rule over the whole output.
        ExpansionCase{.label = "RuleReachesIntoLiteral", .templateText = "a//{TEMP}",
                      .environment = {{"TMPDIR", ""}}, .expectedOutput = "a"},
        ExpansionCase{.label = "RuleEmptiesSlashesOnly", .templateText = "///{TEMP}",
                      .environment = {{"TMPDIR", "//"}}, .expectedOutput = ""},
        ExpansionCase{.label = "RuleKeepsInnerSlashes", .templateText = "/a//b//{TEMP}",
                      .environment = {{"TMPDIR", ""}}, .expectedOutput = "/a//b"},
        ExpansionCase{.label = "RuleRunsOnlyAfterItsPlaceholder", .templateText = "{TEMP}//",
                      .expectedOutput = "/tmp//"},
        ExpansionCase{.label = "NoRuleAfterPid", .templateText = "a/{PID}",
                      .environment = {{"TAVMIR_ONEFILE_PARENT", "7"}}, .expectedOutput = "a/7"},

        // The directory template and TMPDIR.
        ExpansionCase{.label = "DirectoryTemplateDefaultTemp", .templateText = kDirectoryTemplate,
                      .environment = kLaunchVariables,
                      .expectedOutput = std::string("/tmp") + kDirectorySuffix},
        ExpansionCase{.label = "TmpdirTrailingSlashes", .templateText = kDirectoryTemplate,
                      .environment = launchVariablesWith({"TMPDIR", "/var/tmp///"}),
                      .expectedOutput = std::string("/var/tmp") + kDirectorySuffix},
        ExpansionCase{.label = "TmpdirEmpty", .templateText = kDirectoryTemplate,
                      .environment = launchVariablesWith({"TMPDIR", ""}),
                      .expectedOutput = kDirectorySuffix},
        ExpansionCase{.label = "TmpdirRoot", .templateText = kDirectoryTemplate,
                      .environment = launchVariablesWith({"TMPDIR", "/"}),
                      .expectedOutput = kDirectorySuffix},
        ExpansionCase{.label = "TmpdirRelative", .templateText = kDirectoryTemplate,
                      .environment = launchVariablesWith({"TMPDIR", "rel"}),
                      .expectedOutput = std::string("rel") + kDirectorySuffix},
        ExpansionCase{.label = "Tmpdir4095FillsCapacity", .templateText = "{TEMP}",
                      .environment = {{"TMPDIR", kLongTmpdir4095}},
                      .expectedOutput = kLongTmpdir4095},
        ExpansionCase{.label = "Tmpdir4095ThenSlashFails", .templateText = kDirectoryTemplate,
                      .environment = launchVariablesWith({"TMPDIR", kLongTmpdir4095}),
                      .expectedResult = false, .expectedOutput = kLongTmpdir4095},

        // {PID}.
        ExpansionCase{.label = "PidKeepsLeadingZeros", .templateText = "{PID}",
                      .environment = {{"TAVMIR_ONEFILE_PARENT", "007"}},
                      .expectedOutput = "007",
                      .environmentAfter = {{"TAVMIR_ONEFILE_PARENT", "007"}}},

        // {TIME_US} and {RANDOM}: remembered values win, even empty ones.
        ExpansionCase{.label = "TimeUsSixDigits", .templateText = "{TIME_US}",
                      .expectedOutput = "000042",
                      .environmentAfter = {{"TAVMIR_ONEFILE_TIME_US", "000042"}}},
        ExpansionCase{.label = "TimeUsRemembered", .templateText = "{TIME_US}",
                      .environment = {{"TAVMIR_ONEFILE_TIME_US", "123456"}},
                      .expectedOutput = "123456",
                      .environmentAfter = {{"TAVMIR_ONEFILE_TIME_US", "123456"}}},
        ExpansionCase{.label = "TimeUsEmptyRemembered", .templateText = "a{TIME_US}b",
                      .environment = {{"TAVMIR_ONEFILE_TIME_US", ""}}, .expectedOutput = "ab",
                      .environmentAfter = {{"TAVMIR_ONEFILE_TIME_US", ""}}},
        ExpansionCase{.label = "RandomEmptyRemembered", .templateText = "a{RANDOM}b",
                      .environment = {{"TAVMIR_ONEFILE_RANDOM", ""}}, .expectedOutput = "ab",
                      .environmentAfter = {{"TAVMIR_ONEFILE_RANDOM", ""}}},
        // A failure later in the template keeps a variable already set.
        ExpansionCase{.label = "VariableStaysSetAfterFailure", .templateText = "{TIME_US}{NOPE}",
                      .expectedResult = false, .expectedOutput = "000042",
                      .environmentAfter = {{"TAVMIR_ONEFILE_TIME_US", "000042"}}}),
    CaseLabel{});

TEST_F(TemplateTest, MicrosecondsAtTheEndOfASecond) {
    setFakeTimeOfDay(kFixedSeconds, 999999);
    char buffer[16];
    ASSERT_TRUE(expandTemplate(buffer, "{TIME_US}", sizeof buffer));
    EXPECT_STREQ(buffer, "999999");
}

TEST_F(TemplateTest, CapacityZeroWritesNothing) {
    // The buffer's last byte is followed by the guard page: with a capacity
    // of 0 even the first byte would fault.
    GuardedBuffer buffer(0);
    EXPECT_FALSE(expandTemplate(buffer.data(), "", 0));
    EXPECT_FALSE(expandTemplate(buffer.data(), "{TEMP}", 0));
}

TEST_F(TemplateTest, EveryTableNameIsRecognisedInAnyCase) {
    for (const char* name : kPlaceholderNames) {
        std::string lower = name;
        for (char& character : lower) character = static_cast<char>(tolower(character));
        EXPECT_NE(findPlaceholder(name), nullptr) << name;
        EXPECT_EQ(findPlaceholder(lower.c_str()), findPlaceholder(name)) << lower;
    }
    EXPECT_EQ(findPlaceholder(""), nullptr);
}

TEST_F(TemplateTest, PidWithoutParentIsProcessId) {
    char buffer[32];
    ASSERT_TRUE(expandTemplate(buffer, "{PID}", sizeof buffer));
    EXPECT_EQ(std::string(buffer), std::to_string(getpid()));
}

TEST_F(TemplateTest, DirectoryTemplateWithFreshValues) {
    clearFakeTimeOfDay();
    char first[4096];
    ASSERT_TRUE(expandTemplate(first, kDirectoryTemplate, sizeof first));

    // /tmp/onefile_<process id>_<six digits>_<token>
    const std::string prefix = "/tmp/onefile_" + std::to_string(getpid()) + "_";
    const std::string path = first;
    ASSERT_EQ(path.substr(0, prefix.size()), prefix) << path;
    ASSERT_EQ(path.size(), prefix.size() + 6 + 1 + 11) << path;
    const std::string microseconds = path.substr(prefix.size(), 6);
    const std::string token = path.substr(prefix.size() + 7);
    EXPECT_TRUE(isDecimal(microseconds)) << path;
    EXPECT_EQ(path[prefix.size() + 6], '_') << path;
    EXPECT_EQ(tokenShapeProblem(token), "");
    EXPECT_EQ(readVariable("TAVMIR_ONEFILE_TIME_US"), microseconds);
    EXPECT_EQ(readVariable("TAVMIR_ONEFILE_RANDOM"), token);

    // The variables are the memory of the run: a second expansion, later on
    // the clock, names the same directory.
    usleep(1500);
    char second[4096];
    ASSERT_TRUE(expandTemplate(second, kDirectoryTemplate, sizeof second));
    EXPECT_STREQ(first, second);
}

TEST_F(TemplateTest, OneTokenPerRun) {
    char buffer[64];
    ASSERT_TRUE(expandTemplate(buffer, "{RANDOM}/{random}", sizeof buffer));
    const std::string text = buffer;
    ASSERT_EQ(text.size(), 23u) << text;
    EXPECT_EQ(text.substr(0, 11), text.substr(12));
    EXPECT_EQ(readVariable("TAVMIR_ONEFILE_RANDOM"), text.substr(0, 11));
}

TEST_F(TemplateTest, NestedExpansionContinuesTheOutput) {
    char buffer[16];
    TemplateOutput output{buffer, 0, sizeof buffer};
    ASSERT_TRUE(expandTemplateOnto(output, "ab/"));
    ASSERT_TRUE(expandTemplateOnto(output, "{TEMP}x"));
    EXPECT_STREQ(buffer, "ab//tmpx");
    EXPECT_EQ(output.writePosition, 8u);
    EXPECT_EQ(output.remainingCapacity, sizeof buffer - 8);
}

TEST_F(TemplateTest, StripTrailingSlashesKeepsCountsInStep) {
    char buffer[16] = "/a//b///";
    TemplateOutput output{buffer, 8, 8};
    stripTrailingSlashes(output);
    EXPECT_STREQ(buffer, "/a//b");
    EXPECT_EQ(output.writePosition, 5u);
    EXPECT_EQ(output.remainingCapacity, 11u);

    char slashes[8] = "///";
    TemplateOutput allSlashes{slashes, 3, 5};
    stripTrailingSlashes(allSlashes);
    EXPECT_STREQ(slashes, "");
    EXPECT_EQ(allSlashes.writePosition, 0u);
    EXPECT_EQ(allSlashes.remainingCapacity, 8u);
}

class ScannerStopTest : public StopTest {};

TEST_P(ScannerStopTest, StopsBeforeWriting) { checkStop(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Scanner, ScannerStopTest,
    ::testing::Values(
        StopCase{"TempOneOverCapacity", "{TEMP}", 4, {}, kValueMessage, ""},
        StopCase{"TempAfterLiteral", "ab{TEMP}", 6, {}, kValueMessage, "ab"},
        StopCase{"Tmpdir4096", "{TEMP}", 4096, {{"TMPDIR", "/" + std::string(4095, 'd')}},
                 kValueMessage, ""},
        // The slashes of the value are stripped only after it was appended;
        // the whole value must fit first.
        StopCase{"TmpdirFitsOnlyWithoutSlashes", "{TEMP}", 5, {{"TMPDIR", "/tmp/"}},
                 kValueMessage, ""},
        StopCase{"PidOverCapacity", "x{PID}", 4, {{"TAVMIR_ONEFILE_PARENT", "123"}},
                 kValueMessage, "x"},
        StopCase{"TimeUsOverCapacity", "{TIME_US}", 6, {}, kValueMessage, ""},
        StopCase{"RandomOverCapacity", "{RANDOM}", 11, {}, kValueMessage, ""},
        StopCase{"ParentEmpty", "x{PID}", 64, {{"TAVMIR_ONEFILE_PARENT", ""}}, kParentMessage,
                 "x"},
        StopCase{"ParentWithLetter", "x{PID}", 64, {{"TAVMIR_ONEFILE_PARENT", "12a"}},
                 kParentMessage, "x"},
        StopCase{"ParentNegative", "x{PID}", 64, {{"TAVMIR_ONEFILE_PARENT", "-5"}},
                 kParentMessage, "x"},
        StopCase{"ParentWithBlank", "x{PID}", 64, {{"TAVMIR_ONEFILE_PARENT", " 5"}},
                 kParentMessage, "x"}),
    CaseLabel{});

}  // namespace
}  // namespace onefile::testing
