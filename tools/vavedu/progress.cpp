#include "tools/vavedu/progress.hpp"

#include "tools/vavedu/text.hpp"

#include <algorithm>
#include <cstdio>

namespace vavedu::tool {

std::string progressLine(uint64_t done, uint64_t total, int width) {
    if (width < 1)
        width = 1;
    const uint64_t shown = std::min(done, total);
    const int filled = total == 0 ? width : static_cast<int>(shown * width / total);
    const int percent = total == 0 ? 100 : static_cast<int>(shown * 100 / total);
    char tail[16];
    std::snprintf(tail, sizeof tail, "] %3d%%  ", percent);
    return "[" + std::string(filled, '#') + std::string(width - filled, '-') + tail +
           humanBytes(shown) + " / " + humanBytes(total);
}

ProgressBar::ProgressBar(std::ostream& out, bool enabled, std::string label, uint64_t total)
    : out_(out), enabled_(enabled), label_(std::move(label)), total_(total) {}

ProgressBar::~ProgressBar() {
    if (drawn_)
        out_ << "\n" << std::flush;
}

void ProgressBar::update(uint64_t done) {
    if (!enabled_)
        return;
    const int percent = total_ == 0 ? 100 : static_cast<int>(std::min(done, total_) * 100 / total_);
    if (percent == lastPercent_)
        return;
    lastPercent_ = percent;
    out_ << "\r" << label_ << " " << progressLine(done, total_) << "\x1b[K" << std::flush;
    drawn_ = true;
}

void ProgressBar::finish() {
    if (!enabled_)
        return;
    update(total_);
    if (drawn_)
        out_ << "\n" << std::flush;
    drawn_ = false;
}

}  // namespace vavedu::tool
