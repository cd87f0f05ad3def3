#include "tests/unit/template_test_support.h"

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/fatal_stops.h"
#include "templates/expand_template.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_launcher_section.h"
#include "tests/support/fake_program_path.h"

namespace onefile::testing {

void* mapSharedBytes(std::size_t bytes) {
    void* address = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (address == MAP_FAILED) {
        perror("mmap");
        abort();
    }
    return address;
}

void unmapSharedBytes(void* address, std::size_t bytes) { (void)munmap(address, bytes); }

GuardedBuffer::GuardedBuffer(std::size_t capacity) : capacity_(capacity) {
    const std::size_t pageBytes = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t dataPages = (capacity + pageBytes - 1) / pageBytes;
    mappingBytes_ = (dataPages + 1) * pageBytes;
    mapping_ = mapSharedBytes(mappingBytes_);
    char* guardPage = static_cast<char*>(mapping_) + dataPages * pageBytes;
    if (mprotect(guardPage, pageBytes, PROT_NONE) != 0) {
        perror("mprotect");
        abort();
    }
    data_ = guardPage - capacity;
    memset(data_, kMarker, capacity);
}

GuardedBuffer::~GuardedBuffer() { unmapSharedBytes(mapping_, mappingBytes_); }

bool GuardedBuffer::isTerminated() const { return memchr(data_, '\0', capacity_) != nullptr; }

std::string GuardedBuffer::text() const { return std::string(data_, strnlen(data_, capacity_)); }

bool GuardedBuffer::isUntouchedFrom(std::size_t offset) const {
    for (std::size_t index = offset; index < capacity_; ++index) {
        if (data_[index] != kMarker) return false;
    }
    return true;
}

void applySetting(const Setting& setting) {
    if (setting.value) {
        ASSERT_EQ(setenv(setting.name.c_str(), setting.value->c_str(), 1), 0) << setting.name;
    } else {
        ASSERT_EQ(unsetenv(setting.name.c_str()), 0) << setting.name;
    }
}

std::optional<std::string> readVariable(const char* name) {
    const char* value = getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

SavedEnvironment::SavedEnvironment() {
    for (const char* name : kTemplateVariables) saved_.push_back({name, readVariable(name)});
}

SavedEnvironment::~SavedEnvironment() {
    for (const Setting& setting : saved_) {
        if (setting.value) {
            (void)setenv(setting.name.c_str(), setting.value->c_str(), 1);
        } else {
            (void)unsetenv(setting.name.c_str());
        }
    }
}

void TemplateTest::SetUp() {
    for (const char* name : kTemplateVariables) (void)unsetenv(name);
    ASSERT_EQ(setenv("HOME", kFixedHome, 1), 0);
    setFakeProgramPath(kFixedProgramPath);
    setFakeProductName(kFixedProductName);
    setFakeVersionString(kFixedVersionString);
    setFakeTimeOfDay(kFixedSeconds, kFixedMicroseconds);
}

void TemplateTest::TearDown() {
    clearFakeTimeOfDay();
    setFakeProgramPath("");
    setFakeProductName(kFixedProductName);
    setFakeVersionString(kFixedVersionString);
}

void checkExpansion(const ExpansionCase& expansion) {
    for (const Setting& setting : expansion.environment) {
        applySetting(setting);
        if (::testing::Test::HasFatalFailure()) return;
    }
    if (expansion.programPath) setFakeProgramPath(expansion.programPath->c_str());

    GuardedBuffer buffer(expansion.capacity);
    const bool result =
        expandTemplate(buffer.data(), expansion.templateText.c_str(), expansion.capacity);

    EXPECT_EQ(result, expansion.expectedResult);
    ASSERT_TRUE(buffer.isTerminated()) << "output is not NUL-terminated within the capacity";
    EXPECT_EQ(buffer.text(), expansion.expectedOutput);
    for (const Setting& expected : expansion.environmentAfter) {
        EXPECT_EQ(readVariable(expected.name.c_str()), expected.value) << expected.name;
    }
}

void PrintTo(const ExpansionCase& expansion, std::ostream* stream) { *stream << expansion.label; }

void PrintTo(const StopCase& stop, std::ostream* stream) { *stream << stop.label; }

void StopTest::SetUp() {
    TemplateTest::SetUp();
    // The shared output buffer is inspected after the child ended, which
    // needs a forked (not re-executed) death-test child.
    GTEST_FLAG_SET(death_test_style, "fast");
}

void checkStop(const StopCase& stop) {
    for (const Setting& setting : stop.environment) {
        applySetting(setting);
        if (::testing::Test::HasFatalFailure()) return;
    }
    if (stop.programPath) setFakeProgramPath(stop.programPath->c_str());
    GuardedBuffer buffer(stop.capacity);

    EXPECT_EXIT(expandTemplate(buffer.data(), stop.templateText.c_str(), stop.capacity),
                ::testing::ExitedWithCode(kFatalExitStatus), stop.message);

    ASSERT_TRUE(buffer.isTerminated());
    EXPECT_EQ(buffer.text(), stop.outputBefore);
    EXPECT_TRUE(buffer.isUntouchedFrom(stop.outputBefore.size() + 1))
        << "the stop came after part of the value was written";
}

bool isDecimal(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

std::string tokenShapeProblem(const std::string& token) {
    static constexpr char kTokenAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    // The last character carries 4 bits and two zero bits: its index in the
    // alphabet is a multiple of 4.
    static constexpr char kLastCharacters[] = "AEIMQUYcgkosw048";
    if (token.size() != 11) return "length " + std::to_string(token.size()) + " of " + token;
    if (token.find_first_not_of(kTokenAlphabet) != std::string::npos) {
        return "foreign character in " + token;
    }
    if (strchr(kLastCharacters, token.back()) == nullptr) return "last character of " + token;
    return {};
}

int runInChild(const std::function<int()>& body) {
    fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        ADD_FAILURE() << "fork: " << strerror(errno);
        return -1;
    }
    if (child == 0) _exit(body());
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            ADD_FAILURE() << "waitpid: " << strerror(errno);
            return -1;
        }
    }
    return status;
}

}  // namespace onefile::testing
