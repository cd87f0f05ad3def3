// The commands that read a launcher a user already has, run as a user runs
// them: info (text and JSON), verify against the recorded digest, extract
// compared with what the launcher itself unpacks, and pack --exclude. The
// launchers are made by the real tool; the digest is computed again here
// from its definition with the system's sha256sum.
#include <elf.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <sstream>
#include <tuple>

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include "format/payload_format.h"
#include "tests/support/file_helpers.h"
#include "tests/support/temp_dir.h"
#include "tests/tool/block_records.h"
#include "tests/tool/content_samples.h"
#include "tests/tool/tool_test_helpers.h"
#include "tool/build_defaults.h"
#include "tool/mapped_file.h"
#include "tool/payload_locate.h"

namespace onefile::testing {
namespace {

inline constexpr int kFailureStatus = 1;
inline constexpr int kUsageStatus = 2;
inline constexpr uid_t kNobody = 65534;
// The second configuration layout: signature and strings in the first page,
// the records in the second; the digest field is at byte 32 of the records.
inline constexpr std::size_t kRecordsAt = 4096;
inline constexpr std::size_t kDigestAt = 4096 + 32;
inline constexpr std::size_t kDigestBytes = 32;

std::string runOk(const std::vector<std::string>& arguments) {
    const ProcessResult result = runTool(arguments);
    if (result.exitCode != 0) throw std::runtime_error("onefile failed: " + result.err);
    return result.out;
}

Elf64_Ehdr elfHeaderOf(const std::string& bytes) {
    Elf64_Ehdr header;
    std::memcpy(&header, bytes.data(), sizeof header);
    return header;
}

std::vector<Elf64_Phdr> loadSegmentsOf(const std::string& bytes) {
    const Elf64_Ehdr header = elfHeaderOf(bytes);
    std::vector<Elf64_Phdr> segments;
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr segment;
        std::memcpy(&segment, bytes.data() + header.e_phoff + i * sizeof segment, sizeof segment);
        if (segment.p_type == PT_LOAD && segment.p_filesz > 0) segments.push_back(segment);
    }
    return segments;
}

// The payload section is alone in the last loadable segment.
std::uint64_t payloadOffsetOf(const std::string& bytes) {
    std::uint64_t offset = 0;
    for (const Elf64_Phdr& segment : loadSegmentsOf(bytes)) offset = std::max<std::uint64_t>(offset, segment.p_offset);
    return offset;
}

std::string hex(const std::string& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const char c : bytes) {
        text.push_back(kDigits[static_cast<unsigned char>(c) >> 4]);
        text.push_back(kDigits[static_cast<unsigned char>(c) & 0xf]);
    }
    return text;
}

// The digest field's bytes as they are in the file, in hexadecimal.
std::string recordedDigest(const std::string& launcher) {
    const std::string bytes = readFile(launcher);
    return hex(bytes.substr(payloadOffsetOf(bytes) + kDigestAt, kDigestBytes));
}

// The digest by its definition: the bytes the loadable segments map, each
// once and in file order, with e_shoff, e_shnum, e_shstrndx and the digest
// field as zeros; hashed by sha256sum.
std::string digestBySha256sum(const std::string& launcher, const std::string& scratch) {
    std::string bytes = readFile(launcher);
    std::vector<bool> loaded(bytes.size(), false);
    for (const Elf64_Phdr& segment : loadSegmentsOf(bytes))
        for (std::uint64_t i = segment.p_offset; i < segment.p_offset + segment.p_filesz; ++i) loaded.at(i) = true;
    const std::uint64_t digestField = payloadOffsetOf(bytes) + kDigestAt;
    std::memset(bytes.data() + offsetof(Elf64_Ehdr, e_shoff), 0, sizeof(Elf64_Off));
    std::memset(bytes.data() + offsetof(Elf64_Ehdr, e_shnum), 0, sizeof(Elf64_Half));
    std::memset(bytes.data() + offsetof(Elf64_Ehdr, e_shstrndx), 0, sizeof(Elf64_Half));
    std::memset(bytes.data() + digestField, 0, kDigestBytes);
    std::string hashed;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        if (loaded[i]) hashed.push_back(bytes[i]);
    writeFile(scratch, hashed);
    const ProcessResult sum = runProcess({"sha256sum", scratch});
    if (sum.exitCode != 0 || sum.out.size() < 64) throw std::runtime_error("sha256sum failed: " + sum.err);
    return sum.out.substr(0, 64);
}

// "key<TAB>value" for each member of the JSON object `json`, in order, each
// value as Python writes it again: the object must parse as a whole.
std::string parsedJson(const std::string& json) {
    ProcessOptions options;
    options.stdinText = json;
    const ProcessResult parsed = runProcess(
        {"python3", "-c",
         "import json, sys\n"
         "for key, value in json.load(sys.stdin).items(): print(key + '\\t' + json.dumps(value))\n"},
        options);
    EXPECT_EQ(parsed.exitCode, 0) << json << parsed.err;
    return parsed.out;
}

// What a directory holds, as the probe reports the tree it was unpacked in:
// "file MODE SIZE NAME", "dir MODE NAME", "link MODE NAME -> TEXT", sorted
// by name level by level.
void listTree(const std::string& root, const std::string& relative, std::vector<std::string>& lines) {
    const std::string path = relative.empty() ? root : root + "/" + relative;
    for (const std::string& name : listDirectory(path)) {
        const std::string child = relative.empty() ? name : relative + "/" + name;
        struct stat status {};
        if (::lstat((root + "/" + child).c_str(), &status) != 0) throw std::runtime_error("lstat " + child);
        char mode[16];
        std::snprintf(mode, sizeof mode, "%04o", status.st_mode & 07777);
        if (S_ISLNK(status.st_mode)) {
            lines.push_back(std::string("link ") + mode + " " + child + " -> " +
                            std::filesystem::read_symlink(root + "/" + child).string());
        } else if (S_ISDIR(status.st_mode)) {
            lines.push_back(std::string("dir ") + mode + " " + child);
            listTree(root, child, lines);
        } else {
            lines.push_back(std::string("file ") + mode + " " + std::to_string(status.st_size) + " " + child);
        }
    }
}

std::vector<std::string> treeOf(const std::string& root) {
    std::vector<std::string> lines;
    listTree(root, "", lines);
    return lines;
}

std::string modeOf(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return "missing";
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", status.st_mode & 07777);
    return mode;
}

// The names `onefile list` prints, in order.
std::vector<std::string> listedNames(const std::string& launcher) {
    std::vector<std::string> names;
    std::istringstream lines(runOk({"list", launcher}));
    for (std::string line; std::getline(lines, line);) names.push_back(line.substr(line.rfind('\t') + 1));
    return names;
}

void flipByte(const std::string& path, std::uint64_t offset) {
    std::string bytes = readFile(path);
    bytes.at(offset) = static_cast<char>(bytes.at(offset) ^ 0x01);
    writeFile(path, bytes, 0755);
}

void copyFile(const std::string& from, const std::string& to) { writeFile(to, readFile(from), 0755); }

struct ArchitectureTools {
    const char* arch;
    const char* strip;
    const char* objcopy;
};
const ArchitectureTools kArchitectureTools[] = {
    {"x86_64", "strip", "objcopy"},
    {"aarch64", "aarch64-linux-gnu-strip", "aarch64-linux-gnu-objcopy"},
};

