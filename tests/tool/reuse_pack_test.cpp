// pack --reuse and attach --reuse as a user runs them: what the launcher
// records (its tree mode, the default template of its holding directory),
// what info shows, and what is refused before anything is written.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "format/launcher_config.h"
#include "tests/support/file_helpers.h"
#include "tests/support/temp_dir.h"
#include "tests/tool/tool_test_helpers.h"
#include "tool/build_defaults.h"

namespace onefile::testing {
namespace {

inline constexpr int kFailureStatus = 1;

const std::string kScript = "#!/bin/sh\nexit 0\n";

class ReusePackTest : public ::testing::Test {
protected:
    ReusePackTest() : app_(dir_.file("app")), outDir_(dir_.file("out")) {
        writeFile(app_ + "/main", kScript, 0755);
        makeDirectories(outDir_);
    }

    ProcessResult pack(const std::string& output, std::vector<std::string> extra) {
        std::vector<std::string> arguments = {"pack", app_, "-o", output};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return runTool(arguments);
    }

    // The configuration area the launcher at `path` carries.
    static LauncherConfig configOf(const std::string& path) {
        const LauncherContents contents = readLauncher(path);
        LauncherConfig config;
        std::memcpy(&config, contents.file.data() + contents.blockOffset - sizeof config, sizeof config);
        return config;
    }

    TempDir dir_;
    std::string app_;
    std::string outDir_;
};

struct RecordedCase {
    const char* what;
    std::string output;  // below the output directory
    std::vector<std::string> options;
    std::string templateText;
    std::string fallback;  // the place after it; none when empty
};

// The holding directory is named when packing: after --product when given,
// else after the output file, so that two applications never share one.
TEST_F(ReusePackTest, RecordsTheModeAndTheHoldingDirectory) {
    const std::vector<RecordedCase> cases = {
        {"named after the output", "greet-py", {"--reuse"}, "{CACHE_DIR}/onefile/greet-py",
         "{TEMP}/onefile-{UID}/greet-py"},
        {"named after the product", "greet", {"--reuse", "--product", "My Tool 2"}, "{CACHE_DIR}/onefile/My Tool 2",
         "{TEMP}/onefile-{UID}/My Tool 2"},
        {"a template of the user's", "kept", {"--reuse", "--template", "{HOME}/.kept/{PRODUCT}"},
         "{HOME}/.kept/{PRODUCT}", ""},
        {"compressed", "small", {"--compress", "--reuse"}, "{CACHE_DIR}/onefile/small",
         "{TEMP}/onefile-{UID}/small"},
    };
    for (const RecordedCase& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string launcher = outDir_ + "/" + c.output;
        const ProcessResult result = pack(launcher, c.options);
        ASSERT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.err, "") << "no template hazard";
        const LauncherConfig config = configOf(launcher);
        EXPECT_EQ(config.treeMode, kTreeReused);
        EXPECT_EQ(config.digestKind, kDigestSha256);
        EXPECT_STREQ(config.directoryTemplate, c.templateText.c_str());
        const ProcessResult info = runTool({"info", launcher});
        EXPECT_NE(info.out.find("\ntemplate: " + c.templateText + "\n"), std::string::npos) << info.out;
        EXPECT_NE(info.out.find("\nreuse: true\n"), std::string::npos) << info.out;
        if (c.fallback.empty()) {
            EXPECT_EQ(info.out.find("\nfallback_template: "), std::string::npos) << info.out;
        } else {
            EXPECT_NE(info.out.find("\nfallback_template: " + c.fallback + "\n"), std::string::npos) << info.out;
        }
        const ProcessResult json = runTool({"info", "--json", launcher});
        EXPECT_NE(json.out.find(", \"reuse\": true, "), std::string::npos) << json.out;
        EXPECT_EQ(runTool({"verify", launcher}).exitCode, 0);
    }

    // Without --reuse the tree mode stays zero, as in launchers made before
    // it existed, and the template is the build's default.
    const std::string fresh = outDir_ + "/fresh";
    ASSERT_EQ(pack(fresh, {}).exitCode, 0);
    const LauncherConfig config = configOf(fresh);
    EXPECT_EQ(config.treeMode, kTreeFreshPerRun);
    EXPECT_STREQ(config.directoryTemplate, kDefaultDirectoryTemplate);
    EXPECT_NE(runTool({"info", "--json", fresh}).out.find(", \"reuse\": false, "), std::string::npos);

