// The onefile tool as a user runs it: pack, attach and list on real
// directories, their refusals, and the command line.
#include <elf.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "format/launcher_config.h"
#include "tests/support/file_helpers.h"
#include "tests/support/temp_dir.h"
#include "tests/tool/tool_test_helpers.h"
#include "tool/build_defaults.h"
#include "tool/payload_locate.h"
#include "tool/stub_layout.h"

namespace onefile::testing {
namespace {

inline constexpr int kFailureStatus = 1;
inline constexpr int kUsageStatus = 2;
inline constexpr uid_t kNobody = 65534;

const std::string kScript = "#!/bin/sh\nexit 0\n";

const BuiltStub& builtStubFor(tool::Architecture architecture) {
    for (const BuiltStub& stub : builtStubs())
        if (stub.architecture == architecture) return stub;
    throw std::runtime_error("no stub for " + archName(architecture));
}

// A copy of the ELF file `from` whose header names another machine.
std::string copyForMachine(const std::string& from, const std::string& to, std::uint16_t machine) {
    std::string bytes = readFile(from);
    std::memcpy(bytes.data() + offsetof(Elf64_Ehdr, e_machine), &machine, sizeof machine);
    writeFile(to, bytes, 0755);
    return to;
}

class PackTest : public ::testing::Test {
protected:
    PackTest() : app_(dir_.file("app")), outDir_(dir_.file("out")), launcher_(outDir_ + "/launcher") {
        makeDirectories(app_);
        makeDirectories(outDir_);
    }

    ProcessResult pack(std::vector<std::string> extra = {}, const ProcessOptions& options = {}) {
        std::vector<std::string> arguments = {"pack", app_, "-o", launcher_};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return runTool(arguments, options);
    }

    // The lines `onefile list` prints for the launcher.
    std::string list(const std::string& launcher) {
        const ProcessResult result = runTool({"list", launcher});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return result.out;
    }

    void writeApp(const std::string& relative, const std::string& content, mode_t mode) {
        writeFile(app_ + "/" + relative, content, mode);
    }