// The application every launcher here carries: the probe as its main
// executable, which reports the tree it was unpacked in and copies its
// files out; other executables, text that compresses, random bytes that do
// not, an empty file, links.
struct AppFile {
    std::string name;
    mode_t mode;
};
const std::vector<AppFile>& appFiles() {
    static const std::vector<AppFile> files = {
        {"probe", 0755}, {"bin/helper", 0750},      {"data/text.log", 0644},   {"data/random.bin", 0640},
        {"empty", 0600}, {"share/notes.txt", 0444}, {"group-read-exec", 0705},
    };
    return files;
}
const std::vector<std::pair<std::string, std::string>> kAppLinks = {{"lib/notes", "../share/notes.txt"},
                                                                    {"dangling", "nowhere"}};

// What a launcher run left.
class LauncherCommandsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        shared_ = new TempDir;
        const std::string app = appDir();
        writeFile(app + "/probe", readFile(ONEFILE_PROBE_PATH), 0755);
        writeFile(app + "/bin/helper", "#!/bin/sh\necho helper\n", 0750);
        writeFile(app + "/data/text.log", repeatedText(1 << 20), 0644);
        writeFile(app + "/data/random.bin", randomBytes(200000, 7), 0640);
        writeFile(app + "/empty", "", 0600);
        writeFile(app + "/share/notes.txt", repeatedText(30000).substr(17), 0444);
        writeFile(app + "/group-read-exec", "#!/bin/sh\n", 0705);
        for (const auto& [name, text] : kAppLinks) makeSymlink(text, app + "/" + name);
        const std::vector<std::string> pack = {"pack", app, "--main", "probe"};
        const auto packed = [&pack](const std::string& output, const std::vector<std::string>& extra) {
            std::vector<std::string> arguments = pack;
            arguments.insert(arguments.end(), {"-o", output});
            arguments.insert(arguments.end(), extra.begin(), extra.end());
            (void)runOk(arguments);
            return output;
        };
        stored_ = packed(shared_->file("stored"), {"--template", "{TEMP}/tests_{RANDOM}", "--template",
                                                    "{HOME}/.tests_{RANDOM}", "--product",
                                                   "Tab\there", "--version", "2.0-\xc3\xbc"});
        compressed_ = packed(shared_->file("compressed"), {"--compress=5"});
        aarch64_ = packed(shared_->file("aarch64"), {"--arch", "aarch64"});
    }

    static void TearDownTestSuite() {
        delete shared_;
        shared_ = nullptr;
    }

    static std::string appDir() { return shared_->file("app"); }

    static std::uint64_t appBytes() {
        std::uint64_t bytes = 0;
        for (const AppFile& file : appFiles()) bytes += std::filesystem::file_size(appDir() + "/" + file.name);
        return bytes;
    }

    // Runs `launcher` under `umask` with a private TMPDIR.
    ProbeRun runLauncher(const std::string& launcher, mode_t umask) {
        const std::string name = std::to_string(runs_++);
        return runProbeLauncher(launcher, dir_.file("tmp-" + name), dir_.file("report-" + name),
                                dir_.file("copies-" + name), umask);
    }

    ProcessResult extract(const std::string& launcher, const std::string& directory, mode_t umask = 022) {
        ProcessOptions options;
        options.umask = umask;
        return runTool({"extract", launcher, directory}, options);
    }

    static TempDir* shared_;
    static std::string stored_;
    static std::string compressed_;
    static std::string aarch64_;
    TempDir dir_;
    int runs_ = 0;
};

TempDir* LauncherCommandsTest::shared_ = nullptr;
std::string LauncherCommandsTest::stored_;
std::string LauncherCommandsTest::compressed_;
std::string LauncherCommandsTest::aarch64_;

struct InfoCase {
    std::string launcher;
    std::string arch;
    std::string version;
    std::string templateLine, productLine;  // as info prints them
    std::string templateJson, productJson, versionJson;
    std::string compressionText, compressionJson;
    bool compressed;
    std::string fallbackLines = "";         // "fallback_template: ..." lines
    std::string fallbackJson = "[]";
};

TEST_F(LauncherCommandsTest, InfoDescribesWhatALauncherCarries) {
    const auto jsonOf = [](const std::string& text) { return "\"" + text + "\""; };
    const std::vector<InfoCase> cases = {
        {stored_, "x86_64", "2.0-\xc3\xbc", "{TEMP}/tests_{RANDOM}", "Tab\\there", "\"{TEMP}/tests_{RANDOM}\"",
         "\"Tab\\there\"", "\"2.0-\\u00fc\"", "none", "null", false, "fallback_template: {HOME}/.tests_{RANDOM}\n",
         "[\"{HOME}/.tests_{RANDOM}\"]"},
        {compressed_, "x86_64", kDefaultVersionString, kDefaultDirectoryTemplate, kDefaultProductName,
         jsonOf(kDefaultDirectoryTemplate), jsonOf(kDefaultProductName), jsonOf(kDefaultVersionString),
         "zstd level 5", "{\"codec\": \"zstd\", \"level\": 5}", true},
        {aarch64_, "aarch64", kDefaultVersionString, kDefaultDirectoryTemplate, kDefaultProductName,
         jsonOf(kDefaultDirectoryTemplate), jsonOf(kDefaultProductName), jsonOf(kDefaultVersionString), "none",
         "null", false},
    };
    const std::uint64_t unpacked = appBytes();
    for (const InfoCase& c : cases) {
        SCOPED_TRACE(c.launcher);
        std::uint64_t stored = 0;
        for (const tool::BlockEntryInfo& entry : readLauncher(c.launcher).entries) stored += entry.size;
        if (c.compressed) EXPECT_LT(stored, unpacked);
        else EXPECT_EQ(stored, unpacked);
        const std::string digest = digestBySha256sum(c.launcher, dir_.file("hashed"));
        EXPECT_EQ(recordedDigest(c.launcher), digest);

        const ProcessResult text = runTool({"info", c.launcher});
        EXPECT_EQ(text.exitCode, 0) << text.err;
        EXPECT_EQ(text.err, "");
        EXPECT_EQ(text.out, "arch: " + c.arch + "\ntemplate: " + c.templateLine + "\n" + c.fallbackLines + "product: " + c.productLine +
                                "\nversion: " + c.version + "\nfiles: 7\nlinks: 2\nstored_bytes: " +
                                std::to_string(stored) + "\nunpacked_bytes: " + std::to_string(unpacked) +
                                "\ncompression: " + c.compressionText + "\ndigest: sha256 " + digest +
                                "\nreuse: false\nreclaim: true\nfirst_run_message: \nsignature: unsigned\n");

        const ProcessResult json = runTool({"info", "--json", c.launcher});
        EXPECT_EQ(json.exitCode, 0) << json.err;
        EXPECT_EQ(json.err, "");
        EXPECT_EQ(parsedJson(json.out), "arch\t\"" + c.arch + "\"\ntemplate\t" + c.templateJson + "\nfallback_templates\t" +
                                            c.fallbackJson + "\nproduct\t" +
                                            c.productJson + "\nversion\t" + c.versionJson +
                                            "\nfiles\t7\nlinks\t2\nstored_bytes\t" + std::to_string(stored) +
                                            "\nunpacked_bytes\t" + std::to_string(unpacked) + "\ncompression\t" +
                                            c.compressionJson + "\ndigest\t\"" + digest + "\"\nreuse\tfalse\nreclaim\ttrue\nfirst_run_message\t\"\"\nsignature\tnull\n");
    }
}

