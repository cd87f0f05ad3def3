// A mapped file that another process cuts short while it is read, cut here
// by the test itself between two reads: under the guard the pages that are
// gone read as zeros and the guard says so, where the kernel's SIGBUS would
// end the process; a bus error anywhere else still ends it.
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include "tests/support/file_helpers.h"
#include "tests/support/temp_dir.h"
#include "tool/mapped_file.h"
#include "tool/mapping_fault_guard.h"

namespace onefile::testing {
namespace {

const std::size_t kPageBytes = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));

// Reads the byte at `offset` of the mapping as the extraction does: through
// memory, not through a system call that would fail with EFAULT instead.
unsigned char byteAt(const tool::MappedFile& file, std::size_t offset) {
    return static_cast<const volatile unsigned char*>(file.bytes().data())[offset];
}

TEST(MappingFaultGuardTest, PagesThatAreGoneReadAsZerosAndAreReported) {
    const TempDir dir;
    const std::string path = dir.file("file");
    writeFile(path, std::string(4 * kPageBytes, 'x'));
    const tool::MappedFile file(path);
    const tool::MappingFaultGuard guard(file.bytes());
    EXPECT_FALSE(file.cutShort());
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(kPageBytes + 10)), 0);
    EXPECT_TRUE(file.cutShort());

    EXPECT_EQ(byteAt(file, kPageBytes + 9), 'x');
    // Past the new end inside the last page the file keeps: zeros with no
    // fault, which only the size tells.
    EXPECT_EQ(byteAt(file, kPageBytes + 10), 0);
    EXPECT_FALSE(tool::MappingFaultGuard::faulted());
    EXPECT_EQ(byteAt(file, 3 * kPageBytes), 0);
    EXPECT_TRUE(tool::MappingFaultGuard::faulted());
    // The page before the one that faulted was gone too.
    EXPECT_EQ(byteAt(file, 2 * kPageBytes + 1), 0);
    EXPECT_EQ(byteAt(file, 0), 'x');
}

// A mapping the guard does not cover: its lost page ends the process as
// before, by SIGBUS (without a core file).
TEST(MappingFaultGuardDeathTest, ABusErrorOutsideTheGuardedMappingStillEndsTheProcess) {
    const TempDir dir;
    writeFile(dir.file("guarded"), std::string(2 * kPageBytes, 'g'));
    writeFile(dir.file("other"), std::string(2 * kPageBytes, 'o'));
    const tool::MappedFile guarded(dir.file("guarded"));
    const tool::MappedFile other(dir.file("other"));
    ASSERT_EQ(::truncate(dir.file("other").c_str(), 0), 0);
    const auto readUnderGuard = [&guarded, &other] {
        const rlimit noCore{0, 0};
        (void)::setrlimit(RLIMIT_CORE, &noCore);
        const tool::MappingFaultGuard guard(guarded.bytes());
        std::_Exit(byteAt(other, kPageBytes));
    };
    EXPECT_EXIT(readUnderGuard(), ::testing::KilledBySignal(SIGBUS), "");
}

}  // namespace
}  // namespace onefile::testing
