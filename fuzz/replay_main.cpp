// Runs every input of the folders or files given once through the target's entry point, without
// libFuzzer: how the normal, ASan and TSan test runs replay the corpora and the regressions.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

#include "harness.h"

namespace {

std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

} // namespace

int main(int argc, char** argv)
{
    namespace fs = std::filesystem;
    std::vector<fs::path> inputs;
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    for (const std::string& argument : arguments) {
        const fs::path path(argument);
        std::error_code error;
        if (fs::is_directory(path, error)) {
            for (const fs::directory_entry& entry : fs::directory_iterator(path, error)) {
                // Dot files are notes about a folder, not inputs.
                if (entry.is_regular_file() && !entry.path().filename().string().starts_with(".")) {
                    inputs.push_back(entry.path());
                }
            }
        } else if (fs::is_regular_file(path, error)) {
            inputs.push_back(path);
        } else {
            // A target without findings has no regressions folder.
            std::printf("no inputs at %s\n", argument.c_str());
        }
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "nothing to replay: give the corpus folder\n");
        return 2;
    }
    std::sort(inputs.begin(), inputs.end());
    LLVMFuzzerTestOneInput(nullptr, 0);
    for (const fs::path& path : inputs) {
        // Named before it runs, so a crash shows which input it was.
        std::printf("replaying %s\n", path.c_str());
        std::fflush(stdout);
        const std::vector<std::uint8_t> data = ReadFile(path);
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    std::printf("%zu inputs replayed\n", inputs.size());
    return 0;
}