    // attach records the mode the same way.
    writeFile(dir_.file("block"), std::string("ZQX\0\4\0\0\0\0\0\0\0", 12), 0644);
    const std::string attached = outDir_ + "/attached";
    const ProcessResult result = runTool({"attach", dir_.file("block"), "-o", attached, "--reuse"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(configOf(attached).treeMode, kTreeReused);
    EXPECT_STREQ(configOf(attached).directoryTemplate, "{CACHE_DIR}/onefile/attached");
}

// A template of the holding directory may warn as any other, but never for
// a last level without {RANDOM}: the launcher adds its own level below it.
TEST_F(ReusePackTest, WarnsOnlyOfALevelSharedUnderTemp) {
    ProcessResult result = pack(outDir_ + "/shared", {"--reuse", "--template", "{TEMP}/myapp"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err.rfind("onefile: warning: template '{TEMP}/myapp': the level 'myapp' straight under {TEMP}", 0),
              0u)
        << result.err;
    EXPECT_EQ(result.err.find("holds no {RANDOM}, so its name is predictable"), std::string::npos) << result.err;
}

struct RefusedCase {
    const char* what;
    std::string output;  // below the output directory
    std::vector<std::string> options;
    std::string message;  // after "onefile: "
};

TEST_F(ReusePackTest, RefusesWhatWouldNeverFindItsTreeAgain) {
    const std::string outDir = outDir_;
    const std::vector<RefusedCase> cases = {
        {"{PID}", "a", {"--reuse", "--template", "{TEMP}/{PID}"},
         "--template: {PID} in \"{TEMP}/{PID}\" changes from run to run: with --reuse the next run would never "
         "find the kept tree"},
        {"{time}, any case", "a", {"--reuse", "--template", "{HOME}/x_{time}"}, "--template: {time} in "},
        {"{TIME_US}", "a", {"--template", "{HOME}/{TIME_US}/y", "--reuse"}, "--template: {TIME_US} in "},
        {"the fresh default template", "a", {"--reuse", "--template", "{TEMP}/onefile_{PID}_{TIME_US}_{RANDOM}"},
         "--template: {PID} in "},
        {"a product with a slash", "a", {"--reuse", "--product", "a/b"},
         "--product: \"a/b\" cannot name the directory of --reuse (it holds a \"/\"); give --template"},
        {"a product of two dots", "a", {"--reuse", "--product", ".."},
         "--product: \"..\" cannot name the directory of --reuse (it names no directory of its own); give "
         "--template"},
        {"an empty product", "a", {"--reuse", "--product", ""},
         "--product: \"\" cannot name the directory of --reuse (it is empty); give --template"},
        {"an output name with a brace", "app{1}", {"--reuse"},
         outDir + "/app{1}: \"app{1}\" cannot name the directory of --reuse (it holds a \"{\", which would start "
                  "a placeholder); give --template"},
    };
    for (const RefusedCase& c : cases) {
        SCOPED_TRACE(c.what);
        const ProcessResult result = pack(outDir_ + "/" + c.output, c.options);
        EXPECT_EQ(result.exitCode, kFailureStatus);
        EXPECT_EQ(result.err.rfind("onefile: " + c.message, 0), 0u) << result.err;
        EXPECT_EQ(listDirectory(outDir_), std::vector<std::string>{});
    }
}

// A stub of the first configuration layout records no digest, after which
// the kept tree is named: attach and pack refuse --reuse with it.
TEST_F(ReusePackTest, RefusesAStubWithoutADigest) {
    std::string stub = readFile(ONEFILE_STUB_PATH);
    const std::size_t at = stub.find("onefile-config-2");
    ASSERT_NE(at, std::string::npos);
    stub.replace(at, 16, "onefile-config-1");
    const std::string firstLayout = dir_.file("first-layout-stub");
    writeFile(firstLayout, stub, 0755);
    writeFile(dir_.file("block"), std::string("ZQX\0\4\0\0\0\0\0\0\0", 12), 0644);
    const std::string message = "onefile: " + firstLayout +
                                ": its configuration area has the first layout, which records no digest: --reuse "
                                "names the kept tree after the digest\n";
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"attach", dir_.file("block"), "-o", outDir_ + "/a", "--reuse", "--stub",
                                   firstLayout},
          std::vector<std::string>{"pack", app_, "-o", outDir_ + "/a", "--stub", firstLayout, "--reuse"}}) {
        SCOPED_TRACE(arguments.front());
        const ProcessResult result = runTool(arguments);
        EXPECT_EQ(result.exitCode, kFailureStatus);
        EXPECT_EQ(result.err, message);
        EXPECT_EQ(listDirectory(outDir_), std::vector<std::string>{});
        // Without --reuse the same stub is taken.
        std::vector<std::string> without = arguments;
        std::erase(without, "--reuse");
        EXPECT_EQ(runTool(without).exitCode, 0);
        std::filesystem::remove(outDir_ + "/a");
    }
}

// The first-run message is recorded in its field and shown by info; one
// that does not fit is refused before anything is written.
TEST_F(ReusePackTest, RecordsTheFirstRunMessageThatFits) {
    const std::string launcher = outDir_ + "/told";
    const std::string message = "Unpacking \"tool\", one moment.";
    ASSERT_EQ(pack(launcher, {"--reuse", "--first-run-message", message}).exitCode, 0);
    EXPECT_STREQ(configOf(launcher).firstRunMessage, message.c_str());
    EXPECT_NE(runTool({"info", launcher}).out.find("\nfirst_run_message: " + message + "\n"), std::string::npos);
    EXPECT_NE(runTool({"info", "--json", launcher}).out.find(", \"first_run_message\": \"Unpacking \\\"tool\\\", one moment.\""),
              std::string::npos)
        << runTool({"info", "--json", launcher}).out;

    const std::string tooLong = outDir_ + "/too-long";
    const ProcessResult refused = pack(tooLong, {"--first-run-message", std::string(512, 'm')});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err, "onefile: --first-run-message: 512 bytes do not fit; at most 511 bytes\n");
    EXPECT_FALSE(std::filesystem::exists(tooLong));
}

