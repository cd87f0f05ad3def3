// The copy of stored content from the launcher's file (payload/
// copy_stored_content.h), on real files: a sparse source whose content lies
// past 4 GiB, copied by each step of the chain behind what the target
// already holds; a source that ends early; a source the kernel's steps
// cannot read; a stop before the first call.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "payload/copy_stored_content.h"
#include "tests/support/file_helpers.h"
#include "tests/support/sample_contents.h"
#include "tests/support/temp_dir.h"

namespace onefile {
namespace {

using onefile::testing::randomBytes;
using onefile::testing::readFile;

// Past 4 GiB, and not on a page boundary.
constexpr std::uint64_t kContentOffset = (std::uint64_t{5} << 30) + 123;
constexpr char kHead[] = "already there|";

bool never() { return false; }
bool always() { return true; }

// A sparse file that holds `content` at kContentOffset and ends `cut` bytes
// before the content does; mapped around the content for the last step.
class SparseSource {
public:
    SparseSource(const std::string& path, const std::string& content, std::size_t cut = 0) {
        const int writer = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        EXPECT_GE(writer, 0);
        EXPECT_EQ(pwrite(writer, content.data(), content.size() - cut, static_cast<off_t>(kContentOffset)),
                  static_cast<ssize_t>(content.size() - cut));
        if (content.empty()) {
            EXPECT_EQ(ftruncate(writer, static_cast<off_t>(kContentOffset)), 0);
        }
        close(writer);
        file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_GE(file, 0);
        const std::uint64_t page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
        mapStart_ = kContentOffset / page * page;
        mapBytes_ = kContentOffset - mapStart_ + content.size() + 1;
        mapping_ = mmap(nullptr, mapBytes_, PROT_READ, MAP_PRIVATE, file, static_cast<off_t>(mapStart_));
        EXPECT_NE(mapping_, MAP_FAILED);
    }
    ~SparseSource() {
        munmap(mapping_, mapBytes_);
        close(file);
    }

    StoredContent content(std::uint64_t size) const {
        return {static_cast<const unsigned char*>(mapping_) + (kContentOffset - mapStart_), file, kContentOffset, size};
    }

    int file = -1;

private:
    std::uint64_t mapStart_ = 0;
    std::size_t mapBytes_ = 0;
    void* mapping_ = nullptr;
};

// A new file that holds kHead, open for writing at its end.
int openTarget(const std::string& path) {
    const int target = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    EXPECT_EQ(write(target, kHead, sizeof kHead - 1), static_cast<ssize_t>(sizeof kHead - 1));
    return target;
}

const char* stepName(CopyStep step) {
    if (step == CopyStep::copyFileRange) return "copy_file_range";
    if (step == CopyStep::sendFile) return "sendfile";
    return "write from the mapping";
}

TEST(CopyStoredContentTest, EachStepCopiesContentPastFourGiBBehindWhatTheTargetHolds) {
    const onefile::testing::TempDir temp;
    // Empty, one byte, a page, and two kernel calls' worth.
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{4096}, kKernelCopyBytes + 1}) {
        const std::string content = randomBytes(size, size + 1);
        const SparseSource source(temp.file("source"), content);
        for (const CopyStep step : {CopyStep::copyFileRange, CopyStep::sendFile, CopyStep::writeFromMapping}) {
            SCOPED_TRACE(std::string(stepName(step)) + ", " + std::to_string(size) + " bytes");
            setCopyStep(step);
            const int target = openTarget(temp.file("target"));
            const CopyOutcome outcome = copyStoredContent(target, source.content(size), never, nullptr, nullptr);
            close(target);
            EXPECT_EQ(outcome.result, CopyResult::done);
            EXPECT_EQ(readFile(temp.file("target")), kHead + content);
            // Nothing made the chain move on: the step itself copied.
            if (size > 0 && currentCopyStep() != step) {
                EXPECT_EQ(step, CopyStep::copyFileRange) << "only copy_file_range may be missing here";
                std::cout << "this kernel does not copy_file_range within " << temp.path() << "'s file system\n";
            }
        }
    }
}

TEST(CopyStoredContentTest, AKernelCopyThatFindsTheSourceEndingEarlyIsCutShort) {
    const onefile::testing::TempDir temp;
    const std::string content = randomBytes(kKernelCopyBytes + 4096, 3);
    // The source ends 100 bytes into the second call's part.
    const std::size_t cut = 4096 - 100;
    const SparseSource source(temp.file("source"), content, cut);
    for (const CopyStep step : {CopyStep::copyFileRange, CopyStep::sendFile}) {
        SCOPED_TRACE(stepName(step));
        setCopyStep(step);
        const int target = openTarget(temp.file("target"));
        const CopyOutcome outcome = copyStoredContent(target, source.content(content.size()), never, nullptr, nullptr);
        close(target);
        EXPECT_EQ(outcome.result, CopyResult::cutShort);
        EXPECT_EQ(outcome.fileEnd, kContentOffset + content.size() - cut);
        EXPECT_EQ(readFile(temp.file("target")), kHead + content.substr(0, content.size() - cut));
    }
}

TEST(CopyStoredContentTest, ASourceTheKernelCannotReadLeavesTheCopyToTheMapping) {
    const onefile::testing::TempDir temp;
    const std::string content = randomBytes(100000, 4);
    const SparseSource source(temp.file("source"), content);
    // Open for writing only: copy_file_range and sendfile fail with EBADF.
    const int writeOnly = open(temp.file("source").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writeOnly, 0);
    StoredContent stored = source.content(content.size());
    stored.file = writeOnly;
    setCopyStep(CopyStep::copyFileRange);
    std::uint64_t lastWritten = 0;
    const int target = openTarget(temp.file("target"));
    const CopyOutcome outcome = copyStoredContent(
        target, stored, never,
        [](void* context, const unsigned char* upTo) {
            *static_cast<std::uint64_t*>(context) = reinterpret_cast<std::uintptr_t>(upTo);
        },
        &lastWritten);
    close(target);
    close(writeOnly);
    EXPECT_EQ(outcome.result, CopyResult::done);
    EXPECT_EQ(currentCopyStep(), CopyStep::writeFromMapping);
    EXPECT_EQ(readFile(temp.file("target")), kHead + content);
    // The caller heard of the end of what was written from the mapping.
    EXPECT_EQ(lastWritten, reinterpret_cast<std::uintptr_t>(stored.mapped + content.size()));
}

TEST(CopyStoredContentTest, AStopBeforeTheFirstCallCopiesNothing) {
    const onefile::testing::TempDir temp;
    const std::string content = randomBytes(5000, 5);
    const SparseSource source(temp.file("source"), content);
    for (const CopyStep step : {CopyStep::copyFileRange, CopyStep::sendFile, CopyStep::writeFromMapping}) {
        SCOPED_TRACE(stepName(step));
        setCopyStep(step);
        const int target = openTarget(temp.file("target"));
        EXPECT_EQ(copyStoredContent(target, source.content(content.size()), always, nullptr, nullptr).result,
                  CopyResult::stopped);
        close(target);
        EXPECT_EQ(readFile(temp.file("target")), kHead);
    }
}

}  // namespace
}  // namespace onefile
