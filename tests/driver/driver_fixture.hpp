// The driver on the model: a fresh machine with the USB bus, the driver image loaded from the
// build, and instruments plugged in, for the tests of every subsystem of the driver.
#pragma once

#include "pcdriver/bulk/vavedu_ioctl.h"
#include "sim/system/system.hpp"
#include "sim/usb/usb_bus.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace vavedu::test {

using Bytes = std::vector<uint8_t>;

// The service the tests load the driver as, and the registry value it reads.
inline constexpr std::u16string_view kService = u"VaVedu";
inline constexpr std::u16string_view kMaxTransferSizeValue = u"MaximumTransferSize";

const GUID& interfaceGuid();

// A device whose descriptors are exactly the bytes given, even malformed ones; bulk endpoints
// take what is written and return nothing. For start and selection tests with hostile devices.
class ScriptedDevice : public sim::usb::DeviceModel {
  public:
    ScriptedDevice(Bytes device, std::vector<Bytes> configurations)
        : device_(std::move(device)), configurations_(std::move(configurations)) {}
    std::string name() const override { return "scripted"; }
    Bytes deviceDescriptor() const override { return device_; }
    Bytes configurationDescriptor(uint8_t index) const override {
        return index < configurations_.size() ? configurations_[index] : Bytes{};
    }

  private:
    Bytes device_;
    std::vector<Bytes> configurations_;
};

// A valid device descriptor of the test range with `configurations` announced.
Bytes testDeviceDescriptor(uint8_t configurations);

// True when the bytes are consecutive samples of the instrument's waveform (whole samples, from
// any phase): what a read of its stream must bring.
bool isStretchOfWaveform(const uint8_t* data, size_t bytes);

class DriverTest : public ::testing::Test {
  protected:
    DriverTest();

    // Sets REG_DWORD values under the service key, then loads the driver (DriverEntry).
    NTSTATUS loadDriver(const std::map<std::u16string, ULONG>& dwords = {});
    // Attaches a device and runs AddDevice and start; the node of the Plug and Play manager.
    int plug(std::unique_ptr<sim::usb::DeviceModel> model);
    int plugInstrument();
    // Attaches a device and runs AddDevice only (start it with system.start(node)).
    int attachOnly(std::unique_ptr<sim::usb::DeviceModel> model);

    PDEVICE_OBJECT pdo(int node) { return system.pdo(node); }
    sim::usb::InstrumentModel& instrument(int node);
    // The enabled interface path of the node's device; fails the test when there is none.
    std::u16string interfacePath(int node);
    bool interfaceVisible(int node);
    // Opens "<interface path><suffix>"; the status of the create.
    NTSTATUS open(int node, std::u16string_view suffix, sim::Handle* handle);
    sim::Handle open(int node, std::u16string_view suffix = u"");

    // Device control through a handle: the result and the output bytes (Information of them).
    sim::AppResult ioctl(sim::Handle& handle, ULONG code, std::span<const uint8_t> input,
                         ULONG outputLength, Bytes* output = nullptr);
    ULONG lastUsbdStatus(sim::Handle& handle);

    // Completed URBs of one function, in order (trace completions).
    std::vector<sim::usb::TraceRecord> completed(uint16_t function) const;
    std::vector<sim::usb::TraceRecord> completedOnEndpoint(uint8_t endpoint) const;
    // The lengths asked of each completed bulk stage on an endpoint, in order.
    std::vector<uint32_t> stageLengths(uint8_t endpoint) const;

    // Control transfers: stores the setup packet (IOCTL_BULK_SET_SETUP_PACKET), then runs it
    // (IOCTL_BULK_CONTROL_TRANSFER) with `input` and an output of `outputLength` bytes.
    sim::AppResult setSetupPacket(sim::Handle& handle, const SETUP_PACKET& packet);
    sim::AppResult controlTransfer(sim::Handle& handle, const SETUP_PACKET& packet,
                                   std::span<const uint8_t> input, ULONG outputLength,
                                   Bytes* output = nullptr);
    // IOCTL_BULK_ZERO_LENGTH_PACKET_MODE with `value` and a 4-byte output.
    sim::AppResult zeroLengthPacketMode(sim::Handle& handle, LONG value, ULONG outputLength = 4,
                                        Bytes* output = nullptr);
    sim::AllocationCounters counters() { return system.kernel().counters(); }

    sim::System system;
    sim::usb::UsbBus& bus;
};

std::string hex(std::span<const uint8_t> bytes);
// `length` bytes of a pattern that differs for every `seed` and position.
Bytes pattern(size_t length, uint32_t seed = 1);
// The growth of one allocation kind between two counter snapshots.
uint64_t allocatedBetween(const sim::AllocationCounters& before,
                          const sim::AllocationCounters& after, sim::AllocationKind kind);

}  // namespace vavedu::test
