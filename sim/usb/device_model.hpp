// Device models: what sits at the far end of a USB port. The bus answers standard requests from a
// model's descriptors and state and hands it vendor and class requests, bulk packets and the
// configuration changes it made. A model is called by one thread at a time (the bus serialises).
#pragma once

#include "sim/usb/descriptors.hpp"

#include <usb.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct _INSTRUMENT;

namespace sim::usb {

// The 8 bytes of a control transfer's setup stage.
struct SetupPacket {
    uint8_t requestType = 0;  // bmRequestType
    uint8_t request = 0;      // bRequest
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
    bool in() const { return (requestType & 0x80) != 0; }
    uint8_t type() const { return (requestType >> 5) & 0x03; }  // 0 standard, 1 class, 2 vendor
    uint8_t recipient() const { return requestType & 0x1F; }
    std::array<uint8_t, 8> bytes() const;
    bool operator==(const SetupPacket&) const = default;
};

// Answer of a model to a control request: a USBD status (USBD_STATUS_STALL_PID to refuse) and,
// for an IN request, the data (the bus sends at most wLength of it).
struct ControlReply {
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    Bytes data;
    static ControlReply stall() { return {USBD_STATUS_STALL_PID, {}}; }
};

// One packet of a bulk or interrupt IN endpoint: data (empty is a zero-length packet) or nothing
// yet (the endpoint NAKs; the bus asks again when the model says new data may be there).
using InPacket = std::optional<Bytes>;

class DeviceModel {
  public:
    virtual ~DeviceModel() = default;

    virtual std::string name() const = 0;
    virtual Bytes deviceDescriptor() const = 0;
    // The whole descriptor set of the configuration at `index` (0-based); empty when none.
    virtual Bytes configurationDescriptor(uint8_t index) const = 0;
    // String descriptor `index` (0 is the language list); nullopt when the device has none.
    virtual std::optional<Bytes> stringDescriptor(uint8_t index, uint16_t language) const;

    // Vendor and class requests; the default refuses them with a stall.
    virtual ControlReply controlRequest(const SetupPacket& setup, std::span<const uint8_t> out);
    // One packet the host sent to an OUT endpoint (empty: a zero-length packet).
    virtual void bulkOut(uint8_t endpoint, std::span<const uint8_t> packet);
    // The next packet of an IN endpoint, at most `maxPacket` bytes; `continuing` is true when
    // earlier packets of the same transfer were already sent.
    virtual InPacket bulkIn(uint8_t endpoint, uint16_t maxPacket, bool continuing);
    // A whole IN transfer at once, for models whose data is at hand: copies packets of
    // `maxPacket` bytes into `buffer` and returns how many bytes it sent. Fewer than the buffer
    // holds means the last packet was short (or a zero-length packet followed), which ends the
    // transfer. nullopt (the default) makes the bus ask bulkIn packet by packet instead.
    virtual std::optional<size_t> bulkInTransfer(uint8_t endpoint, uint16_t maxPacket,
                                                 std::span<uint8_t> buffer) {
        (void)endpoint;
        (void)maxPacket;
        (void)buffer;
        return std::nullopt;
    }
    // The host set a configuration (0: unconfigured) or an interface's alternate setting.
    virtual void configurationChanged(uint8_t value);
    virtual void interfaceChanged(uint8_t interfaceNumber, uint8_t alternate);
    // Port reset: back to the state after power-on (address and configuration are the bus's).
    virtual void reset();

    // Called by the model when an IN endpoint that NAKed may have data now; the bus installs it.
    void setDataAvailableCallback(std::function<void()> callback) {
        dataAvailable_ = std::move(callback);
    }
    // The bus's clock (virtual on a timed bus), for models that pace their data; the bus
    // installs it and calls the model only while it may be read.
    void setClock(std::function<std::chrono::nanoseconds()> clock) { clock_ = std::move(clock); }
    // When an IN endpoint that NAKed has its next packet, for a model that paces its data: a timed
    // bus moves its clock there when nothing else can go on. nullopt: the model says when
    // (notifyDataAvailable).
    virtual std::optional<std::chrono::nanoseconds> dataDueAt(uint8_t endpoint) const {
        (void)endpoint;
        return std::nullopt;
    }

  protected:
    void notifyDataAvailable() {
        if (dataAvailable_)
            dataAvailable_();
    }
    std::chrono::nanoseconds busTime() const {
        return clock_ ? clock_() : std::chrono::nanoseconds(0);
    }

  private:
    std::function<void()> dataAvailable_;
    std::function<std::chrono::nanoseconds()> clock_;
};

// ---- built-in models

// The measurement instrument (vendor 0x1209, product 0x0001, USB 2.0 high speed), on the
// instrument's own kernel code (pcdriver/instrument), which the emulator of the Windows build
// runs too: its descriptors, loopback (0x01 to 0x81), sample stream (0x86; 0x81 of
// configuration 2) and vendor requests are described there. This class gives it the device
// model's shape and unbounded loopback storage: the ring grows instead of refusing a packet.
class InstrumentModel : public DeviceModel {
  public:
    static constexpr uint16_t kVendorId = 0x1209;
    static constexpr uint16_t kProductId = 0x0001;
    static constexpr uint8_t kRequestFirmwareVersion = 0x01;
    static constexpr uint8_t kRequestStartAcquisition = 0x02;
    static constexpr uint8_t kRequestStopAcquisition = 0x03;
    static constexpr uint8_t kRequestClose = 0x00;
    static constexpr std::string_view kFirmwareVersion = "VaVedu instrument firmware 2.1.0";

