// A fresh private directory for one test, removed with everything in it when
// the object goes.
#pragma once

#include <string>

namespace onefile::testing {

class TempDir {
public:
    // Creates a directory under $TMPDIR, or /tmp when that is unset or empty.
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();

    const std::string& path() const { return path_; }
    // path() + "/" + relative
    std::string file(const std::string& relative) const;

private:
    std::string path_;
};

}  // namespace onefile::testing