    TempDir dir_;
    std::string app_;
    std::string outDir_;
    std::string launcher_;
};

TEST_F(PackTest, CarriesEveryFileAndLinkMainFirstThenInByteOrder) {
    const std::string large(300 * 1024, 'L');
    writeApp("zmain", kScript, 0755);
    writeApp("a.txt", "text", 0644);
    writeApp("a/b", "", 0600);
    writeApp("B", "upper", 0644);
    writeApp("lib/x.so.1", large, 0755);
    writeApp("lib/only-other-x", "o", 0601);
    makeSymlink("x.so.1", app_ + "/lib/x.so");
    makeSymlink("lib", app_ + "/dirlink");
    makeSymlink("nowhere", app_ + "/dangling");
    writeApp("\xc3\xa9t\xc3\xa9", "utf8", 0644);
    writeApp("with\ttab", "tabs", 0644);

    const ProcessResult result = pack();
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(list(launcher_),
              "file\tx\t17\tzmain\n"
              "file\t-\t5\tB\n"
              "file\t-\t4\ta.txt\n"
              "file\t-\t0\ta/b\n"
              "link\t-\tnowhere\tdangling\n"
              "link\t-\tlib\tdirlink\n"
              "file\tx\t1\tlib/only-other-x\n"
              "link\t-\tx.so.1\tlib/x.so\n"
              "file\tx\t307200\tlib/x.so.1\n"
              "file\t-\t4\twith\\ttab\n"
              "file\t-\t4\t\xc3\xa9t\xc3\xa9\n");
    const LauncherContents contents = readLauncher(launcher_);
    EXPECT_EQ(contents.blockOffset % 4096, 0u);
    for (std::size_t i = 0; i < contents.entries.size(); ++i) {
        if (contents.entries[i].kind == tool::EntryKind::file) {
            EXPECT_EQ(contents.content(i), readFile(app_ + "/" + contents.entries[i].name)) << contents.entries[i].name;
        }
    }
}

// Two trees with the same content, made in opposite order with other times
// and packed under other umasks, give the same bytes.
TEST_F(PackTest, SameTreeGivesIdenticalBytes) {
    const std::vector<std::pair<std::string, std::string>> files = {
        {"main", kScript}, {"lib/a.so", std::string(400000, 'a')}, {"lib/b.so", "b"}, {"share/x/y", "y"}};
    const std::string otherApp = dir_.file("other");
    for (const auto& [name, content] : files) writeFile(app_ + "/" + name, content, 0755);
    for (auto it = files.rbegin(); it != files.rend(); ++it) writeFile(otherApp + "/" + it->first, it->second, 0755);
    makeSymlink("a.so", app_ + "/lib/c.so");
    makeSymlink("a.so", otherApp + "/lib/c.so");
    const timespec past[2] = {{1000000, 0}, {1000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (otherApp + "/main").c_str(), past, 0), 0);

    ProcessOptions tight;
    tight.umask = 077;
    ASSERT_EQ(pack({"--main", "main"}).exitCode, 0);
    ASSERT_EQ(runTool({"pack", app_, "-o", outDir_ + "/again"}).exitCode, 0);
    ASSERT_EQ(runTool({"pack", otherApp, "-o", outDir_ + "/other"}, tight).exitCode, 0);
    const std::string first = readFile(launcher_);
    EXPECT_TRUE(first == readFile(outDir_ + "/again"));
    EXPECT_TRUE(first == readFile(outDir_ + "/other"));
}

struct MainCase {
    const char* what;
    std::vector<std::pair<std::string, mode_t>> files;  // mode 0: a link to "target"
    std::vector<std::string> arguments;
    int exitCode;
    std::string firstLineOrMessage;  // the first list line, or the stderr text
};

TEST_F(PackTest, ChoosesOrRefusesTheMainExecutable) {
    const std::vector<MainCase> cases = {
        {"the only top-level executable", {{"tool", 0755}, {"lib/helper", 0755}, {"data", 0644}}, {}, 0,
         "file\tx\t17\ttool"},
        {"executable for others only", {{"tool", 0701}, {"data", 0644}}, {}, 0, "file\tx\t17\ttool"},
        {"a top-level link is no candidate", {{"tool", 0755}, {"target", 0755}, {"alias", 0}}, {}, kFailureStatus,
         "2 executable files at the top level (target, tool); name the main executable with --main"},
        {"no top-level executable", {{"data", 0644}, {"bin/tool", 0755}}, {}, kFailureStatus,
         "app: no executable regular file at the top level; name the main executable with --main"},
        {"--main in a subdirectory", {{"a", 0755}, {"b", 0755}, {"bin/tool", 0755}}, {"--main", "bin/tool"}, 0,
         "file\tx\t17\tbin/tool"},
        {"--main with . and //", {{"bin/tool", 0755}}, {"--main=./bin//tool"}, 0, "file\tx\t17\tbin/tool"},
        {"--main missing", {{"tool", 0755}}, {"--main", "tool2"}, kFailureStatus,
         "app/tool2: main executable not found: No such file or directory"},
        {"--main not executable", {{"tool", 0755}, {"data", 0644}}, {"--main", "data"}, kFailureStatus,
         "app/data: main executable has no execute permission; chmod +x it, or let a wrapper start it with an "
         "interpreter the launcher carries (see examples/recipes)"},
        {"--main a JavaScript file not executable", {{"index.js", 0644}}, {"--main", "index.js"}, kFailureStatus,
         "app/index.js: main executable has no execute permission; chmod +x it, or let a wrapper start it with "
         "an interpreter the launcher carries (examples/recipes/node)"},
        {"--main a Python file not executable", {{"cli.py", 0600}}, {"--main", "cli.py"}, kFailureStatus,
         "app/cli.py: main executable has no execute permission; chmod +x it, or let a wrapper start it with an "
         "interpreter the launcher carries (examples/recipes/python)"},
        {"--main a directory", {{"bin/tool", 0755}}, {"--main", "bin"}, kFailureStatus,
         "app/bin: main executable is a directory"},
        {"--main a link", {{"target", 0755}, {"alias", 0}}, {"--main", "alias"}, kFailureStatus,
         "app/alias: main executable is a symbolic link; name the file it leads to with --main"},
        {"--main through a linked directory", {{"target", 0755}, {"real/tool", 0755}, {"linked", 0}},
         {"--main", "linked/tool"}, kFailureStatus, "app/linked/tool: main executable is not a file of the"},
        {"--main outside", {{"tool", 0755}}, {"--main", "../app/tool"}, kFailureStatus,
         "--main ../app/tool: must name a file inside the application directory"},
        {"--main absolute", {{"tool", 0755}}, {"--main", "/bin/sh"}, kFailureStatus,
         "--main /bin/sh: must be a path relative to the application directory"},
    };
    for (const MainCase& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir caseDir;
        const std::string app = caseDir.file("app");
        for (const auto& [name, mode] : c.files) {
            if (mode == 0) makeSymlink(name == "linked" ? "real" : "target", app + "/" + name);
            else writeFile(app + "/" + name, kScript, mode);
        }
        std::vector<std::string> arguments = {"pack", app, "-o", caseDir.file("launcher")};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const ProcessResult result = runTool(arguments);
        EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
        if (c.exitCode == 0) {
            const std::string listing = list(caseDir.file("launcher"));
            EXPECT_EQ(listing.substr(0, listing.find('\n')), c.firstLineOrMessage);
        } else {
            EXPECT_NE(result.err.find(c.firstLineOrMessage), std::string::npos) << result.err;
            EXPECT_EQ(result.err.rfind("onefile: ", 0), 0u) << result.err;
            EXPECT_EQ(listDirectory(caseDir.path()), std::vector<std::string>{"app"});
        }
    }
}

struct InterpreterCase {
    const char* what;
    std::string content;  // of the main executable, "main.js"
    std::string asked;    // the '#!' line's text the warning quotes; empty: no warning
    std::string program;  // the program the warning names
    std::string recipe;   // what the warning points to
};

// A script main whose '#!' line asks for a program from outside the
// application directory is packed with a warning that names the program, for
// a directory and for a single file alike; /bin/sh and anything but a '#!'
// line get none.
TEST_F(PackTest, WarnsOfAScriptMainThatNeedsAProgramFromOutside) {
    const std::string node = "examples/recipes/node carries one";
    const std::string python = "examples/recipes/python carries one";
    const std::string other = "the recipes in examples/recipes show how to carry an interpreter";
    const std::vector<InterpreterCase> cases = {
        {"env node", "#!/usr/bin/env node\nconsole.log(1)\n", "/usr/bin/env node", "node", node},
        {"env node, no line end", "#!/usr/bin/env node", "/usr/bin/env node", "node", node},
        {"python by path, with an option", "#!/usr/bin/python3.11 -u\n", "/usr/bin/python3.11 -u",
         "/usr/bin/python3.11", python},
        {"env -S with a setting", "#!/usr/bin/env -S LANG=C python3 -u\n", "/usr/bin/env -S LANG=C python3 -u",
         "python3", python},
        {"nodejs", "#!/usr/bin/nodejs\n", "/usr/bin/nodejs", "/usr/bin/nodejs", node},
        {"bash, blanks around", "#! \t/bin/bash \t\nexit 0\n", "/bin/bash", "/bin/bash", other},
        {"a relative path", "#!bin/node\n", "bin/node", "bin/node", node},
        {"env alone", "#!/usr/bin/env\n", "/usr/bin/env", "/usr/bin/env", other},
        {"a control character", "#!/opt/a\x01" "b\n", "/opt/a\\x01b", "/opt/a\\x01b", other},
        {"/bin/sh", "#!/bin/sh\nexit 0\n", "", "", ""},
        {"/bin/sh with an option", "#! /bin/sh -e\n", "", "", ""},
        {"env sh", "#!/usr/bin/env sh\n", "", "", ""},
        {"sh by a relative path", "#!sh\n", "sh", "sh", other},
        {"nothing after #!", "#!\n/usr/bin/env node\n", "", "", ""},
        {"no #! line", "echo '#!/usr/bin/env node'\n", "", "", ""},
        {"an ELF file", std::string("\x7f" "ELF\x02\x01\x01\0", 8), "", "", ""},
    };
    for (const InterpreterCase& c : cases) {
        SCOPED_TRACE(c.what);
        for (const bool singleFile : {false, true}) {
            TempDir caseDir;
            const std::string app = caseDir.file("app");
            writeFile(app + "/main.js", c.content, 0755);
            writeFile(app + "/lib/data", "data", 0644);
            const std::string input = singleFile ? app + "/main.js" : app;
            const ProcessResult result = runTool({"pack", input, "-o", caseDir.file("launcher")});
            ASSERT_EQ(result.exitCode, 0) << result.err;
            EXPECT_EQ(result.out, "");
            const std::string expected =
                c.asked.empty() ? ""
                                : "onefile: warning: " + app + "/main.js: its first line asks for '" + c.asked +
                                      "', which is not inside the application directory; the machine that runs "
                                      "the launcher must have " + c.program + " (" + c.recipe + ")\n";
            EXPECT_EQ(result.err, expected) << (singleFile ? "single file" : "directory");
            const std::string listing = list(caseDir.file("launcher"));
            EXPECT_EQ(listing.substr(0, listing.find('\t', 7)), "file\tx\t" + std::to_string(c.content.size()));
        }
    }
}

TEST_F(PackTest, SingleExecutableFileIsCarriedUnderItsBaseName) {
    writeFile(dir_.file("bin/tool"), kScript, 0750);
    makeSymlink("tool", dir_.file("bin/alias"));
    ASSERT_EQ(runTool({"pack", dir_.file("bin/tool"), "-o", launcher_}).exitCode, 0);
    EXPECT_EQ(list(launcher_), "file\tx\t17\ttool\n");
    ASSERT_EQ(runTool({"pack", dir_.file("bin/alias"), "-o", launcher_}).exitCode, 0);
    EXPECT_EQ(list(launcher_), "file\tx\t17\talias\n");
    EXPECT_EQ(readLauncher(launcher_).content(0), kScript);

    writeFile(dir_.file("bin/data"), "x", 0644);
    const ProcessResult notExecutable = runTool({"pack", dir_.file("bin/data"), "-o", outDir_ + "/x"});
    EXPECT_EQ(notExecutable.exitCode, kFailureStatus);
    EXPECT_NE(notExecutable.err.find("bin/data: main executable has no execute permission"), std::string::npos);
    const ProcessResult withMain = runTool({"pack", dir_.file("bin/tool"), "--main", "tool", "-o", outDir_ + "/x"});
    EXPECT_EQ(withMain.exitCode, kUsageStatus);
    EXPECT_EQ(listDirectory(outDir_), std::vector<std::string>{"launcher"});
}

TEST_F(PackTest, EmptyDirectoriesAreReportedAndLeftOut) {
    writeApp("main", kScript, 0755);
    writeApp("lib/a", "a", 0644);
    makeDirectories(app_ + "/x/empty");
    makeDirectories(app_ + "/y/a/b");
    makeDirectories(app_ + "/lib/none");
    const ProcessResult result = pack();
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "onefile: " + app_ + "/lib/none: empty directory, not carried\n" +
                              "onefile: " + app_ + "/x: empty directory, not carried\n" +
                              "onefile: " + app_ + "/y: empty directory, not carried\n");
    EXPECT_EQ(list(launcher_), "file\tx\t17\tmain\nfile\t-\t1\tlib/a\n");
}

// Each case sets up the application directory; the command must fail with
// the message, and leave the output directory as it was.
struct Refusal {
    const char* what;
    std::function<void(const std::string& app)> setUp;
    std::vector<std::string> arguments;
    std::string message;  // "APP" stands for the application directory
};

TEST_F(PackTest, RefusesBeforeWritingAnything) {
    const std::string deep = std::string(200, 'd') + "/" + std::string(200, 'd') + "/" + std::string(200, 'd') + "/" +
                             std::string(200, 'd') + "/" + std::string(200, 'd');
    const std::vector<Refusal> refusals = {
        {"name of 1024 bytes", [&](const std::string& app) { writeFile(app + "/" + deep + "/" + std::string(19, 'f'), "", 0644); },
         {}, "APP/" + deep + "/" + std::string(19, 'f') + ": name of 1024 bytes; it must be shorter than 1024 bytes"},
        {"link text of 1024 bytes", [](const std::string& app) { makeSymlink(std::string(1024, 't'), app + "/long"); },
         {}, "APP/long: link text of 1024 bytes; it must be shorter than 1024 bytes"},
        {"fifo", [](const std::string& app) { ASSERT_EQ(::mkfifo((app + "/pipe").c_str(), 0644), 0); }, {},
         "APP/pipe: is a fifo; only regular files, symbolic links and directories can be carried"},
        {"socket", [](const std::string& app) {
             const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
             sockaddr_un address{};
             address.sun_family = AF_UNIX;
             const std::string path = app + "/sock";
             ASSERT_LT(path.size(), sizeof address.sun_path);
             std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
             ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
             ::close(fd);
         }, {}, "APP/sock: is a socket"},
        {"missing directory", [](const std::string& app) { std::filesystem::remove_all(app); }, {},
         "APP: cannot be examined: No such file or directory"},
        {"nothing to carry", [](const std::string& app) {
             ASSERT_EQ(::unlink((app + "/main").c_str()), 0);
             makeDirectories(app + "/only/empty");
         }, {},
         "APP: holds no regular file or symbolic link to carry"},
        {"unknown placeholder", nullptr, {"--template", "{TEMP}/{Nope}_{PID}"},
         "--template: unknown placeholder name \"Nope\""},
        {"empty template", nullptr, {"--template", ""}, "--template: empty directory template"},
        {"template too long", nullptr, {"--template", std::string(2048, 't')}, "--template: 2048 bytes do not fit"},
        {"product too long", nullptr, {"--product", std::string(1024, 'p')}, "--product: 1024 bytes do not fit"},
        {"version too long", nullptr, {"--version", std::string(1008, 'v')}, "--version: 1008 bytes do not fit"},
        {"not a stub", nullptr, {"--stub", "/bin/sh"}, "/bin/sh: not a usable launcher stub:"},
        {"output is a directory", [](const std::string& app) { makeDirectories(app + "/../out/launcher"); }, {},
         "out/launcher: is a directory"},
    };
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.what);
        TempDir caseDir;
        const std::string app = caseDir.file("app");
        const std::string out = caseDir.file("out");
        writeFile(app + "/main", kScript, 0755);
        makeDirectories(out);
        writeFile(out + "/keep", "old", 0644);
        if (refusal.setUp) refusal.setUp(app);
        const std::vector<std::string> before = listDirectory(out);
        std::vector<std::string> arguments = {"pack", app, "-o", out + "/launcher"};
        arguments.insert(arguments.end(), refusal.arguments.begin(), refusal.arguments.end());
        const ProcessResult result = runTool(arguments);
        EXPECT_EQ(result.exitCode, kFailureStatus);
        std::string message = refusal.message;
        if (message.rfind("APP", 0) == 0) message.replace(0, 3, app);
        EXPECT_NE(result.err.find("onefile: "), std::string::npos) << result.err;
        EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
        EXPECT_EQ(listDirectory(out), before);
        EXPECT_EQ(readFile(out + "/keep"), "old");
    }
}

