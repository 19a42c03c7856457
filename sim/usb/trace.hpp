// The URB trace: every submission and completion the bus saw, in order, for tests to read, for
// the trace printer and for the capture writer (which listens to it).
#pragma once

#include "sim/usb/device_model.hpp"

#include <ntstatus.h>
#include <usb.h>

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

namespace sim::usb {

// Transfer types as the capture format numbers them.
enum class TransferKind : uint8_t {
    Isochronous = 0,
    Interrupt = 1,
    Control = 2,
    Bulk = 3,
    None = 0xFE,  // URBs that move no data (reset pipe, rejected function codes)
};

struct TraceRecord {
    bool completion = false;  // false: submission
    uint64_t irpId = 0;       // the same for a submission and its completion
    uint16_t busNumber = 1;
    uint16_t deviceAddress = 0;
    uint16_t function = 0;  // URB function code
    uint8_t endpoint = 0;   // bit 7: IN (control: the direction of the data stage)
    TransferKind kind = TransferKind::None;
    uint32_t transferFlags = 0;
    uint32_t requestedLength = 0;      // TransferBufferLength as submitted
    uint32_t actualLength = 0;         // completion: the bytes moved
    std::optional<SetupPacket> setup;  // control transfers
    USBD_STATUS usbdStatus = USBD_STATUS_PENDING;
    NTSTATUS ntStatus = STATUS_PENDING;
    // Submission: OUT data; completion: IN data. The trace keeps the first dataLimit() bytes;
    // dataLength is the full count.
    Bytes data;
    uint32_t dataLength = 0;
    bool synthetic = false;  // replayed at capture start, not a URB of this session
    uint32_t ioctl = 0;      // non-zero: a port reset request with this code, not a URB

    bool in() const { return (endpoint & 0x80) != 0; }
};

// Readable one-line form, e.g.
// "#12 done dev 1 BULK_OR_INTERRUPT_TRANSFER ep 0x81 bulk flags 0x3 len 512/16384 ok ..."
std::string describe(const TraceRecord& record);
const char* urbFunctionName(uint16_t function);
std::string usbdStatusName(USBD_STATUS status);

class UrbTrace {
  public:
    using Listener = std::function<void(const TraceRecord& record, std::span<const uint8_t> data)>;

    // Records one event; `data` is the full data, of which the record keeps the first bytes.
    void record(TraceRecord record, std::span<const uint8_t> data);
    std::vector<TraceRecord> records() const;
    std::vector<TraceRecord> completions() const;  // completion records only
    size_t size() const;
    void clear();
    void setDataLimit(size_t bytes);
    size_t dataLimit() const;
    // A listener sees every later event with its full data (the capture writer); returns an id.
    int addListener(Listener listener);
    void removeListener(int id);
    // Every record, one line each.
    void print(std::ostream& out) const;
    // Each new record is printed as it happens (the tool's --trace); null stops it.
    void setEcho(std::ostream* out);

  private:
    mutable std::mutex mutex_;
    std::vector<TraceRecord> records_;
    size_t dataLimit_ = 64;
    std::vector<std::pair<int, Listener>> listeners_;
    int nextListener_ = 1;
    std::ostream* echo_ = nullptr;
};

}  // namespace sim::usb