// A hand-made block attached with --decoder: compressed, but no level to
// tell; the digest is recorded all the same.
TEST_F(LauncherCommandsTest, InfoOfAHandMadeCompressedBlockHasNoLevel) {
    const std::string text = repeatedText(100000);
    const std::string frame = frameOf(text);
    writeFile(dir_.file("block"), wholeBlock(fileRecord("main", kEntryFlagExecutable, "#!/bin/sh\n") +
                                             fileRecord("text", kEntryFlagCompressed, frame) +
                                             linkRecord("alias", kEntryFlagLink, "text")));
    const std::string launcher = dir_.file("launcher");
    (void)runOk({"attach", dir_.file("block"), "--decoder", "-o", launcher});
    const std::string digest = digestBySha256sum(launcher, dir_.file("hashed"));
    const std::string sizes =
        std::to_string(10 + frame.size()) + "\nunpacked_bytes: " + std::to_string(10 + text.size());
    EXPECT_EQ(runOk({"info", launcher}),
              std::string("arch: x86_64\ntemplate: ") + kDefaultDirectoryTemplate + "\nproduct: " +
                  kDefaultProductName + "\nversion: " + kDefaultVersionString +
                  "\nfiles: 2\nlinks: 1\nstored_bytes: " + sizes +
                  "\ncompression: zstd, level not recorded\ndigest: sha256 " + digest +
                  "\nreuse: false\nreclaim: true\nfirst_run_message: \nsignature: unsigned\n");
    const std::string parsed = parsedJson(runOk({"info", launcher, "--json"}));
    EXPECT_NE(parsed.find("\ncompression\t{\"codec\": \"zstd\", \"level\": null}\n"), std::string::npos) << parsed;
    EXPECT_NE(parsed.find("\ndigest\t\"" + digest + "\"\n"), std::string::npos) << parsed;
    EXPECT_EQ(runOk({"verify", launcher}), launcher + ": OK\n");
}

// strip and objcopy rewrite the section headers and what lies behind the
// loaded bytes; the digest leaves those out.
TEST_F(LauncherCommandsTest, VerifyAcceptsWhatStripAndObjcopyLeave) {
    for (const ArchitectureTools& tools : kArchitectureTools) {
        SCOPED_TRACE(tools.arch);
        const std::string launcher = std::string(tools.arch) == "x86_64" ? stored_ : aarch64_;
        const std::string digest = recordedDigest(launcher);
        const std::vector<std::string> names = listedNames(launcher);
        std::vector<std::string> made;
        const auto tool = [&](const std::string& name, std::vector<std::string> argv) {
            made.push_back(dir_.file(name));
            std::replace(argv.begin(), argv.end(), std::string("OUT"), made.back());
            const ProcessResult result = runProcess(argv);
            EXPECT_EQ(result.exitCode, 0) << name << ": " << result.err;
        };
        tool("strip", {tools.strip, "-o", "OUT", launcher});
        tool("strip-comment", {tools.strip, "--remove-section=.comment", "-o", "OUT", launcher});
        tool("objcopy-comment", {tools.objcopy, "--remove-section", ".comment", launcher, "OUT"});
        tool("objcopy-added", {tools.objcopy, "--add-section", ".note.extra=" + appDir() + "/bin/helper",
                               launcher, "OUT"});
        ASSERT_LT(std::filesystem::file_size(made[1]), std::filesystem::file_size(launcher));

        // No section headers at all: the table goes, its three fields are 0.
        std::string headless = readFile(launcher);
        const Elf64_Ehdr header = elfHeaderOf(headless);
        headless.resize(header.e_shoff);
        std::memset(headless.data() + offsetof(Elf64_Ehdr, e_shoff), 0, sizeof(Elf64_Off));
        std::memset(headless.data() + offsetof(Elf64_Ehdr, e_shnum), 0, 2 * sizeof(Elf64_Half));
        made.push_back(dir_.file("headless"));
        writeFile(made.back(), headless, 0755);
        // Bytes behind everything that is loaded.
        made.push_back(dir_.file("appended"));
        writeFile(made.back(), readFile(launcher) + "appended", 0755);

        for (const std::string& changed : made) {
            SCOPED_TRACE(changed);
            // strip finds nothing to strip in a launcher: the same bytes.
            if (changed != made.front()) {
                ASSERT_TRUE(readFile(changed) != readFile(launcher));
            }
            const ProcessResult verified = runTool({"verify", changed});
            EXPECT_EQ(verified.exitCode, 0) << verified.err;
            EXPECT_EQ(verified.out, changed + ": OK\n");
            EXPECT_EQ(verified.err, "");
            EXPECT_EQ(recordedDigest(changed), digest);
            EXPECT_EQ(digestBySha256sum(changed, dir_.file("hashed")), digest);
            EXPECT_EQ(listedNames(changed), names);
        }
    }
}

struct FlippedByte {
    const char* what;
    std::function<std::uint64_t(const std::string& bytes)> offset;
};

// A byte changed anywhere that is loaded is a mismatch, reported with both
// digests: the recorded one, and the one sha256sum gives for the file now.
TEST_F(LauncherCommandsTest, VerifyReportsAChangedByteAnywhereThatIsLoaded) {
    const LauncherContents contents = readLauncher(stored_);
    const std::uint64_t block = contents.blockOffset;
    const auto lastFile = std::find_if(contents.entries.rbegin(), contents.entries.rend(),
                                       [](const tool::BlockEntryInfo& entry) { return entry.size > 1; });
    ASSERT_NE(lastFile, contents.entries.rend());
    const std::uint64_t lastContent = lastFile->contentOffset;
    const auto payload = [](std::uint64_t at) {
        return [at](const std::string& bytes) { return payloadOffsetOf(bytes) + at; };
    };
    const std::vector<FlippedByte> cases = {
        {"e_entry", [](const std::string&) { return offsetof(Elf64_Ehdr, e_entry); }},
        {"a program header",
         [](const std::string& bytes) { return elfHeaderOf(bytes).e_phoff + offsetof(Elf64_Phdr, p_flags); }},
        {"the code at the entry point",
         [](const std::string& bytes) {
             const Elf64_Ehdr header = elfHeaderOf(bytes);
             for (const Elf64_Phdr& segment : loadSegmentsOf(bytes))
                 if (header.e_entry >= segment.p_vaddr && header.e_entry < segment.p_vaddr + segment.p_filesz)
                     return segment.p_offset + (header.e_entry - segment.p_vaddr);
             throw std::runtime_error("no segment holds the entry point");
         }},
        {"the directory template", payload(16 + 3)},
        {"the product name", payload(16 + 2048 + 1)},
        {"the version string", payload(16 + 2048 + 1024 + 1)},
        {"a reserved byte of the records", payload(kRecordsAt + 200)},
        {"the digest field", payload(kDigestAt + 5)},
        {"the first entry's name", [block](const std::string&) { return block + 3; }},
        {"the last entry's content", [block, lastContent](const std::string&) { return block + lastContent + 1; }},
        {"the length trailer",
         [&contents](const std::string&) { return contents.blockOffset + contents.blockSize - 1; }},
    };
    const std::string recorded = recordedDigest(stored_);
    for (const FlippedByte& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string changed = dir_.file("changed");
        copyFile(stored_, changed);
        flipByte(changed, c.offset(readFile(changed)));
        // Where the digest field itself changed, the file records another
        // digest and the one found is the original.
        const std::string nowRecorded = recordedDigest(changed);
        const std::string found = digestBySha256sum(changed, dir_.file("hashed"));
        EXPECT_NE(nowRecorded, found);
        const ProcessResult verified = runTool({"verify", changed});
        EXPECT_EQ(verified.exitCode, kFailureStatus);
        EXPECT_EQ(verified.out, "");
        EXPECT_EQ(verified.err, "onefile: " + changed +
                                    ": digest does not match: what it loads has changed since it was made (recorded " +
                                    nowRecorded + ", found " + found + ")\n");
        if (std::string(c.what) != "the digest field") {
            EXPECT_EQ(nowRecorded, recorded);
        }
    }
    // The level is a record like any other: another valid level is a change.
    const std::string relevelled = dir_.file("relevelled");
    copyFile(compressed_, relevelled);
    flipByte(relevelled, payloadOffsetOf(readFile(relevelled)) + kRecordsAt + 2);
    EXPECT_NE(runOk({"info", relevelled}).find("compression: zstd level 4\n"), std::string::npos);
    EXPECT_EQ(runTool({"verify", relevelled}).exitCode, kFailureStatus);
}

