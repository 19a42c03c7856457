// A small terminal plot of a waveform: samples in columns (each column the range of the samples
// that fall into it), values in rows, with the value scale on the left.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vavedu::tool {

// Lines of the plot, `height` rows of `width` columns plus the scale; empty when there are no
// samples or the size is too small to draw.
std::vector<std::string> plotWaveform(std::span<const int16_t> samples, int width, int height);

// 16-bit little-endian samples from bytes (an odd last byte is ignored).
std::vector<int16_t> samplesFromBytes(std::span<const uint8_t> bytes);

}  // namespace vavedu::tool
