// What the end-to-end tests of the launcher share: launchers built by the
// real onefile tool from an application directory or from a hand-made block,
// runs of them with a private TMPDIR, and the probe's report read back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"

namespace onefile::e2e {

// The built probe application (tests/probe).
inline constexpr char kProbePath[] = ONEFILE_PROBE_PATH;

// The tests' stub with hooks (tests/hooks/launcher_hooks.c): a launcher made
// from it makes chosen calls fail or raises a signal inside one, as its
// ONEFILE_HOOK_* environment variables ask.
inline constexpr char kHookStubPath[] = ONEFILE_HOOK_STUB_PATH;

// Entry flag bits of the block format.
inline constexpr std::uint8_t kExecutable = 0x01;
inline constexpr std::uint8_t kLink = 0x02;

// The directory template of launchers built with the tool's defaults.
inline constexpr char kDefaultTemplate[] = "{TEMP}/onefile_{PID}_{TIME_US}_{RANDOM}";

// The bytes of a hand-made attached block, put together field by field so
// that a test can break any of them. A well-formed block is
//   BlockBuilder().magic().file(...)...endMark().trailer()
class BlockBuilder {
public:
    BlockBuilder& magic(const std::string& bytes = "ZQX");
    // A complete file entry: name, flags, content size, content.
    BlockBuilder& file(const std::string& name, const std::string& content, std::uint8_t flags = 0);
    // A complete link entry: name, flags (link bit added), link text.
    BlockBuilder& link(const std::string& name, const std::string& text, std::uint8_t flags = kLink);
    BlockBuilder& endMark();
    // The length trailer: the number of bytes written so far.
    BlockBuilder& trailer();
    // Single fields: text and its NUL, one byte, a little-endian u64, raw bytes.
    BlockBuilder& text(const std::string& value);
    BlockBuilder& byte(std::uint8_t value);
    BlockBuilder& number(std::uint64_t value);
    BlockBuilder& raw(const std::string& bytes);

    const std::string& bytes() const { return bytes_; }
    std::size_t size() const { return bytes_.size(); }

private:
    std::string bytes_;
};

// What the probe reported about its run ("key=value" lines, unescaped).
struct ProbeReport {
    bool complete = false;  // the closing "end=" line was read
    std::string self;       // the probe's /proc/self/exe
    std::vector<std::string> arguments;
    std::map<std::string, std::string> environment;
    std::string blocked;    // blocked signal numbers, "2,15," style
    std::string cwd;
    long parentProcessId = 0;
    std::string directory;  // the directory holding the probe
    std::string directoryMode;  // its mode, "0700" style
    // One line per entry below the directory, sorted by path:
    // "file MODE SIZE PATH", "dir MODE PATH" or "link MODE PATH -> TEXT".
    std::vector<std::string> tree;

    // The value of an environment variable the probe saw, if set.
    std::optional<std::string> variable(const std::string& name) const;
};

ProbeReport parseProbeReport(const std::string& text);

// Process options that set the hooks' controls (ONEFILE_HOOK_* variables and
// their values) for a launcher made with LauncherTest::packWithHooks.
inline onefile::testing::ProcessOptions withHooks(std::map<std::string, std::string> controls) {
    onefile::testing::ProcessOptions options;
    options.setEnvironment = std::move(controls);
    return options;
}

struct LauncherRun {
    onefile::testing::ProcessResult process;
    ProbeReport report;  // report.complete is false when no probe reported
};

// The lines of a made log (ONEFILE_HOOK_MADE_LOG of the stub with hooks);
// none when the run made nothing.
std::vector<std::string> readMadeLog(const std::string& path);

// Whether a made log starts with the extraction directory, allowed[0], and
// holds nothing else that `allowed` does not list. With writer threads (a
// payload of 1 MiB or more on several processors) the entries before a
// fatal error may or may not be written yet when the run stops, and
// directories are made ahead of files, so a record is checked against what
// the run may have made, not against one order.
::testing::AssertionResult madeOnly(const std::vector<std::string>& made, const std::vector<std::string>& allowed);

// The tool's result, for tests of how a command went.
onefile::testing::ProcessResult runTool(const std::vector<std::string>& arguments);

// Each test gets a private directory holding the application directory, the
// launchers, the probe reports and the TMPDIR of every run. TearDown fails
// the test if anything is left in that TMPDIR, unless the test expected
// leftovers (allowLeftovers).
class LauncherTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    const onefile::testing::TempDir& temp() const { return temp_; }
    // TMPDIR of every run unless the run's options set or unset it.
    std::string tmpDir() const { return temp_.file("tmp"); }
    // The application directory that pack() packs.
    std::string appDir() const { return temp_.file("app"); }

    // Copies the probe to appDir()/relative with mode 0755; returns the path.
    std::string addProbe(const std::string& relative = "probe");
    // Packs appDir() with the real tool into temp()/name and returns the
    // launcher's path; toolOptions go after the output (--main, --template...).
    std::string pack(const std::vector<std::string>& toolOptions = {},
                     const std::string& name = "launcher");
    // pack() with the tests' stub with hooks in place of the tool's own stub.
    std::string packWithHooks(const std::vector<std::string>& toolOptions = {},
                              const std::string& name = "launcher");
    // Writes `block` to a file and attaches it byte for byte with the real
    // tool; returns the launcher's path.
    std::string attach(const std::string& block, const std::vector<std::string>& toolOptions = {},
                       const std::string& name = "launcher");

    // Runs argv (argv[0] as typed: the launcher's path, or a relative name
    // with options.workingDirectory) and reads the probe's report. Defaults
    // that options override: TMPDIR = tmpDir(), PROBE_REPORT = a file in
    // temp(), working directory temp(); the launch protocol's variables of
    // the test's own environment are removed.
    LauncherRun run(const std::vector<std::string>& argv, onefile::testing::ProcessOptions options = {});

    // Names directly in tmpDir(), sorted.
    std::vector<std::string> tmpDirContents() const;
    // The run left files in tmpDir() on purpose; TearDown does not check.
    void allowLeftovers() { leftoversAllowed_ = true; }

private:
    onefile::testing::TempDir temp_;
    bool leftoversAllowed_ = false;
    int runs_ = 0;
};

}  // namespace onefile::e2e
