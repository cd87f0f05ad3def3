#include "tool/exclude_patterns.h"

#include <fnmatch.h>

#include "tool/tool_error.h"

namespace onefile::tool {

ExcludePatterns::ExcludePatterns(const std::vector<std::string>& patterns) {
    for (const std::string& given : patterns) {
        Pattern pattern{given, given, false, false};
        while (!pattern.glob.empty() && pattern.glob.back() == '/') {
            pattern.glob.pop_back();
            pattern.directoriesOnly = true;
        }
        pattern.wholePath = pattern.glob.find('/') != std::string::npos;
        if (!pattern.glob.empty() && pattern.glob.front() == '/') pattern.glob.erase(0, 1);
        if (pattern.glob.empty()) throw UsageError("pack: --exclude '" + given + "' matches nothing");
        patterns_.push_back(std::move(pattern));
    }
}

const std::string* ExcludePatterns::findMatch(const std::string& relativePath, bool directory) const {
    const std::size_t slash = relativePath.rfind('/');
    const std::string name = slash == std::string::npos ? relativePath : relativePath.substr(slash + 1);
    for (const Pattern& pattern : patterns_) {
        if (pattern.directoriesOnly && !directory) continue;
        const bool matches = pattern.wholePath ? ::fnmatch(pattern.glob.c_str(), relativePath.c_str(), FNM_PATHNAME) == 0
                                               : ::fnmatch(pattern.glob.c_str(), name.c_str(), 0) == 0;
        if (matches) return &pattern.given;
    }
    return nullptr;
}

}  // namespace onefile::tool
