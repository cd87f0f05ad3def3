#include "tests/support/environment.h"

extern char** environ;

namespace onefile::testing {

std::vector<std::string> composeEnvironment(const std::map<std::string, std::string>& set,
                                            const std::vector<std::string>& unset) {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::size_t equals = text.find('=');
        if (equals != std::string::npos) variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const std::string& name : unset) variables.erase(name);
    for (const auto& [name, value] : set) variables[name] = value;
    std::vector<std::string> environment;
    for (const auto& [name, value] : variables) environment.push_back(name + "=" + value);
    return environment;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace onefile::testing
