// Capture of bus traffic as a classic pcap file of link type USBPcap (249), one packet per URB
// submission and completion. Each packet starts with the USBPcap header (little-endian, packed):
//   u16 header length, u64 IRP id, u32 USBD status, u16 URB function, u8 info (bit 0: 1 on
//   completion), u16 bus, u16 device address, u8 endpoint (bit 7 IN), u8 transfer type,
//   u32 data length, and for control transfers u8 stage (0 setup, 1 data, 2 status, 3 complete)
// so 28 bytes for control records and 27 for the others; then the data.
#pragma once

#include "sim/usb/trace.hpp"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>

namespace sim::usb {

inline constexpr uint32_t kLinkTypeUsbPcap = 249;

// The bytes of one USBPcap packet (header and data) for a trace record and its full data.
Bytes usbPcapPacket(const TraceRecord& record, std::span<const uint8_t> data);

class PcapWriter {
  public:
    // Creates (truncates) the file and writes the global header; throws std::runtime_error when
    // the file cannot be written.
    explicit PcapWriter(const std::filesystem::path& path);
    ~PcapWriter();
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    void write(const TraceRecord& record, std::span<const uint8_t> data);
    void flush();
    uint64_t packets() const;

  private:
    mutable std::mutex mutex_;
    std::FILE* file_ = nullptr;
    uint64_t packets_ = 0;
};

}  // namespace sim::usb