TEST_F(LauncherCommandsTest, VerifyRefusesFilesItCannotCheck) {
    const std::string bytes = readFile(stored_);
    const std::uint64_t payload = payloadOffsetOf(bytes);
    std::string unknownKind = bytes;
    unknownKind[payload + kRecordsAt] = 2;
    std::string noDigest = bytes;
    noDigest[payload + kRecordsAt] = 0;
    // The reason after "onefile: FILE: " where it is pinned here; for the
    // others, exit 1 with one line naming the file.
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {"cut by one byte", bytes.substr(0, bytes.size() - 1), ""},
        {"cut inside the block", bytes.substr(0, payload + kDigestAt + 1000), ""},
        {"cut inside the configuration area", bytes.substr(0, payload + 100), ""},
        {"cut to its ELF header", bytes.substr(0, sizeof(Elf64_Ehdr)), ""},
        {"an unknown digest kind", unknownKind, "cannot be verified: unknown digest kind 2"},
        {"no digest recorded", noDigest, "carries no digest to verify"},
        {"a shell script", "#!/bin/sh\necho not a launcher\n", ""},
        {"empty", "", ""},
    };
    for (const auto& [what, content, reason] : cases) {
        SCOPED_TRACE(what);
        const std::string file = dir_.file("file");
        writeFile(file, content, 0755);
        const ProcessResult verified = runTool({"verify", file});
        EXPECT_EQ(verified.exitCode, kFailureStatus);
        EXPECT_EQ(verified.out, "");
        EXPECT_EQ(verified.err.rfind("onefile: " + file + ": ", 0), 0u) << verified.err;
        EXPECT_EQ(std::count(verified.err.begin(), verified.err.end(), '\n'), 1) << verified.err;
        if (!reason.empty()) {
            EXPECT_EQ(verified.err, "onefile: " + file + ": " + reason + "\n");
        }
    }
}

// A stub of the first layout, made by giving the built stub's configuration
// area the first signature: the tool writes the 4096-byte area for it and
// records no level and no digest. Such a launcher would not run (the
// stub's code reads the block behind an area of its own build's size);
// only how the tool reads it is tested here.
TEST_F(LauncherCommandsTest, FirstLayoutLaunchersAreReadButCarryNoDigest) {
    std::string stub = readFile(ONEFILE_STUB_PATH);
    const std::uint64_t payload = payloadOffsetOf(stub);
    ASSERT_EQ(stub.substr(payload, 16), "onefile-config-2");
    stub.replace(payload, 16, "onefile-config-1");
    writeFile(dir_.file("stub"), stub, 0755);

    const std::string first = dir_.file("first");
    const std::string firstCompressed = dir_.file("first-compressed");
    (void)runOk({"pack", appDir(), "--main", "probe", "--stub", dir_.file("stub"), "-o", first});
    (void)runOk(
        {"pack", appDir(), "--main", "probe", "--stub", dir_.file("stub"), "--compress", "-o", firstCompressed});
    for (const std::string& launcher : {first, firstCompressed}) {
        SCOPED_TRACE(launcher);
        const std::string bytes = readFile(launcher);
        EXPECT_EQ(bytes.substr(payloadOffsetOf(bytes), 16), "onefile-config-1");
        EXPECT_EQ(readLauncher(launcher).blockOffset, payloadOffsetOf(bytes) + 4096);
        EXPECT_EQ(listedNames(launcher), listedNames(stored_));

        const std::string text = runOk({"info", launcher});
        EXPECT_NE(text.find("\ndigest: none\n"), std::string::npos) << text;
        const std::string json = parsedJson(runOk({"info", launcher, "--json"}));
        EXPECT_NE(json.find("\ndigest\tnull\n"), std::string::npos) << json;
        // Compressed entries, but the first layout has no room for the level.
        if (launcher == first) {
            EXPECT_NE(text.find("\ncompression: none\n"), std::string::npos) << text;
            EXPECT_NE(json.find("\ncompression\tnull\n"), std::string::npos) << json;
        } else {
            EXPECT_NE(text.find("\ncompression: zstd, level not recorded\n"), std::string::npos) << text;
            EXPECT_NE(json.find("\ncompression\t{\"codec\": \"zstd\", \"level\": null}\n"), std::string::npos) << json;
        }

        const ProcessResult verified = runTool({"verify", launcher});
        EXPECT_EQ(verified.exitCode, kFailureStatus);
        EXPECT_EQ(verified.out, "");
        EXPECT_EQ(verified.err, "onefile: " + launcher +
                                    ": carries no digest to verify (its stub has the first configuration layout)\n");

        const std::string out = dir_.file("out");
        const ProcessResult extracted = extract(launcher, out);
        ASSERT_EQ(extracted.exitCode, 0) << extracted.err;
        const std::string reference = dir_.file("reference");
        if (!std::filesystem::exists(reference)) {
            ASSERT_EQ(extract(stored_, reference).exitCode, 0);
        }
        EXPECT_EQ(treeOf(out), treeOf(reference));
        for (const AppFile& file : appFiles())
            EXPECT_TRUE(readFile(out + "/" + file.name) == readFile(appDir() + "/" + file.name)) << file.name;
        std::filesystem::remove_all(out);
    }
}

// A block made by hand with what pack never writes: names given twice, a
// link over a file, empty and "." levels, flag bits the launcher ignores.
std::string handMadeBlock() {
    return wholeBlock(fileRecord("probe", kEntryFlagExecutable, readFile(ONEFILE_PROBE_PATH)) +
                      fileRecord("twice", 0, "the first, longer content") +
                      fileRecord("twice", kEntryFlagExecutable, "second") +
                      fileRecord("exec-then-plain", kEntryFlagExecutable, "x") +
                      fileRecord("exec-then-plain", 0, "plain now") +
                      fileRecord("replaced-by-link", 0, "gone") +
                      linkRecord("replaced-by-link", kEntryFlagLink, "twice") +
                      linkRecord("link-twice", kEntryFlagLink, "first") +
                      linkRecord("link-twice", kEntryFlagLink, "second") +
                      fileRecord("a//b/./c", 0, "levels") + fileRecord("./top", kEntryFlagExecutable, "top") +
                      fileRecord("d1/d2/d3/deep", 0, "deep") + fileRecord("other-bits", 0xf8, "bits"));
}

