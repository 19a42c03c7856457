#include "tests/driver/driver_fixture.hpp"

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace vavedu::test {

const GUID& interfaceGuid() {
    static const GUID guid = VAVEDU_INTERFACE_GUID_INIT;
    return guid;
}

Bytes testDeviceDescriptor(uint8_t configurations) {
    return sim::usb::deviceDescriptor(0x0200, 0xFF, 64, 0x1209, 0x00F0, 0x0100, 0, 0, 0,
                                      configurations);
}

bool isStretchOfWaveform(const uint8_t* data, size_t bytes) {
    if (bytes % 2 != 0)
        return false;
    std::vector<int16_t> samples(bytes / 2);
    std::memcpy(samples.data(), data, bytes);
    for (uint64_t phase = 0; phase < 256; ++phase) {
        bool match = true;
        for (size_t i = 0; i < samples.size() && match; ++i)
            match = samples[i] == sim::usb::InstrumentModel::sample(phase + i);
        if (match)
            return true;
    }
    return false;
}

DriverTest::DriverTest()
    : bus(system.addBus(std::make_unique<sim::usb::UsbBus>(system.kernel()))) {}

NTSTATUS DriverTest::loadDriver(const std::map<std::u16string, ULONG>& dwords) {
    std::u16string key = sim::System::serviceKeyPath(kService);
    system.registry().createKey(key);
    for (const auto& [name, value] : dwords)
        system.registry().setDword(key, name, value);
    return system.loadDriver(sim::imageDirectory() / "libVaVedu.so", kService);
}

int DriverTest::attachOnly(std::unique_ptr<sim::usb::DeviceModel> model) {
    PDEVICE_OBJECT device = bus.attach(std::move(model));
    if (device == nullptr)
        throw std::runtime_error("the bus could not attach the device");
    int node = -1;
    NTSTATUS status = system.addDevice(device, &node);
    EXPECT_EQ(status, STATUS_SUCCESS) << sim::statusName(status);
    return node;
}

int DriverTest::plug(std::unique_ptr<sim::usb::DeviceModel> model) {
    int node = attachOnly(std::move(model));
    system.start(node);
    return node;
}

int DriverTest::plugInstrument() {
    int node = plug(std::make_unique<sim::usb::InstrumentModel>());
    EXPECT_EQ(system.lastStartStatus(node), STATUS_SUCCESS)
        << sim::statusName(system.lastStartStatus(node));
    return node;
}

sim::usb::InstrumentModel& DriverTest::instrument(int node) {
    return bus.modelAs<sim::usb::InstrumentModel>(pdo(node));
}

bool DriverTest::interfaceVisible(int node) {
    for (const auto& record : system.kernel().deviceInterfaces(interfaceGuid())) {
        if (record.pdo == pdo(node))
            return true;
    }
    return false;
}

std::u16string DriverTest::interfacePath(int node) {
    for (const auto& record : system.kernel().deviceInterfaces(interfaceGuid())) {
        if (record.pdo == pdo(node))
            return record.symbolicLink;
    }
    ADD_FAILURE() << "no enabled device interface for node " << node;
    return u"\\??\\missing";
}

NTSTATUS DriverTest::open(int node, std::u16string_view suffix, sim::Handle* handle) {
    return system.open(interfacePath(node) + std::u16string(suffix), handle);
}

sim::Handle DriverTest::open(int node, std::u16string_view suffix) {
    sim::Handle handle;
    NTSTATUS status = open(node, suffix, &handle);
    EXPECT_EQ(status, STATUS_SUCCESS) << sim::statusName(status);
    return handle;
}

sim::AppResult DriverTest::ioctl(sim::Handle& handle, ULONG code, std::span<const uint8_t> input,
                                 ULONG outputLength, Bytes* output) {
    Bytes in(input.begin(), input.end());
    Bytes out(outputLength);
    sim::AppResult result =
        handle.deviceIoControl(code, in.empty() ? nullptr : in.data(), (ULONG)in.size(),
                               out.empty() ? nullptr : out.data(), outputLength);
    if (output != nullptr) {
        out.resize(std::min<size_t>(result.information, out.size()));
        *output = std::move(out);
    }
    return result;
}

ULONG DriverTest::lastUsbdStatus(sim::Handle& handle) {
    Bytes out;
    sim::AppResult result = ioctl(handle, IOCTL_BULK_GET_LAST_USBD_STATUS, {}, 4, &out);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    ULONG value = 0;
    if (out.size() == 4)
        std::memcpy(&value, out.data(), 4);
    return value;
}

std::vector<sim::usb::TraceRecord> DriverTest::completed(uint16_t function) const {
    std::vector<sim::usb::TraceRecord> result;
    for (const auto& record : bus.trace().completions()) {
        if (record.function == function && !record.synthetic && record.ioctl == 0) {
            result.push_back(record);
        }
    }
    return result;
}

std::vector<sim::usb::TraceRecord> DriverTest::completedOnEndpoint(uint8_t endpoint) const {
    std::vector<sim::usb::TraceRecord> result;
    for (const auto& record : completed(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)) {
        if (record.endpoint == endpoint)
            result.push_back(record);
    }
    return result;
}

std::vector<uint32_t> DriverTest::stageLengths(uint8_t endpoint) const {
    std::vector<uint32_t> lengths;
    for (const auto& record : completedOnEndpoint(endpoint)) {
        lengths.push_back(record.requestedLength);
    }
    return lengths;
}

sim::AppResult DriverTest::setSetupPacket(sim::Handle& handle, const SETUP_PACKET& packet) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&packet);
    return ioctl(handle, IOCTL_BULK_SET_SETUP_PACKET, {bytes, sizeof(packet)}, 0);
}

sim::AppResult DriverTest::controlTransfer(sim::Handle& handle, const SETUP_PACKET& packet,
                                           std::span<const uint8_t> input, ULONG outputLength,
                                           Bytes* output) {
    sim::AppResult stored = setSetupPacket(handle, packet);
    EXPECT_EQ(stored.status, STATUS_SUCCESS) << sim::statusName(stored.status);
    return ioctl(handle, IOCTL_BULK_CONTROL_TRANSFER, input, outputLength, output);
}

sim::AppResult DriverTest::zeroLengthPacketMode(sim::Handle& handle, LONG value, ULONG outputLength,
                                                Bytes* output) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
    return ioctl(handle, IOCTL_BULK_ZERO_LENGTH_PACKET_MODE, {bytes, sizeof(value)}, outputLength,
                 output);
}

Bytes pattern(size_t length, uint32_t seed) {
    Bytes bytes(length);
    uint32_t state = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        state = state * 1103515245u + 12345u;
        b = static_cast<uint8_t>(state >> 16);
    }
    return bytes;
}

uint64_t allocatedBetween(const sim::AllocationCounters& before,
                          const sim::AllocationCounters& after, sim::AllocationKind kind) {
    return after.allocatedOf(kind) - before.allocatedOf(kind);
}

std::string hex(std::span<const uint8_t> bytes) {
    std::string text;
    char digits[4];
    for (uint8_t b : bytes) {
        std::snprintf(digits, sizeof(digits), "%02x", b);
        text += digits;
    }
    return text;
}

}  // namespace vavedu::test