TEST_F(PackTest, NamesAndLinkTextsOf1023BytesAreCarried) {
    const std::string deep = std::string(200, 'd') + "/" + std::string(200, 'd') + "/" + std::string(200, 'd') + "/" +
                             std::string(200, 'd') + "/" + std::string(200, 'd');
    writeApp("main", kScript, 0755);
    writeApp(deep + "/" + std::string(18, 'f'), "f", 0644);
    makeSymlink(std::string(1023, 't'), app_ + "/long");
    ASSERT_EQ(pack().exitCode, 0);
    const LauncherContents contents = readLauncher(launcher_);
    ASSERT_EQ(contents.entries.size(), 3u);
    EXPECT_EQ(contents.entries[1].name.size(), 1023u);
    EXPECT_EQ(contents.entries[2].linkText.size(), 1023u);
}

TEST_F(PackTest, RefusesADeviceFile) {
    writeApp("main", kScript, 0755);
    if (::mknod((app_ + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
        GTEST_SKIP() << "cannot create a device file here: " << std::strerror(errno);
    const ProcessResult result = pack();
    EXPECT_EQ(result.exitCode, kFailureStatus);
    EXPECT_NE(result.err.find(app_ + "/null: is a character device"), std::string::npos) << result.err;
    EXPECT_EQ(listDirectory(outDir_), std::vector<std::string>{});
}

// Permission bits do not stop root, so as root the tool runs as nobody. The
// build tree may lie below a directory that nobody cannot search (a checkout
// in root's home), so nobody runs a copy of the tool in the test's directory.
TEST_F(PackTest, RefusesAFileOrDirectoryThatCannotBeRead) {
    ProcessOptions options;
    std::string tool = ONEFILE_TOOL_PATH;
    if (::geteuid() == 0) {
        options.userId = kNobody;
        options.groupId = kNobody;
        ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
        ASSERT_EQ(::chown(outDir_.c_str(), kNobody, kNobody), 0);
        tool = dir_.file("onefile");
        std::filesystem::copy_file(ONEFILE_TOOL_PATH, tool);
        ASSERT_EQ(::chmod(tool.c_str(), 0755), 0);
    }
    const auto packWithTool = [&] { return runProcess({tool, "pack", app_, "-o", launcher_}, options); };
    writeApp("main", kScript, 0755);
    writeApp("secret", "s", 0600);
    ASSERT_EQ(::chmod((app_ + "/secret").c_str(), 0), 0);
    ProcessResult result = packWithTool();
    EXPECT_EQ(result.exitCode, kFailureStatus);
    EXPECT_NE(result.err.find(app_ + "/secret: cannot be read: Permission denied"), std::string::npos) << result.err;

    ASSERT_EQ(::unlink((app_ + "/secret").c_str()), 0);
    makeDirectories(app_ + "/closed/inner");
    ASSERT_EQ(::chmod((app_ + "/closed").c_str(), 0), 0);
    result = packWithTool();
    EXPECT_EQ(result.exitCode, kFailureStatus);
    EXPECT_NE(result.err.find(app_ + "/closed: cannot be read: Permission denied"), std::string::npos) << result.err;
    EXPECT_EQ(listDirectory(outDir_), std::vector<std::string>{});
}

// A write that fails halfway (the file size limit) leaves neither the
// output nor the temporary file.
TEST_F(PackTest, FailedWriteLeavesNoOutput) {
    writeApp("main", kScript, 0755);
    writeApp("big", std::string(2 * 1024 * 1024, 'b'), 0644);
    writeFile(launcher_, "old launcher", 0755);
    const ProcessResult result = runProcess(
        {"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 1000; exec \"$0\" pack \"$1\" -o \"$2\"", ONEFILE_TOOL_PATH, app_,
         launcher_});
    EXPECT_EQ(result.exitCode, kFailureStatus);
    EXPECT_NE(result.err.find(launcher_ + ": cannot write: File too large"), std::string::npos) << result.err;
    EXPECT_EQ(listDirectory(outDir_), std::vector<std::string>{"launcher"});
    EXPECT_EQ(readFile(launcher_), "old launcher");
}

TEST_F(PackTest, OutputIsExecutableAsTheUmaskAllows) {
    writeApp("main", kScript, 0755);
    for (const auto& [mask, mode] : std::vector<std::pair<mode_t, mode_t>>{{022, 0755}, {077, 0700}, {002, 0775}}) {
        ProcessOptions options;
        options.umask = mask;
        ASSERT_EQ(pack({}, options).exitCode, 0);
        struct stat status {};
        ASSERT_EQ(::stat(launcher_.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, mode) << "umask " << std::oct << mask;
    }
    EXPECT_EQ(listDirectory(outDir_), std::vector<std::string>{"launcher"});
}

TEST_F(PackTest, StringsGoIntoTheConfigurationArea) {
    writeApp("main", kScript, 0755);
    ASSERT_EQ(pack().exitCode, 0);
    LauncherConfig config;
    LauncherContents contents = readLauncher(launcher_);
    std::memcpy(&config, contents.file.data() + contents.blockOffset - sizeof config, sizeof config);
    EXPECT_STREQ(config.directoryTemplate, kDefaultDirectoryTemplate);
    EXPECT_STREQ(config.productName, kDefaultProductName);
    EXPECT_STREQ(config.versionString, kDefaultVersionString);

    ASSERT_EQ(pack({"--template", "{home}/.x/{PRODUCT}", "--product=Zed", "--version", ""}).exitCode, 0);
    contents = readLauncher(launcher_);
    std::memcpy(&config, contents.file.data() + contents.blockOffset - sizeof config, sizeof config);
    EXPECT_STREQ(config.directoryTemplate, "{home}/.x/{PRODUCT}");
    EXPECT_STREQ(config.productName, "Zed");
    EXPECT_STREQ(config.versionString, "");
}

TEST_F(PackTest, AttachCarriesAnyBlockByteForByte) {
    const std::string broken = "ZQXthis is no block";
    writeFile(dir_.file("block"), broken, 0644);
    ProcessResult result = runTool({"attach", dir_.file("block"), "-o", launcher_, "--product", "P"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const std::vector<unsigned char> file = readBytes(launcher_);
    const tool::ByteSpan block = tool::findAttachedBlock(file);
    EXPECT_EQ(std::string(block.begin(), block.end()), broken);
    EXPECT_STREQ(reinterpret_cast<const char*>(block.data()) - sizeof(LauncherConfig) +
                     offsetof(LauncherConfig, productName), "P");

    result = runTool({"list", launcher_});
    EXPECT_EQ(result.exitCode, kFailureStatus);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "onefile: " + launcher_ + ": entry 1 at byte 3: name runs past the end of the block\n");

    // Any launcher serves as a stub; its block is replaced.
    writeFile(dir_.file("empty-block"), std::string("ZQX\0\4\0\0\0\0\0\0\0", 12), 0644);
    result = runTool({"attach", dir_.file("empty-block"), "-o", outDir_ + "/second", "--stub", launcher_});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(list(outDir_ + "/second"), "");
}

struct ArchitectureCase {
    const char* what;
    std::vector<std::string> arguments;
    tool::Architecture expected;
};

// A launcher is made from the stub of the architecture asked for, or from
// the --stub file, whatever its machine; its block is the same either way.
TEST_F(PackTest, MakesTheLauncherForTheArchitectureAskedFor) {
    writeApp("main", kScript, 0755);
    writeApp("lib/data", std::string(100000, 'd'), 0644);
    ASSERT_EQ(pack().exitCode, 0);
    const std::string listing = list(launcher_);
    const LauncherContents contents = readLauncher(launcher_);
    const std::string block = dir_.file("block");
    const auto blockStart = contents.file.begin() + static_cast<std::ptrdiff_t>(contents.blockOffset);
    writeFile(block, std::string(blockStart, blockStart + static_cast<std::ptrdiff_t>(contents.blockSize)));
    const std::string armLauncher = dir_.file("arm-launcher");
    ASSERT_EQ(runTool({"pack", app_, "-o", armLauncher, "--arch", "aarch64"}).exitCode, 0);

    const std::string& armStub = builtStubFor(tool::Architecture::aarch64).path;
    const std::string& x86Stub = builtStubFor(tool::Architecture::x86_64).path;
    const std::vector<ArchitectureCase> cases = {
        {"pack, no --arch", {"pack", app_}, tool::Architecture::x86_64},
        {"pack --arch x86_64", {"pack", app_, "--arch", "x86_64"}, tool::Architecture::x86_64},
        {"pack --arch aarch64", {"pack", app_, "--arch", "aarch64"}, tool::Architecture::aarch64},
        {"attach --arch=aarch64", {"attach", block, "--arch=aarch64"}, tool::Architecture::aarch64},
        {"attach, no --arch", {"attach", block}, tool::Architecture::x86_64},
        {"pack --stub an aarch64 launcher", {"pack", app_, "--stub", armLauncher}, tool::Architecture::aarch64},
        {"attach --stub the aarch64 stub --arch aarch64", {"attach", block, "--stub", armStub, "--arch", "aarch64"},
         tool::Architecture::aarch64},
        {"pack --stub the x86-64 stub", {"pack", app_, "--stub", x86Stub}, tool::Architecture::x86_64},
    };
    for (const ArchitectureCase& c : cases) {
        SCOPED_TRACE(c.what);
        const BuiltStub& stub = builtStubFor(c.expected);
        std::vector<std::string> arguments = c.arguments;
        arguments.insert(arguments.end(), {"-o", outDir_ + "/made"});
        const ProcessResult result = runTool(arguments);
        ASSERT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.err, "");
        const std::vector<unsigned char> made = readBytes(outDir_ + "/made");
        const tool::StubLayout layout = tool::checkStubLayout(made);
        EXPECT_EQ(layout.header.e_machine, stub.machine);
        EXPECT_EQ(layout.pageBytes, stub.pageBytes);
        // Between the program headers and the payload section every byte is
        // the stub's: code, data and their alignment padding.
        const std::vector<unsigned char> stubBytes = readBytes(stub.path);
        const std::uint64_t payloadOffset = layout.sections[layout.payloadSection].sh_offset;
        const std::uint64_t tablesEnd = layout.header.e_phoff + layout.header.e_phnum * sizeof(Elf64_Phdr);
        ASSERT_EQ(payloadOffset, tool::checkStubLayout(stubBytes).sections[layout.payloadSection].sh_offset);
        EXPECT_TRUE(std::equal(made.begin() + static_cast<std::ptrdiff_t>(tablesEnd),
                               made.begin() + static_cast<std::ptrdiff_t>(payloadOffset),
                               stubBytes.begin() + static_cast<std::ptrdiff_t>(tablesEnd)));
        EXPECT_EQ(list(outDir_ + "/made"), listing);
    }
}

// A --stub file for another machine, or one that disagrees with --arch, is
// refused before anything is written.
TEST_F(PackTest, RefusesAStubForAnotherMachine) {
    writeApp("main", kScript, 0755);
    writeFile(dir_.file("block"), std::string("ZQX\0\4\0\0\0\0\0\0\0", 12), 0644);
    const std::string& armStub = builtStubFor(tool::Architecture::aarch64).path;
    const std::string& x86Stub = builtStubFor(tool::Architecture::x86_64).path;
    const std::string i386 = copyForMachine(x86Stub, dir_.file("i386-stub"), EM_386);
    const std::string riscv = copyForMachine(armStub, dir_.file("riscv-stub"), EM_RISCV);
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"pack", app_, "--stub", i386},
         i386 + ": not a usable launcher stub: made for ELF machine 3, not for x86_64 or aarch64"},
        {{"attach", dir_.file("block"), "--stub", riscv},
         riscv + ": not a usable launcher stub: made for ELF machine 243, not for x86_64 or aarch64"},
        {{"pack", app_, "--stub", armStub, "--arch", "x86_64"},
         armStub + ": made for aarch64, but --arch x86_64 was given"},
        {{"attach", dir_.file("block"), "--arch", "aarch64", "--stub", x86Stub},
         x86Stub + ": made for x86_64, but --arch aarch64 was given"},
    };
    for (const auto& [command, message] : cases) {
        std::vector<std::string> arguments = command;
        arguments.insert(arguments.end(), {"-o", launcher_});
        const ProcessResult result = runTool(arguments);
        EXPECT_EQ(result.exitCode, kFailureStatus) << message;
        EXPECT_EQ(result.err, "onefile: " + message + "\n");
        EXPECT_EQ(listDirectory(outDir_), std::vector<std::string>{});
    }
}

TEST_F(PackTest, ListRefusesWhatIsNoLauncher) {
    writeFile(dir_.file("text"), "no ELF here", 0644);
    // Launchers that are whole but for machines the tool does not know.
    writeApp("main", kScript, 0755);
    ASSERT_EQ(pack().exitCode, 0);
    const std::string i386 = copyForMachine(launcher_, dir_.file("i386"), EM_386);
    ASSERT_EQ(pack({"--arch", "aarch64"}).exitCode, 0);
    const std::string riscv = copyForMachine(launcher_, dir_.file("riscv"), EM_RISCV);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {i386, ": made for ELF machine 3, not for x86_64 or aarch64"},
        {riscv, ": made for ELF machine 243, not for x86_64 or aarch64"},
        {dir_.file("text"), ": not an ELF file"},
        {ONEFILE_STUB_PATH, ": no payload attached: the block does not start with the magic \"ZQX\""},
        {"/bin/true", ": no launcher configuration area"},
        {dir_.file("missing"), ": cannot be opened: No such file or directory"},
        {dir_.path(), ": is not a regular file"},
    };
    for (const auto& [path, message] : cases) {
        const ProcessResult result = runTool({"list", path});
        EXPECT_EQ(result.exitCode, kFailureStatus) << path;
        EXPECT_EQ(result.out, "");
        EXPECT_NE(result.err.find("onefile: " + path + message), std::string::npos) << result.err;
    }
}

