// The checks of what a launcher may carry: directory templates, its strings
// and the names and link texts of entries.
#include <gtest/gtest.h>

#include <cstring>

#include "tool/entry_name.h"
#include "tool/launcher_strings.h"
#include "tool/tool_error.h"

namespace onefile::testing {
namespace {

using tool::LauncherStrings;

// The message of checkLauncherStrings, empty when the strings pass.
std::string checkMessage(const LauncherStrings& strings) {
    try {
        tool::checkLauncherStrings(strings);
    } catch (const tool::ToolError& error) {
        return error.what();
    }
    return "";
}

std::string templateMessage(const std::string& templateText) {
    return checkMessage({templateText, "P", "1"});
}

// 2047 bytes, the most the field holds: levels of 255 bytes and a last one
// of 255 bytes less the rest.
std::string longestTemplate() {
    std::string text;
    while (text.size() + 256 <= 2047) text += std::string(255, 'a') + "/";
    text += std::string(2047 - text.size(), 'z');
    return text;
}

TEST(LauncherStringsTest, TemplatesTheLauncherAccepts) {
    const std::vector<std::string> accepted = {
        "{TEMP}/onefile_{PID}_{TIME_US}_{RANDOM}",
        "{temp}/{Pid}",                 // names ignore ASCII case
        "{A{TEMP}",                     // a second "{" starts the name again
        "abc{NOPE",                     // a name open at the end is dropped
        "}x}{PID}",                     // a "}" outside a name is literal text
        "/literal/only",
        "{TEMP}{PID}{TIME_US}{RANDOM}{PROGRAM}{PROGRAM_BASE}{PROGRAM_DIR}{HOME}{CACHE_DIR}{COMPANY}"
        "{PRODUCT}{VERSION}{FILE_VERSION}{PRODUCT_VERSION}{TIME}",
        longestTemplate(),
        // Literal runs of 255 bytes.
        std::string("{TEMP}/") + std::string(255, 'a') + "{RANDOM}" + std::string(255, 'b'),
        std::string("{") + std::string(300, 'x') + "{TEMP}/x",  // a restarted name is no literal text
    };
    for (const std::string& text : accepted) EXPECT_EQ(templateMessage(text), "") << text;
}

// Templates tried after the first share its field and its checks: each
// with its NUL and the empty one that ends the list must fit the 2048 bytes.
TEST(LauncherStringsTest, FallbackTemplatesAreCheckedLikeTheFirst) {
    const auto withFallbacks = [](std::vector<std::string> fallbacks) {
        LauncherStrings strings{"{TEMP}/a_{RANDOM}", "P", "1"};  // 17 bytes and its NUL
        strings.fallbackTemplates = std::move(fallbacks);
        return checkMessage(strings);
    };
    EXPECT_EQ(withFallbacks({"/var/tmp/b_{RANDOM}", "{HOME}/c_{RANDOM}"}), "");
    // Levels of 200 bytes: a template of `bytes` bytes that can be made.
    const auto levels = [](std::size_t bytes) {
        std::string text;
        while (text.size() < bytes) text += text.size() % 201 == 200 ? '/' : 'f';
        return text;
    };
    EXPECT_EQ(withFallbacks({levels(2028)}), "");
    EXPECT_EQ(withFallbacks({levels(2029)}),
              "--template: the templates take 2049 bytes with their NULs; at most 2048 bytes fit");
    EXPECT_NE(withFallbacks({"/ok_{RANDOM}", "{TEMP}/{NOPE}"}).find("unknown placeholder name \"NOPE\""),
              std::string::npos);
    EXPECT_EQ(withFallbacks({""}), "--template: empty directory template");
}

TEST(LauncherStringsTest, RefusedTemplatesNameTheirFault) {
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"", "--template: empty directory template"},
        {"{TEMP}/{NOPE}", "unknown placeholder name \"NOPE\""},
        {"{}", "unknown placeholder name \"\""},
        {"{TEMP }", "unknown placeholder name \"TEMP \""},
        {"{NOPE{TEMP}x{bad}", "unknown placeholder name \"bad\""},
        {"{T\xc3\x89MP}", "unknown placeholder name \"T\xc3\x89MP\""},
        {std::string("{") + std::string(1024, 'A') + "}", "unknown placeholder name \"AAAA"},
        {std::string(2048, 'a'), "--template: 2048 bytes do not fit; at most 2047 bytes"},
        {std::string("{TEMP}/") + std::string(256, 'a'),
         std::string("--template: the directory name \"") + std::string(32, 'a') +
             "...\" of 256 bytes cannot be created; at most 255 bytes fit one directory entry"},
        {std::string(256, 'r') + "/{RANDOM}", std::string("\"") + std::string(32, 'r') + "...\" of 256 bytes"},
        {std::string("{TEMP}/x_{PID}") + std::string(256, 'm') + "{RANDOM}", "of 256 bytes cannot be created"},
        {std::string("{TEMP}/a/") + std::string(300, 'm') + "/", "of 300 bytes cannot be created"},
    };
    for (const auto& [text, message] : refused) {
        const std::string actual = templateMessage(text);
        EXPECT_NE(actual.find(message), std::string::npos) << "template " << text.substr(0, 40) << ": " << actual;
    }
}

