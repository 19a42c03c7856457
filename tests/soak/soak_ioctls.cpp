// The device-control thread of the soak: every request of the driver's interface, selections and
// control transfers included, from one handle, while reads and writes run on the others (each of
// those threads resets its own pipe now and then).
#include "tests/soak/soak_traffic.hpp"

#include "pcdriver/bulk/vavedu_ioctl.h"
#include "sim/usb/device_model.hpp"

#include <chrono>
#include <cstring>

namespace vavedu::soak {

namespace {

using Instrument = sim::usb::InstrumentModel;

// One device-control request: its code, input and output length, and what a success must show
// in the output (its first bytes; empty when only the byte count is checked).
struct IoctlCase {
    ULONG code;
    Bytes input;
    ULONG outputLength;
    size_t minimumBytes = 0;  // a success returns at least this many
    Bytes startsWith = {};
};

std::vector<IoctlCase> ioctlCases() {
    return {
        {IOCTL_BULK_GET_DRIVER_VERSION, {}, 4, 4},
        {IOCTL_BULK_GET_DESCRIPTOR, {USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 0}, 18, 18, {18, 1}},
        {IOCTL_BULK_GET_DESCRIPTOR, {USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 0}, 255, 9, {9, 2}},
        {IOCTL_BULK_GET_DESCRIPTOR, {USB_CONFIGURATION_DESCRIPTOR_TYPE, 1, 0, 0}, 255, 9, {9, 2}},
        {IOCTL_BULK_GET_LAST_USBD_STATUS, {}, 4, 4},
        {IOCTL_BULK_GET_RESERVED_VALUE, {}, 4, 4, {0, 0, 0, 0}},
        {IOCTL_BULK_ZERO_LENGTH_PACKET_MODE, {1, 0, 0, 0}, 4, 4},
        {IOCTL_BULK_ZERO_LENGTH_PACKET_MODE, {0, 0, 0, 0}, 4, 4},
        {IOCTL_BULK_GET_BANNER, {}, 256, 1},
        {IOCTL_BULK_GET_USBDI_VERSION, {}, 8, 8},
        {IOCTL_BULK_SELECT_CONFIGURATION, {1}, 0},
        {IOCTL_BULK_SELECT_CONFIGURATION, {1}, 0},
        {IOCTL_BULK_SELECT_CONFIGURATION, {1}, 0},
        {IOCTL_BULK_SELECT_CONFIGURATION, {2}, 0},  // the streams of interface 0 and 1 go
        {IOCTL_BULK_SELECT_INTERFACE, {0, 1}, 0},
        {IOCTL_BULK_SELECT_INTERFACE, {0, 0}, 0},
        {IOCTL_BULK_SELECT_INTERFACE, {1, 0}, 0},
    };
}

SETUP_PACKET vendorRequest(uint8_t requestType, uint8_t request, uint16_t length) {
    SETUP_PACKET packet{};
    packet.bmRequestType = requestType;
    packet.bRequest = request;
    packet.wLength = length;
    return packet;
}

}  // namespace

void Traffic::runIoctls(uint32_t seed) {
    std::mt19937 random(seed);
    sim::Handle handle;
    if (shared_.system.open(path_, &handle) < 0)
        return;
    static const std::vector<IoctlCase> cases = ioctlCases();
    Bytes output(256);
    while (!stopping_) {
        if (random() % (cases.size() + 2) < 2) {
            controlRequest(handle, random);
        } else {
            const IoctlCase& c = cases[random() % cases.size()];
            const sim::AppResult result = handle.deviceIoControl(
                c.code, c.input.empty() ? nullptr : c.input.data(), ULONG(c.input.size()),
                c.outputLength == 0 ? nullptr : output.data(), c.outputLength);
            ++shared_.counters.requests;
            check(c.code, result, c.minimumBytes, c.startsWith, output);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 500));
    }
    handle.close();
}

// A control transfer of the instrument's vendor requests: the stored setup packet, then the
// transfer (the firmware version string IN, or starting and stopping acquisition OUT).
void Traffic::controlRequest(sim::Handle& handle, std::mt19937& random) {
    static const SETUP_PACKET kPackets[] = {
        vendorRequest(0xC0, Instrument::kRequestFirmwareVersion, 64),
        vendorRequest(0x40, Instrument::kRequestStartAcquisition, 0),
        vendorRequest(0x40, Instrument::kRequestStopAcquisition, 0),
    };
    const SETUP_PACKET& packet = kPackets[random() % std::size(kPackets)];
    const sim::AppResult stored =
        handle.deviceIoControl(IOCTL_BULK_SET_SETUP_PACKET, &packet, sizeof(packet), nullptr, 0);
    ++shared_.counters.requests;
    check(IOCTL_BULK_SET_SETUP_PACKET, stored, 0, {}, {});
    if (!stored.ok())
        return;
    Bytes output(64);
    const sim::AppResult result =
        handle.deviceIoControl(IOCTL_BULK_CONTROL_TRANSFER, nullptr, 0,
                               packet.wLength != 0 ? output.data() : nullptr, packet.wLength);
    ++shared_.counters.requests;
    Bytes version(Instrument::kFirmwareVersion.begin(), Instrument::kFirmwareVersion.end());
    check(IOCTL_BULK_CONTROL_TRANSFER, result, 0, packet.wLength != 0 ? version : Bytes{}, output);
}

void Traffic::check(ULONG code, const sim::AppResult& result, size_t minimumBytes,
                    const Bytes& startsWith, const Bytes& output) {
    SoakCounters& counters = shared_.counters;
    counters.outcome(result.status);
    char name[16];
    std::snprintf(name, sizeof(name), "0x%lX", static_cast<unsigned long>(code));
    if (!isDocumentedOutcome(result.status)) {
        counters.fault(std::string("device control ") + name + " ended with " +
                       sim::statusName(result.status));
        return;
    }
    if (!result.ok())
        return;
    if (result.information < minimumBytes || result.information < startsWith.size() ||
        !std::equal(startsWith.begin(), startsWith.end(), output.begin())) {
        counters.fault(std::string("device control ") + name + " returned wrong data");
        return;
    }
    counters.bytesVerified += startsWith.size();
}

}  // namespace vavedu::soak
