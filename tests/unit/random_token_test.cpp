// The random token: the kernel's bytes, the fallback generator and the
// base64url encoding.
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "templates/random_token.h"
#include "tests/unit/template_test_support.h"

namespace onefile::testing {
namespace {

using Bytes = std::array<unsigned char, kRandomBytes>;

std::string encode(const Bytes& bytes) {
    char token[kRandomTokenLength + 1];
    memset(token, '#', sizeof token);
    encodeRandomToken(bytes.data(), token);
    return std::string(token, strnlen(token, sizeof token));
}

TEST(RandomTokenTest, FallbackGeneratorFromSeedOne) {
    Bytes bytes{};
    generateFallbackBytes(1, bytes.data());
    EXPECT_EQ(bytes, (Bytes{0x21, 0x01, 0xC5, 0x4F, 0xD1, 0xD0, 0x1A, 0xB2}));
}

TEST(RandomTokenTest, FallbackSeedZeroActsAsOne) {
    Bytes fromZero{};
    Bytes fromOne{};
    generateFallbackBytes(0, fromZero.data());
    generateFallbackBytes(1, fromOne.data());
    EXPECT_EQ(fromZero, fromOne);
}

TEST(RandomTokenTest, FallbackBytesFollowTheSeed) {
    // Seeds that differ in their high bits only must still give other bytes.
    std::set<Bytes> seen;
    for (std::uint32_t seed : {1u, 2u, 0x80000000u, 0xFFFFFFFFu, 0x12345678u}) {
        Bytes bytes{};
        generateFallbackBytes(seed, bytes.data());
        EXPECT_TRUE(seen.insert(bytes).second) << "seed " << seed;
    }
}

struct EncodingCase {
    Bytes bytes;
    const char* token;
};

TEST(RandomTokenTest, EncodesBase64UrlWithoutPadding) {
    const EncodingCase cases[] = {
        {{0x21, 0x01, 0xC5, 0x4F, 0xD1, 0xD0, 0x1A, 0xB2}, "IQHFT9HQGrI"},
        {{0, 0, 0, 0, 0, 0, 0, 0}, "AAAAAAAAAAA"},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "__________8"},
        {{0xFB, 0xEF, 0xBE, 0xFB, 0xEF, 0xBE, 0xFB, 0xEF}, "----------8"},
        {{0x00, 0x10, 0x83, 0x10, 0x51, 0x87, 0x20, 0x92}, "ABCDEFGHIJI"},
        // The lowest bit lands in the last character, the highest in the first.
        {{0, 0, 0, 0, 0, 0, 0, 0x01}, "AAAAAAAAAAE"},
        {{0x80, 0, 0, 0, 0, 0, 0, 0}, "gAAAAAAAAAA"},
    };
    for (const EncodingCase& expected : cases) EXPECT_EQ(encode(expected.bytes), expected.token);
}

TEST(RandomTokenTest, KernelBytesAreFresh) {
    Bytes first{};
    Bytes second{};
    ASSERT_TRUE(readKernelRandomBytes(first.data()));
    ASSERT_TRUE(readKernelRandomBytes(second.data()));
    EXPECT_NE(first, second);
}

TEST(RandomTokenTest, TokensHaveTheirShapeAndDiffer) {
    std::set<std::string> tokens;
    for (int round = 0; round < 200; ++round) {
        char token[kRandomTokenLength + 1];
        makeRandomToken(token);
        ASSERT_EQ(tokenShapeProblem(token), "") << token;
        tokens.insert(token);
    }
    EXPECT_EQ(tokens.size(), 200u);
}

// A system call that a child refuses from the moment the filter is installed.
// With a minimum descriptor, only calls whose first argument is at least that
// descriptor are refused (the standard streams stay usable).
struct RefusedCall {
    int number;
    int error;
    unsigned minimumDescriptor = 0;
};

// Installs a seccomp filter in the calling process; false when the kernel
// does not allow it.
bool refuseSystemCalls(const std::vector<RefusedCall>& refused) {
    std::vector<sock_filter> program = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    for (const RefusedCall& call : refused) {
        const sock_filter refuse =
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(call.error));
        program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
        if (call.minimumDescriptor == 0) {
            program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K,
                                       static_cast<unsigned>(call.number), 0, 1));
            program.push_back(refuse);
        } else {
            program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K,
                                       static_cast<unsigned>(call.number), 0, 3));
            program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])));
            program.push_back(
                BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, call.minimumDescriptor, 0, 1));
            program.push_back(refuse);
        }
    }
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    const sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
    return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