TEST(LauncherStringsTest, ProductAndVersionMustFitTheirFields) {
    const std::string t = "{TEMP}/x";
    EXPECT_EQ(checkMessage({t, std::string(1023, 'p'), std::string(1007, 'v')}), "");
    EXPECT_EQ(checkMessage({t, "", ""}), "");
    EXPECT_NE(checkMessage({t, std::string(1024, 'p'), "1"}).find("--product: 1024 bytes do not fit; at most 1023"),
              std::string::npos);
    EXPECT_NE(checkMessage({t, "p", std::string(1008, 'v')}).find("--version: 1008 bytes do not fit; at most 1007"),
              std::string::npos);
}

struct HazardCase {
    std::string templateText;
    std::vector<std::string> hazards;  // the start of each sentence, in order
};

TEST(LauncherStringsTest, TemplateHazardsAreFoundLevelByLevel) {
    const std::string last = "its last level '";
    const std::string underTemp = "the level '";
    const std::vector<HazardCase> cases = {
        {"{TEMP}/onefile_{PID}_{TIME_US}_{RANDOM}", {}},
        {"{temp}/x_{random}", {}},
        {"{TEMP}/x_{RANDOM}/", {}},                       // a trailing slash makes no level
        {"{TEMP}//x_{RanDom}", {}},
        {"{TEMP}/{RAN{RANDOM}", {}},                      // the second "{" restarts the name
        {"{HOME}/.cache/{PRODUCT}/{RANDOM}", {}},         // fixed levels, but not under {TEMP}
        {"{TEMP}/{RANDOM}/{PRODUCT}_{RANDOM}", {}},
        {"{TEMP}/myapp/{RANDOM}", {underTemp + "myapp' straight under {TEMP}"}},
        {"{TEMP}/{PRODUCT}/x_{RANDOM}", {underTemp + "{PRODUCT}' straight under {TEMP}"}},
        {"{Temp}/{PID}/{RANDOM}", {underTemp + "{PID}' straight under {TEMP}"}},
        {"{TEMP}/myapp", {last + "myapp' holds no {RANDOM}"}},
        {"{TEMP}", {last + "{TEMP}' holds no {RANDOM}"}},
        {"{HOME}/.x/{PRODUCT}", {last + "{PRODUCT}' holds no {RANDOM}"}},
        {"{TEMP}/onefile_{PID}_{TIME_US}", {last + "onefile_{PID}_{TIME_US}' holds no {RANDOM}"}},
        {"{TEMP}/x_{RANDOM", {last + "x_' holds no {RANDOM}"}},  // a name open at the end is dropped
        {"{TEMP}/a_{RANDOM}/fixed", {last + "fixed' holds no {RANDOM}"}},
        {"{TEMP}/shared/{PID}", {last + "{PID}' holds no {RANDOM}", underTemp + "shared' straight under {TEMP}"}},
        {"/", {last + "/' holds no {RANDOM}"}},
    };
    for (const HazardCase& c : cases) {
        SCOPED_TRACE(c.templateText);
        const std::vector<std::string> hazards = tool::findTemplateHazards(c.templateText);
        ASSERT_EQ(hazards.size(), c.hazards.size()) << (hazards.empty() ? "" : hazards.front());
        for (std::size_t i = 0; i < hazards.size(); ++i) EXPECT_EQ(hazards[i].rfind(c.hazards[i], 0), 0u) << hazards[i];
    }
}

