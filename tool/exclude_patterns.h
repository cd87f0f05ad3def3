// pack --exclude: glob patterns that leave paths below the application
// directory out of the launcher. A pattern without a slash is matched
// against the name of every file, link and directory at any depth (".git",
// "*.pyc"); one with a slash against the whole path relative to the
// application directory, where "*" and "?" stay within one level and a
// leading slash only anchors the pattern there ("/build" leaves out the top
// level's build alone). A trailing slash makes a pattern match directories
// only. A directory left out takes everything below it along.
#pragma once

#include <string>
#include <vector>

namespace onefile::tool {

class ExcludePatterns {
public:
    ExcludePatterns() = default;
    // Throws UsageError for a pattern that can match nothing: empty, or
    // only slashes.
    explicit ExcludePatterns(const std::vector<std::string>& patterns);

    bool empty() const { return patterns_.empty(); }

    // The pattern as given that leaves out `relativePath` (a directory when
    // `directory`), or nullptr when none does.
    const std::string* findMatch(const std::string& relativePath, bool directory) const;

private:
    struct Pattern {
        std::string given;
        std::string glob;
        bool wholePath = false;
        bool directoriesOnly = false;
    };
    std::vector<Pattern> patterns_;
};

}  // namespace onefile::tool