// extract unpacks as the launcher does: the same tree, modes, link texts
// and bytes, for a stored, a compressed and a hand-made block, under two
// umasks.
TEST_F(LauncherCommandsTest, ExtractGivesWhatTheLauncherItselfUnpacks) {
    writeFile(dir_.file("block"), handMadeBlock());
    const std::string handMade = dir_.file("hand-made");
    (void)runOk({"attach", dir_.file("block"), "-o", handMade});
    for (const std::string& launcher : {stored_, compressed_, handMade}) {
        for (const mode_t umask : {mode_t{022}, mode_t{077}}) {
            SCOPED_TRACE(launcher + " under umask " + std::to_string(umask));
            const ProbeRun run = runLauncher(launcher, umask);
            ASSERT_EQ(run.result.exitCode, 0) << run.result.err;
            const std::string out = dir_.file("extracted-" + std::to_string(runs_));
            const ProcessResult extracted = extract(launcher, out, umask);
            ASSERT_EQ(extracted.exitCode, 0) << extracted.err;
            EXPECT_EQ(extracted.out, "");
            EXPECT_EQ(extracted.err, "");
            EXPECT_EQ(modeOf(out), run.directoryMode);
            EXPECT_EQ(modeOf(out), "0700");
            const std::vector<std::string> tree = treeOf(out);
            EXPECT_EQ(tree, run.tree);
            std::size_t files = 0;
            for (const std::string& line : tree) {
                if (line.rfind("file ", 0) != 0) continue;
                const std::string name = line.substr(line.find(' ', line.find(' ', 5) + 1) + 1);
                EXPECT_TRUE(readFile(out + "/" + name) == readFile(run.copies + "/" + name)) << name;
                ++files;
            }
            // The modes themselves: 0666 less the umask, and for an
            // executable entry owner execute, others execute where the group
            // may read.
            const std::string plain = umask == 022 ? "0644" : "0600";
            const std::string executable = umask == 022 ? "0745" : "0700";
            EXPECT_EQ(modeOf(out + "/probe"), executable);
            if (launcher == handMade) {
                EXPECT_EQ(files, 7u);
                EXPECT_EQ(readFile(out + "/twice"), "second");
                EXPECT_EQ(modeOf(out + "/twice"), executable);
                EXPECT_EQ(readFile(out + "/exec-then-plain"), "plain now");
                EXPECT_EQ(modeOf(out + "/exec-then-plain"), executable);
                EXPECT_EQ(std::filesystem::read_symlink(out + "/replaced-by-link"), "twice");
                EXPECT_EQ(std::filesystem::read_symlink(out + "/link-twice"), "second");
                EXPECT_EQ(readFile(out + "/a/b/c"), "levels");
                EXPECT_EQ(modeOf(out + "/d1/d2"), "0700");
                EXPECT_EQ(modeOf(out + "/other-bits"), plain);
            } else {
                EXPECT_EQ(files, appFiles().size());
                for (const AppFile& file : appFiles()) {
                    EXPECT_TRUE(readFile(out + "/" + file.name) == readFile(appDir() + "/" + file.name)) << file.name;
                    EXPECT_EQ(modeOf(out + "/" + file.name), (file.mode & 0111) != 0 ? executable : plain) << file.name;
                }
                for (const auto& [name, text] : kAppLinks)
                    EXPECT_EQ(std::filesystem::read_symlink(out + "/" + name), text);
                EXPECT_EQ(modeOf(out + "/data"), "0700");
            }
        }
    }
}

TEST_F(LauncherCommandsTest, ExtractMakesANewDirectoryInAnExistingParent) {
    const std::string existing = dir_.file("existing");
    writeFile(existing + "/mine", "keep me", 0600);
    makeDirectories(dir_.file("target"));
    makeSymlink(dir_.file("target"), dir_.file("link-to-directory"));
    const std::vector<std::pair<std::string, std::string>> cases = {
        {existing, "exists already; extract makes a new directory"},
        {dir_.file("link-to-directory"), "exists already; extract makes a new directory"},
        {dir_.file("missing/out"), "cannot be created: No such file or directory"},
    };
    for (const auto& [directory, message] : cases) {
        SCOPED_TRACE(directory);
        const ProcessResult extracted = extract(stored_, directory);
        EXPECT_EQ(extracted.exitCode, kFailureStatus);
        EXPECT_EQ(extracted.out, "");
        EXPECT_EQ(extracted.err, "onefile: " + directory + ": " + message + "\n");
    }
    EXPECT_EQ(listDirectory(existing), std::vector<std::string>{"mine"});
    EXPECT_EQ(readFile(existing + "/mine"), "keep me");
    EXPECT_EQ(listDirectory(dir_.file("target")), std::vector<std::string>{});
    EXPECT_FALSE(std::filesystem::exists(dir_.file("missing")));
}

// A parent with the set-group-ID bit passes it on to DIR and the levels
// below it: DIR is still the tool's own, made by this run.
TEST_F(LauncherCommandsTest, ExtractBelowASetgidDirectory) {
    const std::string parent = dir_.file("setgid");
    makeDirectories(parent);
    ASSERT_EQ(::chmod(parent.c_str(), 02755), 0);
    const std::string out = parent + "/out";
    const ProcessResult extracted = extract(stored_, out);
    ASSERT_EQ(extracted.exitCode, 0) << extracted.err;
    EXPECT_EQ(extracted.err, "");
    EXPECT_EQ(modeOf(out), "2700");
    EXPECT_EQ(modeOf(out + "/data"), "2700");
    for (const AppFile& file : appFiles())
        EXPECT_TRUE(readFile(out + "/" + file.name) == readFile(appDir() + "/" + file.name)) << file.name;
}

// A failure right after DIR was made removes it again: here DIR cannot be
// opened, as the umask took the owner's read permission. Permission bits do
// not stop root, so as root the tool runs as nobody, from a copy that nobody
// can reach.
TEST_F(LauncherCommandsTest, ExtractRemovesItsNewDirectoryWhenItCannotBeOpened) {
    const std::string parent = dir_.file("parent");
    makeDirectories(parent);
    const std::string launcher = dir_.file("launcher");
    copyFile(stored_, launcher);
    std::string tool = ONEFILE_TOOL_PATH;
    ProcessOptions options;
    options.umask = 0477;
    if (::geteuid() == 0) {
        options.userId = kNobody;
        options.groupId = kNobody;
        ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
        ASSERT_EQ(::chown(parent.c_str(), kNobody, kNobody), 0);
        tool = dir_.file("onefile");
        std::filesystem::copy_file(ONEFILE_TOOL_PATH, tool);
        ASSERT_EQ(::chmod(tool.c_str(), 0755), 0);
    }
    const std::string out = parent + "/out";
    const ProcessResult extracted = runProcess({tool, "extract", launcher, out}, options);
    EXPECT_EQ(extracted.exitCode, kFailureStatus);
    EXPECT_EQ(extracted.out, "");
    EXPECT_EQ(extracted.err, "onefile: " + out + ": cannot be opened: Permission denied\n");
    EXPECT_EQ(listDirectory(parent), std::vector<std::string>{});
}

// The names created in a directory while the watch is kept.
class CreationWatch {
public:
    explicit CreationWatch(const std::string& directory) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        if (fd_ < 0 || ::inotify_add_watch(fd_, directory.c_str(), IN_CREATE) < 0)
            throw std::runtime_error("cannot watch " + directory);
    }
    CreationWatch(const CreationWatch&) = delete;
    CreationWatch& operator=(const CreationWatch&) = delete;
    ~CreationWatch() { (void)::close(fd_); }

    std::vector<std::string> created() const {
        std::vector<std::string> names;
        alignas(inotify_event) char buffer[4096];
        for (ssize_t length; (length = ::read(fd_, buffer, sizeof buffer)) > 0;) {
            for (ssize_t at = 0; at < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->len > 0) names.emplace_back(event->name);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return names;
    }

private:
    int fd_;
};