// Exit codes of the sandboxed children.
constexpr int kChildPassed = 0;
constexpr int kChildNoFilter = 77;

// What a child under a filter observed.
struct SandboxResults {
    bool kernelResult;
    unsigned char kernelBytes[kRandomBytes];
    bool descriptorLeaked;
    char tokens[2][kRandomTokenLength + 1];
};

// Runs the random sources in a child whose system calls are refused as
// given, and reports what they did.
void observeUnder(const std::vector<RefusedCall>& refused, SandboxResults& results,
                  bool& filtered) {
    const int status = runInChild([&]() {
        // The lowest free descriptor, before and after: a descriptor left
        // open by the read path would move it.
        const int probeBefore = dup(0);
        if (probeBefore < 0) return 3;
        (void)close(probeBefore);
        memset(results.kernelBytes, 0, sizeof results.kernelBytes);
        if (!refuseSystemCalls(refused)) return kChildNoFilter;
        results.kernelResult = readKernelRandomBytes(results.kernelBytes);
        makeRandomToken(results.tokens[0]);
        makeRandomToken(results.tokens[1]);
        const int probeAfter = dup(0);
        results.descriptorLeaked = probeAfter != probeBefore;
        return kChildPassed;
    });
    ASSERT_TRUE(WIFEXITED(status)) << "child wait status " << status;
    filtered = WEXITSTATUS(status) != kChildNoFilter;
    if (filtered) {
        ASSERT_EQ(WEXITSTATUS(status), kChildPassed);
    }
}

TEST(RandomTokenTest, GetrandomServesWithoutUrandom) {
    SharedValue<SandboxResults> results;
    bool filtered = false;
    observeUnder({{SYS_open, ENOENT}, {SYS_openat, ENOENT}}, *results, filtered);
    if (!filtered) GTEST_SKIP() << "seccomp filters are not available here";
    EXPECT_TRUE(results->kernelResult);
    EXPECT_NE(Bytes{}, std::to_array(results->kernelBytes));
    EXPECT_FALSE(results->descriptorLeaked);
    EXPECT_EQ(tokenShapeProblem(results->tokens[0]), "");
}

TEST(RandomTokenTest, FallbackWithoutUrandomAndGetrandom) {
    SharedValue<SandboxResults> results;
    bool filtered = false;
    observeUnder({{SYS_open, ENOENT}, {SYS_openat, ENOENT}, {SYS_getrandom, ENOSYS}}, *results,
                 filtered);
    if (!filtered) GTEST_SKIP() << "seccomp filters are not available here";
    EXPECT_FALSE(results->kernelResult);
    EXPECT_EQ(tokenShapeProblem(results->tokens[0]), "");
    EXPECT_EQ(tokenShapeProblem(results->tokens[1]), "");
    // The seed takes in the time-stamp counter, so two tokens differ.
    EXPECT_STRNE(results->tokens[0], results->tokens[1]);
}

TEST(RandomTokenTest, FailedReadClosesAndFallsBack) {
    // /dev/urandom opens, but its one read fails: the descriptor is closed
    // all the same and the kernel's bytes count as missing.
    SharedValue<SandboxResults> results;
    bool filtered = false;
    observeUnder({{SYS_read, EIO, 3}, {SYS_getrandom, ENOSYS}}, *results, filtered);
    if (!filtered) GTEST_SKIP() << "seccomp filters are not available here";
    EXPECT_FALSE(results->kernelResult);
    EXPECT_FALSE(results->descriptorLeaked);
    EXPECT_EQ(tokenShapeProblem(results->tokens[0]), "");
}

}  // namespace
}  // namespace onefile::testing
