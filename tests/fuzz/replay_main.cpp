// Runs every input of a corpus once through a fuzz target, without libFuzzer: the corpus as a
// regression suite in every build. Arguments are files and directories (their regular files, in
// name order). Each input's name is printed before it runs, so a failure names its input.
#include "tests/fuzz/fuzz_target.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const fs::path path = argv[i];
        if (!fs::is_directory(path)) {
            inputs.push_back(path);
            continue;
        }
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(path)) {
            if (entry.is_regular_file())
                files.push_back(entry.path());
        }
        std::sort(files.begin(), files.end());
        inputs.insert(inputs.end(), files.begin(), files.end());
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "usage: %s <input file or corpus directory>...\n", argv[0]);
        return 2;
    }
    LLVMFuzzerInitialize(&argc, &argv);
    for (const fs::path& path : inputs) {
        std::printf("replay %s\n", path.filename().c_str());
        std::fflush(stdout);
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", path.c_str());
            return 2;
        }
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    const std::string findings = vavedu::fuzz::finishTarget();
    if (!findings.empty()) {
        std::fprintf(stderr, "the kernel's findings at the end:\n%s\n", findings.c_str());
        return 1;
    }
    std::printf("replayed %zu inputs without a failure\n", inputs.size());
    return 0;
}