struct RefusedBlock {
    const char* what;
    std::string block;
    std::string message;   // after "onefile: "
    bool checkedFirst;     // refused before DIR is made: DIR is never created
};

// A block that breaks the format, or an entry that would leave DIR, is
// refused before DIR is made; what only writing shows removes DIR again.
// Nothing outside DIR is touched.
TEST_F(LauncherCommandsTest, ExtractRefusesBadBlocksAndLeavesNoDirectory) {
    const std::string canary = dir_.file("canary");
    writeFile(canary + "/file", "canary", 0644);
    const std::string main = fileRecord("main", kEntryFlagExecutable, "#!/bin/sh\n");
    std::string damaged = frameOf(repeatedText(300000));
    damaged[damaged.size() / 2] = static_cast<char>(damaged[damaged.size() / 2] ^ 0x20);
    const std::string badTrailer = wholeBlock(main).substr(0, 3 + main.size() + 1) + littleEndian(5);
    const std::string launcher = dir_.file("launcher");
    const std::string out = dir_.file("parent/out");
    const std::vector<RefusedBlock> cases = {
        {"a name with ..", wholeBlock(main + fileRecord("a/../../x", 0, "x")),
         "entry name 'a/../../x' leaves the extraction directory", true},
        {"a name that is ..", wholeBlock(main + fileRecord("..", 0, "x")),
         "entry name '..' leaves the extraction directory", true},
        {"an absolute name", wholeBlock(main + fileRecord(canary + "/file", 0, "overwritten")),
         "entry name '" + canary + "/file' leaves the extraction directory", true},
        {"a link name with ..", wholeBlock(main + linkRecord("../l", kEntryFlagLink, "x")),
         "entry name '../l' leaves the extraction directory", true},
        {"a bad length trailer", badTrailer,
         "length trailer says 5 bytes, the block holds " + std::to_string(3 + main.size() + 1), true},
        {"no magic", "ZQY" + wholeBlock(main).substr(3),
         "no payload attached: the block does not start with the magic \"ZQX\"", true},
        {"a file below a link made earlier",
         wholeBlock(main + linkRecord("l", kEntryFlagLink, canary) + fileRecord("l/new", 0, "x")),
         "entry name 'l/new' leaves the extraction directory", false},
        {"a file onto a link made earlier",
         wholeBlock(main + linkRecord("l", kEntryFlagLink, canary + "/file") + fileRecord("l", 0, "overwritten")),
         "entry name 'l' leaves the extraction directory", false},
        {"a link onto a directory made earlier",
         wholeBlock(main + fileRecord("d/f", 0, "x") + linkRecord("d", kEntryFlagLink, canary)),
         out + "/d: cannot be created: File exists", false},
        {"a file below a file", wholeBlock(main + fileRecord("f", 0, "x") + fileRecord("f/g", 0, "y")),
         out + "/f/g: cannot be created: Not a directory", false},
        {"damaged compressed content", wholeBlock(main + fileRecord("text", kEntryFlagCompressed, damaged)),
         "entry 'text': compressed content is damaged", false},
    };
    for (const RefusedBlock& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(dir_.file("parent"));
        makeDirectories(dir_.file("parent"));
        writeFile(dir_.file("block"), c.block);
        (void)runOk({"attach", dir_.file("block"), "--decoder", "-o", launcher});
        const CreationWatch watch(dir_.file("parent"));
        const ProcessResult extracted = extract(launcher, out);
        EXPECT_EQ(extracted.exitCode, kFailureStatus);
        EXPECT_EQ(extracted.out, "");
        const std::string subject = c.message.rfind(out, 0) == 0 ? "" : launcher + ": ";
        EXPECT_EQ(extracted.err, "onefile: " + subject + c.message + "\n");
        EXPECT_FALSE(std::filesystem::exists(out));
        EXPECT_EQ(watch.created(), c.checkedFirst ? std::vector<std::string>{} : std::vector<std::string>{"out"});
        EXPECT_EQ(listDirectory(canary), std::vector<std::string>{"file"});
        EXPECT_EQ(readFile(canary + "/file"), "canary");
    }
}

// An entry hundreds of levels deep, then damage: DIR is removed again with
// the few descriptors the tool may open, and the tool ends instead of trying
// a level it cannot remove again and again.
TEST_F(LauncherCommandsTest, ExtractRemovesADeepDirectoryWithFewDescriptors) {
    std::string damaged = frameOf(repeatedText(300000));
    damaged[damaged.size() / 2] = static_cast<char>(damaged[damaged.size() / 2] ^ 0x20);
    const std::string launcher = dir_.file("launcher");
    const std::string out = dir_.file("out");
    // (levels, descriptors): fewer descriptors than two for each level; the
    // last, fewer than the 128 the walk may hold, so that it must move the
    // levels it cannot open up to DIR.
    const std::vector<std::pair<int, rlim_t>> cases = {{511, 1024}, {300, 160}, {300, 64}};
    for (const auto& [levels, openFiles] : cases) {
        SCOPED_TRACE(std::to_string(levels) + " levels, " + std::to_string(openFiles) + " descriptors");
        std::string deep;
        for (int level = 0; level < levels; ++level) deep += "d/";
        writeFile(dir_.file("block"), wholeBlock(fileRecord("main", kEntryFlagExecutable, "#!/bin/sh\n") +
                                                 fileRecord(deep + "f", 0, "deep") +
                                                 fileRecord("text", kEntryFlagCompressed, damaged)));
        (void)runOk({"attach", dir_.file("block"), "--decoder", "-o", launcher});
        // timeout sends SIGKILL (status 137): the tool holds the termination
        // signals back while DIR exists.
        const ProcessResult extracted =
            runProcess({"timeout", "--signal=KILL", "60", "/bin/sh", "-c",
                        "ulimit -n " + std::to_string(openFiles) + " && exec \"$0\" extract \"$1\" \"$2\"",
                        ONEFILE_TOOL_PATH, launcher, out});
        EXPECT_EQ(extracted.exitCode, kFailureStatus);
        EXPECT_EQ(extracted.err, "onefile: " + launcher + ": entry 'text': compressed content is damaged\n");
        EXPECT_FALSE(std::filesystem::exists(out));
        std::filesystem::remove_all(out);
    }
}

// Stops the tool `pid` (SIGSTOP) as soon as it has created `file`: success
// when it stopped there with the file still short of `fullBytes`, so that it
// has more of it to write. Otherwise the tool is killed and reaped.
::testing::AssertionResult stopWhileItWrites(pid_t pid, const std::string& file, std::uint64_t fullBytes) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    struct stat status {};
    bool started = false;
    while (std::chrono::steady_clock::now() < deadline) {
        if (::lstat(file.c_str(), &status) == 0) {
            started = true;
            break;
        }
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
            break;
    }
    if (::kill(pid, SIGSTOP) != 0) return ::testing::AssertionFailure() << "cannot stop the tool";
    int waitStatus = 0;
    if (::waitpid(pid, &waitStatus, WUNTRACED) != pid) return ::testing::AssertionFailure() << "cannot wait for it";
    if (!WIFSTOPPED(waitStatus)) return ::testing::AssertionFailure() << "the tool ended before " << file;
    const auto failure = [pid] {
        (void)waitWithin(pid, 0);  // kills and reaps it
        return ::testing::AssertionFailure();
    };
    if (!started) return failure() << "the tool never reached " << file;
    if (::lstat(file.c_str(), &status) != 0) return failure() << file << " is gone";
    if (static_cast<std::uint64_t>(status.st_size) >= fullBytes) return failure() << file << " was complete already";
    return ::testing::AssertionSuccess();
}

