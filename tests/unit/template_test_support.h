// Shared pieces of the template unit tests: a guarded output buffer, the
// environment a test may change, a fixture that pins every input of an
// expansion, and a way to run code in a real child process.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <new>
#include <ostream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/template_variables.h"

namespace onefile::testing {

// An output buffer of exactly `capacity` bytes that ends at an inaccessible
// page, so a write past the capacity faults at once, with or without a
// sanitizer. The memory is shared, so what a forked child (a death test)
// wrote before it ended can be inspected afterwards. Bytes start as kMarker.
class GuardedBuffer {
public:
    static constexpr char kMarker = '#';

    explicit GuardedBuffer(std::size_t capacity);
    ~GuardedBuffer();
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    char* data() { return data_; }
    std::size_t capacity() const { return capacity_; }

    // True when a NUL stands within the capacity.
    bool isTerminated() const;
    // The text up to the first NUL; call only when isTerminated().
    std::string text() const;
    // True when no byte from offset to the end was written.
    bool isUntouchedFrom(std::size_t offset) const;

private:
    void* mapping_ = nullptr;
    std::size_t mappingBytes_ = 0;
    char* data_ = nullptr;
    std::size_t capacity_ = 0;
};

// One environment variable: a value, or unset (nullopt).
struct Setting {
    std::string name;
    std::optional<std::string> value;
};

void applySetting(const Setting& setting);
std::optional<std::string> readVariable(const char* name);

class SavedEnvironment {
public:
    SavedEnvironment();
    ~SavedEnvironment();
    SavedEnvironment(const SavedEnvironment&) = delete;
    SavedEnvironment& operator=(const SavedEnvironment&) = delete;

private:
    std::vector<Setting> saved_;
};

// Inputs every test starts from, so that no case depends on the machine: no
// TMPDIR, no XDG_CACHE_HOME, none of the launch variables, this HOME, this
// program path, the build's default strings and a clock standing at
// kFixedSeconds.kFixedMicroseconds.
inline constexpr const char* kFixedHome = "/home/u";
inline constexpr const char* kFixedProgramPath = "/opt/app/tool.bin";
inline constexpr const char* kFixedProductName = "Merowin";
inline constexpr const char* kFixedVersionString = "0.13.1";
inline constexpr long kFixedSeconds = 1700000000;
inline constexpr long kFixedMicroseconds = 42;

class TemplateTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

private:
    SavedEnvironment savedEnvironment_;
};

// One expansion and everything that it should leave behind.
struct ExpansionCase {
    std::string label;  // test name: letters, digits and underscores
    std::string templateText;
    std::size_t capacity = 4096;
    std::vector<Setting> environment = {};  // applied over the fixture's inputs
    std::optional<std::string> programPath = std::nullopt;
    bool expectedResult = true;
    std::string expectedOutput = {};
    std::vector<Setting> environmentAfter = {};  // variables checked afterwards
};

// Applies the case's inputs, expands into a guarded buffer and checks the
// result, the output and the variables.
void checkExpansion(const ExpansionCase& expansion);

// A value that does not fit, or a malformed TAVMIR_ONEFILE_PARENT, stops the
// launcher before anything of the value is written: the output keeps what
// stood before, and no byte behind its NUL changes.
struct StopCase {
    std::string label;
    std::string templateText;
    std::size_t capacity;
    std::vector<Setting> environment;
    std::string message;  // pattern of the line on standard error
    std::string outputBefore;
    std::optional<std::string> programPath = std::nullopt;
};

inline const std::string kValueMessage = "placeholder value";
inline const std::string kParentMessage = "TAVMIR_ONEFILE_PARENT";

// Base of the parameterised stop tests; each test file derives its own suite.
class StopTest : public TemplateTest, public ::testing::WithParamInterface<StopCase> {
protected:
    void SetUp() override;
};

// Expands in a death-test child and checks its exit status, its message and
// the output it left in the shared buffer.
void checkStop(const StopCase& stop);

// Cases print as their labels in test output.
void PrintTo(const ExpansionCase& expansion, std::ostream* stream);
void PrintTo(const StopCase& stop, std::ostream* stream);

// The test name of a parameterised case.
struct CaseLabel {
    template <typename Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
        return info.param.label;
    }
};

// True when text is one or more ASCII digits.
bool isDecimal(const std::string& text);

// Empty when token has the shape of a random token (11 characters of the
// base64url alphabet, the last one carrying two zero bits), else what is
// wrong with it.
std::string tokenShapeProblem(const std::string& token);

// Runs body in a forked child and returns the raw wait status. The child ends
// with _exit(body()), so it runs no exit handlers of the test process.
int runInChild(const std::function<int()>& body);

// Memory shared with children forked after its creation.
template <typename Value>
class SharedValue {
public:
    SharedValue();
    ~SharedValue();
    SharedValue(const SharedValue&) = delete;
    SharedValue& operator=(const SharedValue&) = delete;
    Value& operator*() { return *value_; }
    Value* operator->() { return value_; }

private:
    Value* value_;
};

void* mapSharedBytes(std::size_t bytes);
void unmapSharedBytes(void* address, std::size_t bytes);

template <typename Value>
SharedValue<Value>::SharedValue() : value_(new (mapSharedBytes(sizeof(Value))) Value{}) {}

template <typename Value>
SharedValue<Value>::~SharedValue() {
    value_->~Value();
    unmapSharedBytes(value_, sizeof(Value));
}

}  // namespace onefile::testing
