// Writes the seeds of both fuzz targets into a corpus root (tests/fuzz/corpus by default):
// <root>/hostile_device/seed-<name> and <root>/hostile_application/seed-<name>. The seeds are
// built from the same layout the targets read, so after a change of the layout run this again.
#include "tests/fuzz/hostile_application.hpp"
#include "tests/fuzz/hostile_device.hpp"

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

int write(const std::filesystem::path& directory, const std::vector<vavedu::fuzz::Seed>& seeds) {
    std::filesystem::create_directories(directory);
    for (const auto& seed : seeds) {
        const auto path = directory / ("seed-" + seed.name);
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(seed.bytes.data()),
                  static_cast<std::streamsize>(seed.bytes.size()));
        if (!out) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
        std::printf("%s (%zu bytes)\n", path.c_str(), seed.bytes.size());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::filesystem::path root = argc > 1 ? argv[1] : "tests/fuzz/corpus";
    return write(root / "hostile_device", vavedu::fuzz::hostile_device::seeds()) |
           write(root / "hostile_application", vavedu::fuzz::hostile_application::seeds());
}