TEST(CommandLineTest, MalformedCommandLinesAreUsageErrors) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "no command given"},
        {{"unpack", "x"}, "unknown command 'unpack'"},
        {{"pack", "app"}, "pack: -o OUTPUT missing"},
        {{"pack", "-o", "out"}, "pack: APPDIR missing"},
        {{"pack", "app", "-o"}, "pack: option '-o' needs a value"},
        {{"pack", "app", "-o", "a", "--output", "b"}, "pack: output given twice"},
        {{"pack", "app", "-o", "a", "--main", "x", "--main=y"}, "pack: option '--main' given twice"},
        {{"pack", "app", "other", "-o", "a"}, "pack: unexpected argument 'other'"},
        {{"attach", "block", "-o", "a", "--main", "x"}, "attach: unknown option '--main'"},
        {{"list", "l", "-o", "x"}, "list: unknown option '-o'"},
        {{"list"}, "list: LAUNCHER missing"},
        {{"pack", "app", "-o", "a", "--arch", "arm64"},
         "pack: unknown architecture 'arm64'; --arch takes x86_64 or aarch64"},
        {{"attach", "b", "-o", "a", "--arch="}, "attach: unknown architecture ''; --arch takes x86_64 or aarch64"},
        {{"pack", "app", "-o", "a", "--arch", "aarch64", "--arch=aarch64"}, "pack: option '--arch' given twice"},
        {{"list", "l", "--arch", "aarch64"}, "list: unknown option '--arch'"},
        {{"pack", "app", "-o", "a", "--reuse=yes"}, "pack: option '--reuse' takes no value"},
        {{"attach", "b", "-o", "a", "--reuse", "--reuse"}, "attach: option '--reuse' given twice"},
        {{"info", "l", "--reuse"}, "info: unknown option '--reuse'"},
        {{"pack", "app", "-o", "a", "--quiet", "--progress"}, "pack: --quiet and --progress contradict each other"},
        {{"pack", "app", "-o", "a", "--progress=yes"}, "pack: option '--progress' takes no value"},
        {{"pack", "app", "-o", "a", "--quiet", "--quiet"}, "pack: option '--quiet' given twice"},
        {{"attach", "b", "-o", "a", "--quiet"}, "attach: unknown option '--quiet'"},
        {{"--version", "extra"}, "unexpected argument 'extra'"},
    };
    for (const auto& [arguments, message] : cases) {
        const ProcessResult result = runTool(arguments);
        EXPECT_EQ(result.exitCode, kUsageStatus) << message;
        EXPECT_EQ(result.err, "onefile: " + message + "\nTry 'onefile --help' for more information.\n");
    }
}