// With --reuse the template names the holding directory, below which the
// launcher adds the version directory: its last level needs no {RANDOM},
// and is shared like the others when it stands straight under {TEMP}.
TEST(LauncherStringsTest, ReuseTemplatesHaveNoLastLevelHazard) {
    const std::string underTemp = "the level '";
    const std::string generalUse = "it names a directory of general use";
    const std::vector<HazardCase> cases = {
        {"{CACHE_DIR}/onefile/app", {}},
        {"{HOME}/.x/{PRODUCT}", {}},
        {"{TEMP}/myapp", {underTemp + "myapp' straight under {TEMP}"}},
        {"{TEMP}/{PRODUCT}/kept", {underTemp + "{PRODUCT}' straight under {TEMP}"}},
        {"/opt/app/cache", {}},
        {"/var/tmp/app", {}},
        // Directories of general use: the launcher never cleans them.
        {"{TEMP}", {generalUse}},
        {"{home}/", {generalUse}},
        {"{PROGRAM_DIR}", {generalUse}},
        {"{CACHE_DIR}", {generalUse}},
        {"/tmp", {generalUse}},
        {"/var/tmp/", {generalUse}},
        {"/", {generalUse}},
    };
    for (const HazardCase& c : cases) {
        SCOPED_TRACE(c.templateText);
        const std::vector<std::string> hazards = tool::findTemplateHazards(c.templateText, true);
        ASSERT_EQ(hazards.size(), c.hazards.size()) << (hazards.empty() ? "" : hazards.front());
        for (std::size_t i = 0; i < hazards.size(); ++i) EXPECT_EQ(hazards[i].rfind(c.hazards[i], 0), 0u) << hazards[i];
    }
}

TEST(LauncherStringsTest, PerRunPlaceholdersAreFoundAsWritten) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"{CACHE_DIR}/onefile/app", ""},
        {"{HOME}/{PRODUCT}/{VERSION}/{PROGRAM_BASE}", ""},
        {"{TEMP}/{PID}", "{PID}"},
        {"{TEMP}/x_{time}", "{time}"},
        {"{TEMP}/x_{Time_Us}", "{Time_Us}"},
        {"{HOME}/{RANDOM}/y", "{RANDOM}"},
        {"{HOME}/{RAN{PID}", "{PID}"},  // the second "{" restarts the name
        {"{HOME}/x{PID", ""},           // a name open at the end is dropped
    };
    for (const auto& [text, found] : cases) EXPECT_EQ(tool::findPerRunPlaceholder(text), found) << text;
}

TEST(LauncherStringsTest, HoldingNamesAreOneLiteralLevel) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"app", ""},
        {"My Product 2.0", ""},
        {"..app}", ""},
        {std::string(255, 'n'), ""},
        {"", "it is empty"},
        {".", "it names no directory of its own"},
        {"..", "it names no directory of its own"},
        {"a/b", "it holds a \"/\""},
        {"app{1}", "it holds a \"{\", which would start a placeholder"},
        {std::string(256, 'n'), "it has 256 bytes; at most 255 bytes fit one directory entry"},
    };
    for (const auto& [name, fault] : cases) EXPECT_EQ(tool::findHoldingNameFault(name), fault) << name;
}

TEST(EntryNameTest, NamesStayInsideTheExtractionDirectory) {
    const std::string component(255, 'n');
    const std::string longest = component + "/" + component + "/" + component + "/" + component;
    ASSERT_EQ(longest.size(), 1023u);
    for (const std::string& name : {std::string("a"), std::string("a/b/c"), std::string("..a/b.."),
                                    std::string(".hidden"), component, longest})
        EXPECT_EQ(tool::findEntryNameFault(name), "") << name;
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"", "empty name"},
        {"/abs", "empty component"},
        {"a//b", "empty component"},
        {"a/", "empty component"},
        {".", "\".\" component"},
        {"a/./b", "\".\" component"},
        {"..", "\"..\" component"},
        {"a/../../b", "\"..\" component"},
        {std::string(1024, 'n'), "name of 1024 bytes; it must be shorter than 1024 bytes"},
        // No file system the launcher writes to holds a longer directory entry.
        {std::string(256, 'n'), "name has a component of 256 bytes; at most 255 bytes fit one directory entry"},
        {std::string("lib/") + std::string(256, 'n') + "/x", "name has a component of 256 bytes"},
        {std::string("lib/") + std::string(700, 'n'), "name has a component of 700 bytes"},
    };
    for (const auto& [name, message] : refused)
        EXPECT_NE(tool::findEntryNameFault(name).find(message), std::string::npos) << name.substr(0, 40);
}

TEST(EntryNameTest, LinkTextsHoldOneTo1023Bytes) {
    EXPECT_EQ(tool::findLinkTextFault("../lib/x"), "");
    EXPECT_EQ(tool::findLinkTextFault(std::string(1023, 't')), "");
    EXPECT_EQ(tool::findLinkTextFault(""), "empty link text");
    EXPECT_NE(tool::findLinkTextFault(std::string(1024, 't')).find("link text of 1024 bytes"), std::string::npos);
}

}  // namespace
}  // namespace onefile::testing
