#include "tools/vavedu/plot.hpp"

#include <algorithm>
#include <cstdio>

namespace vavedu::tool {

std::vector<int16_t> samplesFromBytes(std::span<const uint8_t> bytes) {
    std::vector<int16_t> samples;
    samples.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        samples.push_back(static_cast<int16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    return samples;
}

std::vector<std::string> plotWaveform(std::span<const int16_t> samples, int width, int height) {
    if (samples.empty() || width < 2 || height < 2)
        return {};
    const auto [lowest, highest] = std::minmax_element(samples.begin(), samples.end());
    const int low = *lowest;
    const int high = *highest == *lowest ? *lowest + 1 : *highest;
    // Row of a value: 0 at the top (highest), height - 1 at the bottom.
    auto rowOf = [&](int value) {
        const long long span = high - low;
        return static_cast<int>((static_cast<long long>(high - value) * (height - 1) + span / 2) /
                                span);
    };
    std::vector<std::string> grid(static_cast<size_t>(height), std::string(width, ' '));
    const size_t count = samples.size();
    const size_t columns = std::min<size_t>(static_cast<size_t>(width), count);
    for (size_t column = 0; column < columns; ++column) {
        const size_t first = column * count / columns;
        const size_t last = std::max(first + 1, (column + 1) * count / columns);
        const auto [mn, mx] = std::minmax_element(samples.begin() + static_cast<long>(first),
                                                  samples.begin() + static_cast<long>(last));
        const int top = rowOf(*mx);
        const int bottom = rowOf(*mn);
        // The column covers every value its samples took, so steep edges stay connected.
        for (int row = top; row <= bottom; ++row)
            grid[static_cast<size_t>(row)][column] = '*';
    }
    std::vector<std::string> lines;
    for (int row = 0; row < height; ++row) {
        char scale[16] = "       ";
        if (row == 0)
            std::snprintf(scale, sizeof scale, "%6d ", high);
        if (row == height - 1)
            std::snprintf(scale, sizeof scale, "%6d ", low);
        if (row == height / 2 && height > 2) {
            std::snprintf(scale, sizeof scale, "%6d ", (high + low) / 2);
        }
        lines.push_back(std::string(scale) + "|" + grid[static_cast<size_t>(row)]);
    }
    lines.push_back("       +" + std::string(columns, '-'));
    return lines;
}

}  // namespace vavedu::tool
