// What the tests of launchers made with pack --reuse share: launchers of
// the probe whose holding directory lies in the test's own cache directory
// (XDG_CACHE_HOME), the name of their version directory, what the holding
// directory holds, and runs started together.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/supervision_support.h"

namespace onefile::e2e {

// Whether `name` has the form of a working directory: "." and 16 hex
// digits, "-" and an 11-character token.
bool isWorkingDirectoryName(const std::string& name);

// Names in `directory`, sorted; none when it does not exist.
std::vector<std::string> namesIn(const std::string& directory);

// The mark a launcher leaves in a holding directory it made for itself.
inline constexpr char kHoldingMark[] = ".onefile-holding";

// Names in the holding directory `directory` but its mark, sorted.
std::vector<std::string> treesIn(const std::string& directory);

// The version directory of `launcher`: the first 16 hexadecimal digits of
// the digest that `onefile info` shows.
std::string versionNameOf(const std::string& launcher);

class ReuseTest : public SupervisionTest {
protected:
    // XDG_CACHE_HOME of every run.
    std::string cacheDir() const { return temp().file("cache"); }
    // The holding directory of the default template for the launcher `name`.
    std::string holdingDir(const std::string& name = "launcher") const { return cacheDir() + "/onefile/" + name; }

    // Packs appDir() with --reuse and `options` into temp()/name.
    std::string packReused(const std::vector<std::string>& options = {}, const std::string& name = "launcher");

    // A foreground run's options: the fixture's, with XDG_CACHE_HOME.
    onefile::testing::ProcessOptions reuseOptions() const;
    // A background run's options: startOptions() with XDG_CACHE_HOME.
    StartOptions reuseStartOptions() const;

    // Starts `count` runs of `launcher` at once: each is held at a gate
    // until all have started, then all are let go together. Run i reports
    // to reportOf(i). Returns them running.
    std::vector<std::unique_ptr<StartedLauncher>> startTogether(const std::string& launcher, int count);
    std::string reportOf(int run) const { return temp().file("report-together-" + std::to_string(run)); }
};

}  // namespace onefile::e2e