    explicit InstrumentModel(std::u16string serial = u"VV0001");
    ~InstrumentModel() override;
    InstrumentModel(const InstrumentModel&) = delete;
    InstrumentModel& operator=(const InstrumentModel&) = delete;

    // Sample n of the waveform: a triangle from -16384 to +16384 with a period of 256 samples,
    // plus a small deterministic ripple; sent as 16-bit little-endian values.
    static int16_t sample(uint64_t n);

    std::string name() const override { return "instrument"; }
    Bytes deviceDescriptor() const override;
    Bytes configurationDescriptor(uint8_t index) const override;
    std::optional<Bytes> stringDescriptor(uint8_t index, uint16_t language) const override;
    ControlReply controlRequest(const SetupPacket& setup, std::span<const uint8_t> out) override;
    void bulkOut(uint8_t endpoint, std::span<const uint8_t> packet) override;
    InPacket bulkIn(uint8_t endpoint, uint16_t maxPacket, bool continuing) override;
    void configurationChanged(uint8_t value) override;
    void interfaceChanged(uint8_t interfaceNumber, uint8_t alternate) override;
    void reset() override;
    std::optional<std::chrono::nanoseconds> dataDueAt(uint8_t endpoint) const override;

    // Paces the sample stream at `samplesPerSecond` by the bus's clock (0, the default: as fast
    // as the bus takes it): a packet goes only once all its samples exist, counted from the start
    // of acquisition. Set it before the device is plugged in.
    void setStreamPace(double samplesPerSecond) { pace_ = samplesPerSecond; }
    // Samples that exist by the bus's clock now but were not sent yet (0 when not paced).
    uint64_t streamBacklog() const;

    // What the device saw, for tests.
    unsigned closeRequests() const;
    bool acquiring() const;
    uint8_t configuration() const;
    uint64_t bytesSunk() const;  // received on 0x02
    size_t loopbackWaiting() const;
    unsigned zeroLengthPacketsReceived() const;
    uint64_t samplesSent() const;

  private:
    void notifyIfDataAvailable();
    bool streamEndpoint(uint8_t endpoint) const;
    uint64_t samplesMade(std::chrono::nanoseconds at) const;  // by a paced stream, since its start
    void restartPace();

    double pace_ = 0;
    std::chrono::nanoseconds paceStart_{0};
    uint16_t streamPacket_ = 512;
    std::u16string serial_;
    Bytes loopbackStorage_;
    std::unique_ptr<_INSTRUMENT> state_;
};

// The simplest device: one configuration, one interface, bulk OUT 0x01 looping back to IN 0x81
// (vendor 0x1209, product 0x0002, 512-byte packets). Vendor and class requests stall.
class LoopbackModel : public DeviceModel {
  public:
    explicit LoopbackModel(uint16_t maxPacket = 512);
    std::string name() const override { return "loopback"; }
    Bytes deviceDescriptor() const override;
    Bytes configurationDescriptor(uint8_t index) const override;
    void bulkOut(uint8_t endpoint, std::span<const uint8_t> packet) override;
    InPacket bulkIn(uint8_t endpoint, uint16_t maxPacket, bool continuing) override;
    void reset() override { waiting_.clear(); }
    size_t waiting() const { return waiting_.size(); }

  private:
    uint16_t maxPacket_;
    std::deque<uint8_t> waiting_;
};

// A device replayed from raw descriptor bytes in the format Linux exposes in sysfs as
// `descriptors`: the device descriptor, then each configuration's whole descriptor set. Bulk and
// interrupt endpoints of one interface setting with the same number in both directions are a
// loopback pair; an IN endpoint alone is a source of a counting byte pattern; an OUT endpoint
// alone is a sink. Malformed input is cut where it stops making sense: a short or wrong device
// descriptor throws std::invalid_argument; configurations that run out or lie are kept as far as
// they are whole.
class RawDescriptorModel : public DeviceModel {
  public:
    explicit RawDescriptorModel(std::span<const uint8_t> descriptors, std::string name = "raw");
    static std::unique_ptr<RawDescriptorModel> fromFile(const std::string& path);

    std::string name() const override { return name_; }
    Bytes deviceDescriptor() const override { return device_; }
    Bytes configurationDescriptor(uint8_t index) const override;
    void bulkOut(uint8_t endpoint, std::span<const uint8_t> packet) override;
    InPacket bulkIn(uint8_t endpoint, uint16_t maxPacket, bool continuing) override;
    void configurationChanged(uint8_t value) override;
    void reset() override;
    size_t configurationCount() const { return configurations_.size(); }

  private:
    std::string name_;
    Bytes device_;
    std::vector<Bytes> configurations_;
    uint8_t configuration_ = 0;
    std::map<uint8_t, std::deque<uint8_t>> loopback_;  // by OUT endpoint number
    std::map<uint8_t, uint8_t> sourceCounter_;         // by IN endpoint address
    bool pairedIn(uint8_t inAddress) const;
};

// The built-in models by name ("instrument", "loopback", or "raw:<file>" for a descriptors file)
// for the tool's --device option; nullptr for an unknown name. A raw file that cannot be read or
// holds no device descriptor throws std::invalid_argument.
std::unique_ptr<DeviceModel> makeDeviceModel(std::string_view name);
std::vector<std::string> deviceModelNames();

}  // namespace sim::usb