TEST(CommandLineTest, HelpExplainsEachCommandAndVersionPrintsIt) {
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> cases = {
        {{"--help"}, {"usage: onefile COMMAND", "pack APPDIR -o OUTPUT", "attach BLOCKFILE", "list LAUNCHER",
                      "x86-64 and aarch64", "Exit status"}},
        {{"pack", "--help"}, {"--main RELPATH", "--template T", "{PRODUCT_VERSION}", "--product NAME",
                              "--version V", "--arch A", "x86_64 or aarch64", "byte order", "1024 bytes",
                              "umask", "more than 255 bytes", "a path inside APPDIR", "SIGQUIT",
                              "has no {RANDOM}", "--compress[=LEVEL]", "1 to 19 (3 when no level",
                              "decoder stub", "not be smaller", "8 MiB", "[--reuse]", "{CACHE_DIR}/onefile/NAME",
                              "first 16 hex digits", "{TIME_US} or {RANDOM}", "[--quiet | --progress]",
                              "time left"}},
        {{"attach", "-h"}, {"usage: onefile attach", "unchecked", "--arch A", "--stub FILE", "regular file",
                            "--decoder", "bit 2", "damage", "[--reuse]"}},
        {{"info", "-h"}, {"usage: onefile info", "reuse "}},
        {{"list", "--help"}, {"usage: onefile list", "tabs", "last loadable segment", "x86_64 and aarch64",
                              "regular file", "number of entries", "unpacked", "flagged compressed"}},
    };
    for (const auto& [arguments, phrases] : cases) {
        const ProcessResult result = runTool(arguments);
        EXPECT_EQ(result.exitCode, 0);
        for (const std::string& phrase : phrases)
            EXPECT_NE(result.out.find(phrase), std::string::npos) << arguments.front() << ": " << phrase;
    }
    const ProcessResult version = runTool({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, std::string("onefile ") + kToolVersion + "\n");
}

}  // namespace
}  // namespace onefile::testing
