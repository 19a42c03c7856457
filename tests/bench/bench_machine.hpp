// One machine of the model for the benchmarks: the driver loaded with a chosen maximum transfer
// size, and a benchmark device on the USB bus whose bulk data path is a plain memory copy.
#pragma once

#include "pcdriver/bulk/vavedu_ioctl.h"
#include "sim/system/system.hpp"
#include "sim/usb/usb_bus.hpp"

#include <cstdint>
#include <memory>
#include <vector>

namespace vavedu::bench {

// A sink and a source: bulk OUT 0x01 copies each packet into a ring, bulk IN 0x81 fills every
// transfer with full packets copied out of a ring of bytes (one memcpy per stretch of the ring);
// both with 512-byte packets. With rings as large as the requests, a request moves its bytes
// exactly as a plain memcpy between two buffers of its size does. Vendor IN
// request 0x01 answers 64 bytes. Nothing is queued, so any request size runs without waiting.
class BenchDevice : public sim::usb::DeviceModel {
  public:
    static constexpr uint8_t kOut = 0x01;
    static constexpr uint8_t kIn = 0x81;
    static constexpr uint16_t kPacket = 512;
    static constexpr uint8_t kVendorRead = 0x01;

    explicit BenchDevice(size_t ringBytes = 64 * 1024);
    std::string name() const override { return "bench"; }
    sim::usb::Bytes deviceDescriptor() const override;
    sim::usb::Bytes configurationDescriptor(uint8_t index) const override;
    sim::usb::ControlReply controlRequest(const sim::usb::SetupPacket& setup,
                                          std::span<const uint8_t> out) override;
    void bulkOut(uint8_t endpoint, std::span<const uint8_t> packet) override;
    sim::usb::InPacket bulkIn(uint8_t endpoint, uint16_t maxPacket, bool continuing) override;
    std::optional<size_t> bulkInTransfer(uint8_t endpoint, uint16_t maxPacket,
                                         std::span<uint8_t> buffer) override;

  private:
    std::vector<uint8_t> source_;
    std::vector<uint8_t> sink_;
    size_t sourceAt_ = 0;
    size_t sinkAt_ = 0;
};

// The machine: System, bus, driver (MaximumTransferSize set when non-zero), the device plugged in
// and started, handles on pipe 0 (OUT 0x01) and pipe 1 (IN 0x81) and one without a pipe name.
class BenchMachine {
  public:
    // `ringBytes`: the size of the device's rings (rounded up to whole packets).
    explicit BenchMachine(uint32_t maxTransferSize = 0, size_t ringBytes = 64 * 1024);
    ~BenchMachine();
    BenchMachine(const BenchMachine&) = delete;
    BenchMachine& operator=(const BenchMachine&) = delete;

    sim::Handle& writer() { return writer_; }
    sim::Handle& reader() { return reader_; }
    sim::Handle& device() { return device_; }
    sim::AllocationCounters counters() { return system_.kernel().counters(); }
    // Bulk chunks completed on the bus since the last call; empties the bus trace, which would
    // otherwise grow with every chunk. Cheap when called rarely (see trimTrace).
    uint64_t takeChunks();
    // Moves the trace into the chunk count once it holds many records.
    void trimTrace() {
        if (bus_.trace().size() > 16384)
            pendingChunks_ += takeChunks();
    }
    uint64_t chunks() { return pendingChunks_ + takeChunks(); }
    void resetChunks() {
        takeChunks();
        pendingChunks_ = 0;
    }

  private:
    sim::System system_;
    sim::usb::UsbBus& bus_;
    int node_ = -1;
    sim::Handle writer_;
    sim::Handle reader_;
    sim::Handle device_;
    uint64_t pendingChunks_ = 0;
};

// Growth of one allocation kind between two snapshots.
uint64_t grown(const sim::AllocationCounters& before, const sim::AllocationCounters& after,
               sim::AllocationKind kind);

}  // namespace vavedu::bench