// extract maps a decoding workspace (8864 KiB) only for a compressed entry:
// under a limit on its address space that leaves room to extract the stored
// launcher and half a workspace, the compressed one fails at its first
// compressed entry, the probe, with the report, and DIR goes; with room for
// one and a half workspaces it is extracted.
TEST_F(LauncherCommandsTest, ExtractWithoutRoomForTheDecoderReportsItAndRemovesTheDirectory) {
    if (ONEFILE_SANITIZED_BUILD)
        GTEST_SKIP() << "the sanitizers reserve terabytes of address space: a limit on it cannot run the tool";
    constexpr rlim_t kWorkspaceBytes = rlim_t{8864} << 10;
    const auto extractUnder = [this](const std::string& launcher, rlim_t limit) {
        ProcessOptions options;
        options.addressSpaceBytes = limit;
        const std::string out = dir_.file("out-" + std::to_string(runs_++));
        return std::make_pair(out, runTool({"extract", launcher, out}, options));
    };
    // The smallest limit, in MiB steps, under which the stored launcher is
    // extracted: what the tool needs, the mapped launcher included.
    rlim_t storedLimit = 0;
    for (rlim_t mebibytes = 1; mebibytes <= 256 && storedLimit == 0; ++mebibytes) {
        if (extractUnder(stored_, mebibytes << 20).second.exitCode == 0) storedLimit = mebibytes << 20;
    }
    ASSERT_NE(storedLimit, 0u) << "the tool does not extract " << stored_ << " in 256 MiB";

    const auto [out, failed] = extractUnder(compressed_, storedLimit + kWorkspaceBytes / 2);
    EXPECT_EQ(failed.exitCode, kFailureStatus);
    EXPECT_EQ(failed.err,
              "onefile: " + out + "/probe: cannot be decoded (no room for the decoder): Cannot allocate memory\n");
    EXPECT_FALSE(std::filesystem::exists(out));
    EXPECT_EQ(extractUnder(compressed_, storedLimit + kWorkspaceBytes * 3 / 2).second.exitCode, 0);
}

// SIGTERM in the middle of a large entry: the tool removes DIR and ends by
// the signal. The tool is stopped while it writes the entry, so that the
// signal surely arrives before the end.
TEST_F(LauncherCommandsTest, ExtractStoppedBySigtermRemovesTheDirectory) {
    constexpr std::uint64_t kLargeBytes = std::uint64_t{200} << 20;
    const std::string app = dir_.file("app");
    writeFile(app + "/main", "#!/bin/sh\n", 0755);
    writeFile(app + "/a-small", "small", 0644);
    writeFile(app + "/large", "", 0644);
    std::filesystem::resize_file(app + "/large", kLargeBytes);
    const std::string launcher = dir_.file("launcher");
    (void)runOk({"pack", app, "--main", "main", "-o", launcher});

    const std::string out = dir_.file("out");
    const pid_t pid = startTool({"extract", launcher, out});
    ASSERT_TRUE(stopWhileItWrites(pid, out + "/large", kLargeBytes));
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    ASSERT_EQ(::kill(pid, SIGCONT), 0);
    const Ending ending = waitWithin(pid, 60);
    EXPECT_TRUE(ending.inTime);
    EXPECT_EQ(ending.signal, SIGTERM);
    EXPECT_FALSE(std::filesystem::exists(out));
    EXPECT_EQ(listDirectory(dir_.path()), (std::vector<std::string>{"app", "launcher"}));
}

// Sets or clears the immutable flag of the file at `path`, which no one may
// then remove, root included; false where the file system has no such flag.
bool setImmutable(const std::string& path, bool immutable) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = immutable ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    (void)::close(fd);
    return done;
}

// SIGTERM stops extract while another process has put into DIR what no one
// may remove (an immutable file): the removal takes the rest, and the tool
// names what stayed, the file and not the directories that hold it, before
// it ends by the signal.
TEST_F(LauncherCommandsTest, ExtractNamesWhatItsRemovalOfTheDirectoryLeftBehind) {
    constexpr std::uint64_t kLargeBytes = std::uint64_t{200} << 20;
    const std::string app = dir_.file("app");
    writeFile(app + "/main", "#!/bin/sh\n", 0755);
    writeFile(app + "/large", "", 0644);
    std::filesystem::resize_file(app + "/large", kLargeBytes);
    const std::string launcher = dir_.file("launcher");
    (void)runOk({"pack", app, "--main", "main", "-o", launcher});

    const std::string out = dir_.file("out");
    const std::string err = dir_.file("err");
    StartOptions options;
    options.stderrPath = err;
    const pid_t pid = startTool({"extract", launcher, out}, options);
    ASSERT_TRUE(stopWhileItWrites(pid, out + "/large", kLargeBytes));
    writeFile(out + "/kept/deeper/file", "kept");
    writeFile(out + "/kept/other", "other");
    if (!setImmutable(out + "/kept/deeper/file", true)) {
        (void)waitWithin(pid, 0);  // kills and reaps it
        GTEST_SKIP() << "the file system of " << dir_.path() << " has no immutable flag, or we may not set it";
    }
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    ASSERT_EQ(::kill(pid, SIGCONT), 0);
    const Ending ending = waitWithin(pid, 60);
    EXPECT_TRUE(setImmutable(out + "/kept/deeper/file", false));
    EXPECT_TRUE(ending.inTime);
    EXPECT_EQ(ending.signal, SIGTERM);
    EXPECT_EQ(readFile(err), "onefile: " + out + ": not removed, what stayed: " + out + "/kept/deeper/file\n");
    EXPECT_EQ(listDirectory(out), std::vector<std::string>{"kept"});
    EXPECT_EQ(listDirectory(out + "/kept"), std::vector<std::string>{"deeper"});
}

// Another process cuts the launcher short while extract reads it, inside
// the large entry: the tool neither crashes on the pages that are gone nor
// keeps what it wrote, and says why. The tool is stopped while it writes the
// entry and the file is cut right before the entry's content, so that what
// the tool still has to read is gone.
TEST_F(LauncherCommandsTest, ExtractOfALauncherCutShortMeanwhileRemovesTheDirectory) {
    constexpr std::uint64_t kLargeBytes = std::uint64_t{256} << 20;
    const std::string app = dir_.file("app");
    writeFile(app + "/main", "#!/bin/sh\n", 0755);
    writeFile(app + "/large", "", 0644);
    std::filesystem::resize_file(app + "/large", kLargeBytes);
    writeFile(app + "/z-after", "after", 0644);
    const std::string launcher = dir_.file("launcher");
    const std::string out = dir_.file("out");
    const std::string err = dir_.file("err");
    for (const std::vector<std::string>& packing : {std::vector<std::string>{}, std::vector<std::string>{"--compress"}}) {
        SCOPED_TRACE(packing.empty() ? "stored" : "compressed");
        std::vector<std::string> pack = {"pack", app, "--main", "main", "-o", launcher};
        pack.insert(pack.end(), packing.begin(), packing.end());
        (void)runOk(pack);
        std::uint64_t cut = 0;
        bool compressed = false;
        {
            const tool::MappedFile mapped(launcher);
            const tool::ByteSpan block = tool::findAttachedBlock(mapped.bytes());
            (void)tool::visitBlock(block, [&](const tool::BlockEntryInfo& entry) {
                if (entry.name != "large") return;
                cut = static_cast<std::uint64_t>(block.data() - mapped.bytes().data()) + entry.contentOffset;
                compressed = entry.compressed;
            });
        }
        ASSERT_GT(cut, 0u);
        ASSERT_EQ(compressed, !packing.empty());

        StartOptions options;
        options.stderrPath = err;
        const pid_t pid = startTool({"extract", launcher, out}, options);
        ASSERT_TRUE(stopWhileItWrites(pid, out + "/large", kLargeBytes));
        ASSERT_EQ(::truncate(launcher.c_str(), static_cast<off_t>(cut)), 0);
        ASSERT_EQ(::kill(pid, SIGCONT), 0);
        const Ending ending = waitWithin(pid, 60);
        EXPECT_TRUE(ending.inTime);
        EXPECT_EQ(ending.signal, 0);
        EXPECT_EQ(ending.exitCode, kFailureStatus);
        EXPECT_EQ(readFile(err), "onefile: " + launcher + ": became shorter while being extracted\n");
        EXPECT_FALSE(std::filesystem::exists(out));
        EXPECT_EQ(listDirectory(dir_.path()), (std::vector<std::string>{"app", "err", "launcher"}));
        std::filesystem::remove_all(out);
    }
}

