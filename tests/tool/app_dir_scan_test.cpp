// The application directory between its scan and the writing of its block:
// whatever is put in place of a checked file or directory meanwhile, the
// block carries the checked file or the packing is refused.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>

#include "tests/support/file_helpers.h"
#include "tests/support/temp_dir.h"
#include "tool/app_dir_scan.h"
#include "tool/block_writer.h"
#include "tool/output_stream.h"
#include "tool/tool_error.h"

namespace onefile::testing {
namespace {

const std::string kScript = "#!/bin/sh\nexit 0\n";
// The checked content and what is put in its place have the same size, so
// only the file's identity can tell them apart.
const std::string kPublic = "public content";
const std::string kOther = "SECRET content";

void renameOrThrow(const std::string& from, const std::string& to) {
    if (std::rename(from.c_str(), to.c_str()) != 0) throw std::runtime_error("rename " + from);
}

struct SwapCase {
    const char* what;
    // Changes the application directory `app`; `elsewhere` holds a directory
    // "dir" with a file "data" of kOther.
    std::function<void(const std::string& app, const std::string& elsewhere)> swap;
    std::string message;  // "" when the block is written; "APP" stands for the directory
};

// Writes the block of `contents` to a file, each content opened as pack does.
std::string writeBlockFile(tool::AppDirContents& contents, const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("open " + path);
    try {
        tool::OutputStream output(fd, path);
        tool::writeBlock(output, contents.entries,
                         [&contents](const tool::PayloadEntry& entry) { return contents.openContent(entry); });
        output.flush();
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    return readFile(path);
}

TEST(AppDirScanTest, ContentIsReadFromTheFileThatWasChecked) {
    const std::vector<SwapCase> cases = {
        {"nothing changed", [](const std::string&, const std::string&) {}, ""},
        {"content rewritten in place", [](const std::string& app, const std::string&) {
             writeFile(app + "/sub/data", "PUBLIC CONTENT", 0644);
         }, ""},
        {"directory replaced by a link to another directory", [](const std::string& app, const std::string& elsewhere) {
             renameOrThrow(app + "/sub", app + "/moved");
             makeSymlink(elsewhere + "/dir", app + "/sub");
         }, "APP/sub: changed while being packed"},
        {"directory replaced by another directory", [](const std::string& app, const std::string& elsewhere) {
             renameOrThrow(app + "/sub", app + "/moved");
             renameOrThrow(elsewhere + "/dir", app + "/sub");
         }, "APP/sub/data: changed while being packed"},
        {"file replaced by another file", [](const std::string& app, const std::string& elsewhere) {
             renameOrThrow(elsewhere + "/dir/data", app + "/sub/data");
         }, "APP/sub/data: changed while being packed"},
        {"file replaced by a link", [](const std::string& app, const std::string& elsewhere) {
             ASSERT_EQ(::unlink((app + "/sub/data").c_str()), 0);
             makeSymlink(elsewhere + "/dir/data", app + "/sub/data");
         }, "APP/sub/data: changed while being packed"},
        {"file replaced by a fifo", [](const std::string& app, const std::string&) {
             ASSERT_EQ(::unlink((app + "/sub/data").c_str()), 0);
             ASSERT_EQ(::mkfifo((app + "/sub/data").c_str(), 0644), 0);
         }, "APP/sub/data: changed while being packed"},
        {"file removed", [](const std::string& app, const std::string&) {
             ASSERT_EQ(::unlink((app + "/sub/data").c_str()), 0);
         }, "APP/sub/data: changed while being packed"},
        {"file grown", [](const std::string& app, const std::string&) {
             writeFile(app + "/sub/data", kPublic + "!", 0644);
         }, "APP/sub/data: changed while being packed"},
    };
    for (const SwapCase& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string app = dir.file("app");
        writeFile(app + "/main", kScript, 0755);
        writeFile(app + "/sub/data", kPublic, 0644);
        writeFile(dir.file("elsewhere/dir/data"), kOther, 0644);
        tool::AppDirContents contents = tool::scanAppDir(app, std::nullopt);
        ASSERT_EQ(contents.entries.size(), 2u);
        c.swap(app, dir.file("elsewhere"));
        if (c.message.empty()) {
            const std::string block = writeBlockFile(contents, dir.file("block"));
            EXPECT_NE(block.find(kScript), std::string::npos);
            EXPECT_EQ(block.find(kOther), std::string::npos);
            EXPECT_NE(block.find(readFile(app + "/sub/data")), std::string::npos);
            continue;
        }
        try {
            (void)writeBlockFile(contents, dir.file("block"));
            ADD_FAILURE() << "written";
        } catch (const tool::ToolError& error) {
            EXPECT_EQ(std::string(error.what()), app + c.message.substr(3));
        }
    }
}

// Entries reached in payload order, with directories entered, left and
// entered again, each come from their own file.
TEST(AppDirScanTest, EveryEntryIsReadFromItsOwnFileInPayloadOrder) {
    TempDir dir;
    const std::string app = dir.file("app");
    const std::vector<std::string> names = {"zmain",   "a.txt",   "a/b-c/d", "a/b.c/d", "a/b/c",
                                            "a/b/c.d", "a/b/e/f", "a/b0",    "b/x/y/z"};
    for (const std::string& name : names)
        writeFile(app + "/" + name, "content of " + name, name == "zmain" ? 0755 : 0644);
    tool::AppDirContents contents = tool::scanAppDir(app, std::nullopt);
    ASSERT_EQ(contents.entries.size(), names.size());
    for (tool::PayloadEntry& entry : contents.entries) {
        SCOPED_TRACE(entry.name);
        const tool::FileDescriptor fd = contents.openContent(entry);
        std::string content(entry.size, '\0');
        ASSERT_EQ(::read(fd.get(), content.data(), content.size()), static_cast<ssize_t>(content.size()));
        EXPECT_EQ(content, "content of " + entry.name);
    }
}

}  // namespace
}  // namespace onefile::testing
