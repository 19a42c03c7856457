#include "tests/bench/bench_machine.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace vavedu::bench {

namespace {

constexpr std::u16string_view kService = u"VaVedu";

void require(NTSTATUS status, const char* what) {
    if (status != STATUS_SUCCESS)
        throw std::runtime_error(std::string(what) + ": " + sim::statusName(status));
}

}  // namespace

BenchDevice::BenchDevice(size_t ringBytes)
    : source_(std::max<size_t>(1, (ringBytes + kPacket - 1) / kPacket) * kPacket),
      sink_(source_.size()) {
    for (size_t i = 0; i < source_.size(); ++i)
        source_[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
}

sim::usb::Bytes BenchDevice::deviceDescriptor() const {
    return sim::usb::deviceDescriptor(0x0200, 0xFF, 64, 0x1209, 0x00B0, 0x0100, 0, 0, 0, 1);
}

sim::usb::Bytes BenchDevice::configurationDescriptor(uint8_t index) const {
    if (index != 0)
        return {};
    return sim::usb::ConfigurationBuilder(1)
        .interface(0, 0, 0xFF)
        .endpoint(kOut, sim::usb::EndpointType::Bulk, kPacket)
        .endpoint(kIn, sim::usb::EndpointType::Bulk, kPacket)
        .build();
}

sim::usb::ControlReply BenchDevice::controlRequest(const sim::usb::SetupPacket& setup,
                                                   std::span<const uint8_t>) {
    if (setup.type() != 2 || !setup.in() || setup.request != kVendorRead)
        return sim::usb::ControlReply::stall();
    return {USBD_STATUS_SUCCESS, sim::usb::Bytes(source_.begin(), source_.begin() + 64)};
}

void BenchDevice::bulkOut(uint8_t endpoint, std::span<const uint8_t> packet) {
    if (endpoint != kOut || packet.empty())
        return;
    if (sinkAt_ + packet.size() > sink_.size())
        sinkAt_ = 0;
    std::memcpy(sink_.data() + sinkAt_, packet.data(), packet.size());
    sinkAt_ += packet.size();
}

sim::usb::InPacket BenchDevice::bulkIn(uint8_t endpoint, uint16_t maxPacket, bool) {
    if (endpoint != kIn)
        return std::nullopt;
    if (sourceAt_ + maxPacket > source_.size())
        sourceAt_ = 0;
    const uint8_t* from = source_.data() + sourceAt_;
    sourceAt_ += maxPacket;
    return sim::usb::Bytes(from, from + maxPacket);
}

std::optional<size_t> BenchDevice::bulkInTransfer(uint8_t endpoint, uint16_t maxPacket,
                                                  std::span<uint8_t> buffer) {
    if (endpoint != kIn || maxPacket == 0)
        return std::nullopt;
    size_t done = 0;
    while (done < buffer.size()) {
        if (sourceAt_ + maxPacket > source_.size())
            sourceAt_ = 0;
        const size_t stretch = std::min(buffer.size() - done, source_.size() - sourceAt_);
        std::memcpy(buffer.data() + done, source_.data() + sourceAt_, stretch);
        done += stretch;
        // The ring position stays on a packet boundary, as packet-wise polling leaves it.
        sourceAt_ += (stretch + maxPacket - 1) / maxPacket * maxPacket;
    }
    return done;
}

BenchMachine::BenchMachine(uint32_t maxTransferSize, size_t ringBytes)
    : bus_(system_.addBus(std::make_unique<sim::usb::UsbBus>(system_.kernel()))) {
    const std::u16string key = sim::System::serviceKeyPath(kService);
    system_.registry().createKey(key);
    if (maxTransferSize != 0)
        system_.registry().setDword(key, u"MaximumTransferSize", maxTransferSize);
    require(system_.loadDriver(sim::imageDirectory() / "libVaVedu.so", kService), "DriverEntry");
    PDEVICE_OBJECT pdo = bus_.attach(std::make_unique<BenchDevice>(ringBytes));
    if (pdo == nullptr)
        throw std::runtime_error("the bus could not attach the benchmark device");
    require(system_.addDevice(pdo, &node_), "AddDevice");
    require(system_.start(node_), "start");

    static const GUID guid = VAVEDU_INTERFACE_GUID_INIT;
    const auto paths = system_.interfacePaths(guid);
    if (paths.empty())
        throw std::runtime_error("the driver enabled no device interface");
    require(system_.open(paths.front() + u"\\PIPE_0", &writer_), "open pipe 0");
    require(system_.open(paths.front() + u"\\PIPE_1", &reader_), "open pipe 1");
    require(system_.open(paths.front(), &device_), "open device");
    bus_.trace().clear();
}

BenchMachine::~BenchMachine() {
    writer_.close();
    reader_.close();
    device_.close();
}

uint64_t BenchMachine::takeChunks() {
    // Only bulk transfers run while a benchmark measures, each recorded at submission and at
    // completion, so the count needs no copy of the records.
    const uint64_t chunks = bus_.trace().size() / 2;
    bus_.trace().clear();
    return chunks;
}

uint64_t grown(const sim::AllocationCounters& before, const sim::AllocationCounters& after,
               sim::AllocationKind kind) {
    return after.allocatedOf(kind) - before.allocatedOf(kind);
}

}  // namespace vavedu::bench
