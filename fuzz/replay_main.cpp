// A driver for builds without libFuzzer: runs the harness once on every file
// named on the command line, and on every file in every directory named
// there (not recursively), in name order. A harness reports a finding by
// aborting, so a finding ends this driver abnormally too.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::filesystem::path> inputsOf(const std::filesystem::path& argument) {
    std::vector<std::filesystem::path> inputs;
    if (std::filesystem::is_directory(argument)) {
        for (const auto& entry : std::filesystem::directory_iterator(argument)) {
            if (entry.is_regular_file()) inputs.push_back(entry.path());
        }
        std::sort(inputs.begin(), inputs.end());
    } else {
        inputs.push_back(argument);
    }
    return inputs;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        // A directory that does not exist (no regressions recorded yet) has
        // nothing to replay.
        if (!std::filesystem::exists(argv[i])) continue;
        for (const std::filesystem::path& input : inputsOf(argv[i])) {
            std::ifstream file(input, std::ios::binary);
            if (!file) {
                fprintf(stderr, "cannot read %s\n", input.c_str());
                return 1;
            }
            const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            fprintf(stderr, "replaying %s\n", input.c_str());
            LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
            ++count;
        }
    }
    fprintf(stderr, "replayed %zu inputs\n", count);
    return 0;
}
