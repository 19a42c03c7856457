// Runs every input of a corpus through a fuzz target without libFuzzer: the corpus as a
// regression suite in every build. Arguments are files and directories (their regular files, in
// name order); with --twice each input runs twice and must do the same both times (the same bus
// trace and the same results of its requests), which is what makes the fuzzing deterministic.
// Each input's name is printed before it runs, so a failure names its input.
#include "tests/fuzz/fuzz_target.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputsOf(const std::vector<fs::path>& arguments) {
    std::vector<fs::path> inputs;
    for (const fs::path& path : arguments) {
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
    return inputs;
}

// The first line where two run records differ, for the report.
std::string firstDifference(const std::string& a, const std::string& b) {
    size_t at = 0;
    while (at < a.size() && at < b.size() && a[at] == b[at])
        ++at;
    const size_t start = a.rfind('\n', at == 0 ? 0 : at - 1);
    const size_t from = start == std::string::npos ? 0 : start + 1;
    auto line = [from](const std::string& s) { return s.substr(from, s.find('\n', from) - from); };
    return "first run:  " + line(a) + "\nsecond run: " + line(b);
}

}  // namespace

int main(int argc, char** argv) {
    const bool twice = argc > 1 && std::strcmp(argv[1], "--twice") == 0;
    const std::vector<fs::path> inputs =
        inputsOf(std::vector<fs::path>(argv + 1 + (twice ? 1 : 0), argv + argc));
    if (inputs.empty()) {
        std::fprintf(stderr, "usage: %s [--twice] <input file or corpus directory>...\n", argv[0]);
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
        if (!twice)
            continue;
        const std::string first = vavedu::fuzz::lastRunRecord();
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        const std::string second = vavedu::fuzz::lastRunRecord();
        if (first != second) {
            std::fprintf(stderr, "%s did not do the same twice:\n%s\n", path.c_str(),
                         firstDifference(first, second).c_str());
            return 1;
        }
    }
    const std::string findings = vavedu::fuzz::finishTarget();
    if (!findings.empty()) {
        std::fprintf(stderr, "the kernel's findings at the end:\n%s\n", findings.c_str());
        return 1;
    }
    std::printf("replayed %zu inputs%s without a failure\n", inputs.size(),
                twice ? " twice each, the same both times," : "");
    return 0;
}