// Every command that reads a launcher through a mapping, with the launcher
// cut short right after the command mapped it and before it read a byte of
// it (cut_when_mapped times the cut by the command's own mmap): the pages
// that are gone read as zeros instead of ending the tool with SIGBUS, and the
// command says the file became shorter, with nothing on standard output and
// nothing written. One cut leaves the first page, the other ends inside a
// page of the block, where what follows reads as zeros without a fault.
TEST_F(LauncherCommandsTest, EveryReaderOfALauncherCutShortMeanwhileSaysSo) {
    const std::string launcher = dir_.file("launcher");
    const std::string output = dir_.file("output");
    const std::string whole = readFile(stored_);
    const struct {
        std::vector<std::string> command;
        const char* while_;
    } readers[] = {
        {{"list", launcher}, "read"},
        {{"info", launcher}, "read"},
        {{"info", launcher, "--json"}, "read"},
        {{"verify", launcher}, "read"},
        {{"pack", appDir(), "--main", "probe", "-o", output, "--stub", launcher}, "read"},
        {{"extract", launcher, output}, "extracted"},
    };
    const std::pair<const char*, std::size_t> cuts[] = {
        {"after the first page", 4096},
        {"inside a page of the block", whole.size() / 2 + 1},
    };
    for (const auto& [where, size] : cuts) {
        for (const auto& reader : readers) {
            SCOPED_TRACE(std::string(where) + ": " + reader.command[0] + " " + reader.command.back());
            writeFile(launcher, whole, 0755);
            std::vector<std::string> argv = {ONEFILE_CUT_WHEN_MAPPED_PATH, launcher, std::to_string(size),
                                             ONEFILE_TOOL_PATH};
            argv.insert(argv.end(), reader.command.begin(), reader.command.end());
            const ProcessResult result = runProcess(argv);
            ASSERT_EQ(std::filesystem::file_size(launcher), size) << result.err;
            EXPECT_EQ(result.exitCode, kFailureStatus);
            EXPECT_EQ(result.err, "onefile: " + launcher + ": became shorter while being " + reader.while_ + "\n");
            EXPECT_EQ(result.out, "");
            EXPECT_EQ(listDirectory(dir_.path()), std::vector<std::string>{"launcher"});
        }
    }
}

TEST_F(LauncherCommandsTest, PackExcludeLeavesOutWhatItsPatternsMatch) {
    const std::string app = dir_.file("app");
    for (const char* name : {".git/config", ".git/objects/ab", "sub/.git/HEAD", "sub/file", "a.pyc", "lib/b.pyc",
                             "lib/a.so", "lib/sub/c.so", "build/out.o", "src/build/keep.txt", "cache/x",
                             "data/cache", "deep/cache/y", "deep/keep", "keep.txt"})
        writeFile(app + "/" + name, name, 0644);
    writeFile(app + "/main", "#!/bin/sh\n", 0755);
    makeSymlink("keep.txt", app + "/link.pyc");
    const std::string launcher = dir_.file("launcher");
    const ProcessResult packed = runTool({"pack", app, "-o", launcher, "--exclude", ".git", "--exclude=*.pyc",
                                          "--exclude", "/build", "--exclude", "cache/", "--exclude", "lib/*.so"});
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    // A directory left out is not reported as empty.
    EXPECT_EQ(packed.err, "");
    EXPECT_EQ(listedNames(launcher), (std::vector<std::string>{"main", "data/cache", "deep/keep", "keep.txt",
                                                               "lib/sub/c.so", "src/build/keep.txt", "sub/file"}));
}

TEST_F(LauncherCommandsTest, PackRefusesToLeaveOutTheMainExecutable) {
    const std::string app = dir_.file("app");
    writeFile(app + "/bin/app", "#!/bin/sh\n", 0755);
    writeFile(app + "/other", "other", 0644);
    const std::string launcher = dir_.file("launcher");
    for (const std::string pattern : {"bin/", "/bin", "bin", "app", "b*/a*", "*p*", "*"}) {
        SCOPED_TRACE(pattern);
        const ProcessResult packed =
            runTool({"pack", app, "--main", "bin/app", "--exclude", "*.txt", "--exclude", pattern, "-o", launcher});
        EXPECT_EQ(packed.exitCode, kFailureStatus);
        EXPECT_EQ(packed.err, "onefile: " + app + "/bin/app: main executable is left out by --exclude '" + pattern +
                                  "'\n");
        EXPECT_FALSE(std::filesystem::exists(launcher));
    }
}

TEST_F(LauncherCommandsTest, MalformedCommandLinesOfTheNewCommandsAreUsageErrors) {
    writeFile(dir_.file("single"), "#!/bin/sh\n", 0755);
    const std::string out = dir_.file("out");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"pack", appDir(), "-o", out, "--exclude", ""}, "pack: empty pattern for --exclude"},
        {{"pack", appDir(), "-o", out, "--exclude="}, "pack: empty pattern for --exclude"},
        {{"pack", appDir(), "-o", out, "--exclude", "/"}, "pack: --exclude '/' matches nothing"},
        {{"pack", appDir(), "-o", out, "--exclude"}, "pack: option '--exclude' needs a value"},
        {{"pack", dir_.file("single"), "-o", out, "--exclude", "x"},
         "pack: --exclude applies only when APPDIR is a directory"},
        {{"extract", stored_}, "extract: DIR missing"},
        {{"extract", stored_, ""}, "extract: empty DIR"},
        {{"extract", stored_, out, "more"}, "extract: unexpected argument 'more'"},
        {{"extract", stored_, out, "--json"}, "extract: unknown option '--json'"},
        {{"info"}, "info: LAUNCHER missing"},
        {{"info", stored_, "--json=yes"}, "info: option '--json' takes no value"},
        {{"info", stored_, "-o", out}, "info: unknown option '-o'"},
        {{"verify", stored_, stored_}, "verify: unexpected argument '" + stored_ + "'"},
        {{"verify", stored_, "--json"}, "verify: unknown option '--json'"},
    };
    for (const auto& [arguments, message] : cases) {
        const ProcessResult result = runTool(arguments);
        EXPECT_EQ(result.exitCode, kUsageStatus) << message;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "onefile: " + message + "\nTry 'onefile --help' for more information.\n");
    }
    EXPECT_EQ(listDirectory(dir_.path()), std::vector<std::string>{"single"});
}

}  // namespace
}  // namespace onefile::testing