// pack --no-reclaim and attach --no-reclaim set the reclaim byte, which info
// shows; without it the byte stays zero, as in launchers made before it.
TEST_F(ReusePackTest, NoReclaimIsRecordedAndShown) {
    writeFile(dir_.file("block"), std::string("ZQX\0\4\0\0\0\0\0\0\0", 12), 0644);
    const std::string packed = outDir_ + "/packed";
    const std::string attached = outDir_ + "/attached";
    const std::string plain = outDir_ + "/plain";
    ASSERT_EQ(pack(packed, {"--no-reclaim"}).exitCode, 0);
    ASSERT_EQ(runTool({"attach", dir_.file("block"), "-o", attached, "--no-reclaim"}).exitCode, 0);
    ASSERT_EQ(pack(plain, {}).exitCode, 0);
    for (const std::string& launcher : {packed, attached}) {
        SCOPED_TRACE(launcher);
        EXPECT_EQ(configOf(launcher).reclaimMode, kReclaimNever);
        EXPECT_NE(runTool({"info", launcher}).out.find("\nreclaim: false\n"), std::string::npos);
        EXPECT_NE(runTool({"info", "--json", launcher}).out.find(", \"reclaim\": false,"), std::string::npos);
        EXPECT_EQ(runTool({"verify", launcher}).exitCode, 0);
    }
    EXPECT_EQ(configOf(plain).reclaimMode, kReclaimAbandoned);
    EXPECT_NE(runTool({"info", "--json", plain}).out.find(", \"reclaim\": true,"), std::string::npos);
    const ProcessResult twice = pack(outDir_ + "/twice", {"--no-reclaim", "--no-reclaim"});
    EXPECT_EQ(twice.exitCode, 2);
    EXPECT_NE(twice.err.find("--no-reclaim' given twice"), std::string::npos) << twice.err;
}

}  // namespace
}  // namespace onefile::testing
