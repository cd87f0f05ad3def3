// pack --exclude: which pattern leaves a path out, and patterns refused
// because they can match nothing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tool/exclude_patterns.h"
#include "tool/tool_error.h"

namespace onefile::testing {
namespace {

struct ExcludeCase {
    std::vector<std::string> patterns;
    std::string path;
    bool directory;
    const char* match;  // the pattern as given that leaves the path out, or nullptr
};

TEST(ExcludePatternsTest, FindMatch) {
    const std::vector<ExcludeCase> cases = {
        // A name pattern at any depth, for files, links and directories.
        {{".git"}, ".git", true, ".git"},
        {{".git"}, "src/vendor/.git", true, ".git"},
        {{".git"}, ".github", true, nullptr},
        {{".git"}, "git", false, nullptr},
        {{"*.pyc"}, "a.pyc", false, "*.pyc"},
        {{"*.pyc"}, "lib/x/y.pyc", false, "*.pyc"},
        {{"*.pyc"}, "odd.pyc", true, "*.pyc"},
        {{"*.pyc"}, "a.pyc.txt", false, nullptr},
        {{"*.pyc"}, "x.pyc/inside", false, nullptr},
        {{"?.o"}, "dir/a.o", false, "?.o"},
        {{"?.o"}, "ab.o", false, nullptr},
        {{"[ab].txt"}, "b.txt", false, "[ab].txt"},
        {{"[ab].txt"}, "c.txt", false, nullptr},
        {{"*"}, ".hidden", false, "*"},
        // A pattern with a slash is matched against the whole path; "*"
        // stays within one level.
        {{"lib/*.so"}, "lib/a.so", false, "lib/*.so"},
        {{"lib/*.so"}, "lib/sub/a.so", false, nullptr},
        {{"lib/*.so"}, "x/lib/a.so", false, nullptr},
        {{"*/cache"}, "a/cache", true, "*/cache"},
        {{"*/cache"}, "a/b/cache", true, nullptr},
        {{"docs/?"}, "docs/a", false, "docs/?"},
        // A leading slash only anchors.
        {{"/build"}, "build", true, "/build"},
        {{"/build"}, "build", false, "/build"},
        {{"/build"}, "src/build", true, nullptr},
        {{"/a/b"}, "a/b", false, "/a/b"},
        {{"/a/b"}, "x/a/b", false, nullptr},
        // A trailing slash: directories only.
        {{"cache/"}, "cache", true, "cache/"},
        {{"cache/"}, "deep/down/cache", true, "cache/"},
        {{"cache/"}, "cache", false, nullptr},
        {{"/out//"}, "out", true, "/out//"},
        {{"/out//"}, "out", false, nullptr},
        {{"docs/*/"}, "docs/api", true, "docs/*/"},
        {{"docs/*/"}, "docs/api", false, nullptr},
        // The first pattern that matches, as given.
        {{"*.log", "tmp/", "*"}, "tmp", true, "tmp/"},
        {{"*.log", "tmp/"}, "x.log", false, "*.log"},
        {{"*.log", "tmp/"}, "tmp", false, nullptr},
        {{}, "anything", false, nullptr},
    };
    for (const ExcludeCase& c : cases) {
        SCOPED_TRACE(c.path + (c.directory ? " (directory) " : " ") + ::testing::PrintToString(c.patterns));
        const tool::ExcludePatterns patterns(c.patterns);
        EXPECT_EQ(patterns.empty(), c.patterns.empty());
        const std::string* found = patterns.findMatch(c.path, c.directory);
        if (c.match == nullptr) {
            EXPECT_EQ(found, nullptr) << *found;
        } else {
            ASSERT_NE(found, nullptr);
            EXPECT_EQ(*found, c.match);
        }
    }
}

TEST(ExcludePatternsTest, PatternsThatMatchNothingAreUsageErrors) {
    for (const std::vector<std::string>& patterns : std::vector<std::vector<std::string>>{
             {""}, {"/"}, {"///"}, {"*.pyc", "/"}}) {
        SCOPED_TRACE(::testing::PrintToString(patterns));
        try {
            (void)tool::ExcludePatterns(patterns);
            ADD_FAILURE() << "accepted";
        } catch (const tool::UsageError& error) {
            EXPECT_EQ(std::string(error.what()), "pack: --exclude '" + patterns.back() + "' matches nothing");
        }
    }
}

}  // namespace
}  // namespace onefile::testing
