// A reference model of the directory-template language, written apart from
// the launcher's scanner so that the two can be compared on any input. It
// works on std::string and says what the launcher's expansion must produce:
// the outcome, the exact output at the end (or at the stop), and the
// environment afterwards.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/template_variables.h"

namespace onefile::fuzz {

// How an expansion ends.
enum class ExpansionOutcome {
    expanded,          // true
    failed,            // false
    stoppedOnLimit,    // a value did not fit: the stop for a broken limit
    stoppedOnParent,   // TAVMIR_ONEFILE_PARENT set but not a process id
};

const char* outcomeName(ExpansionOutcome outcome);

// Every environment variable an expansion reads or writes, each set or unset.
using Environment = std::map<std::string, std::optional<std::string>>;

using onefile::testing::kTemplateVariables;

struct ModelInputs {
    std::size_t capacity = 0;
    std::string templateText;
    std::string programPath;
    std::string productName;
    std::string versionString;
    int processId = 0;
    // The home directory of the password database, when there is an entry.
    std::optional<std::string> passwordHome;
    // The variables before the expansion.
    Environment before;
    // The variables after the launcher's expansion ran. The values that a
    // placeholder generates (time stamps, the random token) cannot be
    // predicted; the model takes them from here and checks their form.
    Environment after;
};

struct ModelResult {
    ExpansionOutcome outcome = ExpansionOutcome::expanded;
    std::string output;
    // The variables as they must stand after the expansion.
    Environment environment;
    // Generated values whose form is wrong, or which are missing.
    std::vector<std::string> problems;
};

ModelResult modelExpansion(const ModelInputs& inputs);

}  // namespace onefile::fuzz
