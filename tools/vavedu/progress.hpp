// The progress bar of long transfers, drawn on one terminal line and rewritten in place.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

namespace vavedu::tool {

// "[##########----------]  50%  512 KiB / 1 MiB" for `width` cells.
std::string progressLine(uint64_t done, uint64_t total, int width = 30);

// Draws to `out` while enabled (a terminal and no --json); otherwise does nothing.
class ProgressBar {
  public:
    ProgressBar(std::ostream& out, bool enabled, std::string label, uint64_t total);
    ~ProgressBar();  // ends the line when anything was drawn
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;
    void update(uint64_t done);
    void finish();

  private:
    std::ostream& out_;
    bool enabled_;
    std::string label_;
    uint64_t total_;
    bool drawn_ = false;
    int lastPercent_ = -1;
};

}  // namespace vavedu::tool
