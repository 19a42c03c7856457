#include "tools/throughput/throughput.hpp"

#include "pcdriver/bulk/vavedu_ioctl.h"
#include "sim/system/system.hpp"
#include "sim/usb/usb_bus.hpp"

#include <cstring>
#include <stdexcept>
#include <string>

namespace vavedu::throughput {

namespace {

constexpr std::u16string_view kService = u"VaVedu";
using TimedTransfer = sim::usb::UsbBus::TimedTransfer;

void require(NTSTATUS status, const std::string& what) {
    if (!NT_SUCCESS(status))
        throw std::runtime_error(what + " failed: " + sim::statusName(status));
}

void requireMoved(const sim::AppResult& result, uint64_t bytes, const char* what) {
    if (result.status != STATUS_SUCCESS || result.information != bytes) {
        throw std::runtime_error(std::string(what) + " failed: " + sim::statusName(result.status) +
                                 ", " + std::to_string(result.information) + " bytes");
    }
}

// The sums over a measurement's requests.
struct Tally {
    uint64_t bytes = 0;
    unsigned requests = 0;
    uint64_t chunks = 0;
    uint64_t turnarounds = 0;
    Nanoseconds span{0}, wire{0}, turnaround{0}, entry{0}, exit{0};

    void add(uint64_t requestBytes, Nanoseconds start, Nanoseconds end,
             const std::vector<TimedTransfer>& chunkRecords) {
        bytes += requestBytes;
        ++requests;
        span += end - start;
        chunks += chunkRecords.size();
        for (size_t i = 0; i < chunkRecords.size(); ++i) {
            wire += chunkRecords[i].wireEnd - chunkRecords[i].wireStart;
            if (i != 0) {
                turnaround += chunkRecords[i].submitted - chunkRecords[i - 1].completed;
                ++turnarounds;
            }
        }
        if (!chunkRecords.empty()) {
            entry += chunkRecords.front().submitted - start;
            exit += end - chunkRecords.back().completed;
        }
    }
};

double shareOf(double bytes, Nanoseconds span, BusSpeed speed) {
    const double seconds = std::chrono::duration<double>(span).count();
    return seconds > 0 ? bytes / seconds / sim::usb::bulkLimit(speed) : 0;
}

}  // namespace

struct TimedMachine::Parts {
    BusSetup setup;
    sim::System system;
    sim::usb::UsbBus* bus = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    std::u16string path;
    sim::Handle device, out, in;
    uint16_t packet = 512;
    double pace = 0;

    Measurement result(bool read, uint64_t bytes, const Tally& tally) const;
    void sendVendorRequest(uint8_t request);
};

TimedMachine::TimedMachine(const BusSetup& setup, double streamPace)
    : parts_(std::make_unique<Parts>()) {
    Parts& p = *parts_;
    p.setup = setup;
    p.pace = streamPace;
    p.bus = &p.system.addBus(std::make_unique<sim::usb::UsbBus>(p.system.kernel()));
    p.bus->setTimed(setup.speed, setup.latency, setup.countCode);
    const std::u16string key = sim::System::serviceKeyPath(kService);
    p.system.registry().createKey(key);
    p.system.registry().setDword(key, u"MaximumTransferSize", setup.maxTransferSize);
    require(p.system.loadDriver(sim::imageDirectory() / "libVaVedu.so", kService), "DriverEntry");
    auto instrument = std::make_unique<sim::usb::InstrumentModel>();
    instrument->setStreamPace(streamPace);
    p.pdo = p.bus->attach(std::move(instrument));
    int node = -1;
    require(p.system.addDevice(p.pdo, &node), "AddDevice");
    require(p.system.start(node), "start");
    static const GUID guid = VAVEDU_INTERFACE_GUID_INIT;
    const auto paths = p.system.interfacePaths(guid);
    if (paths.empty())
        throw std::runtime_error("the driver enabled no device interface");
    p.path = paths.front();
    require(p.system.open(p.path, &p.device), "open device");
    if (setup.speed == BusSpeed::Full) {
        // The loopback's setting with 64-byte packets, the largest a full-speed bus carries.
        const VAVEDU_SELECT_INTERFACE_INPUT alternate{0, 1};
        require(p.device
                    .deviceIoControl(IOCTL_BULK_SELECT_INTERFACE, &alternate, sizeof alternate,
                                     nullptr, 0)
                    .status,
                "selecting the 64-byte setting");
        p.packet = 64;
    }
    require(p.system.open(p.path + u"\\PIPE_0", &p.out), "open pipe 0");
    require(p.system.open(p.path + u"\\PIPE_1", &p.in), "open pipe 1");
    p.bus->takeTimedTransfers();
}

TimedMachine::~TimedMachine() {
    parts_->out.close();
    parts_->in.close();
    parts_->device.close();
}

Measurement TimedMachine::Parts::result(bool read, uint64_t bytes, const Tally& t) const {
    Measurement m;
    m.read = read;
    m.requestBytes = bytes;
    m.maxTransferSize = setup.maxTransferSize;
    m.requests = t.requests;
    const double n = t.requests != 0 ? t.requests : 1;
    m.chunksPerRequest = double(t.chunks) / n;
    const double seconds = std::chrono::duration<double>(t.span).count();
    m.bytesPerSecond = seconds > 0 ? double(t.bytes) / seconds : 0;
    m.shareOfLimit = shareOf(double(t.bytes), t.span, setup.speed);
    m.gapShare = t.span.count() > 0 ? 1.0 - double(t.wire.count()) / double(t.span.count()) : 0;
    m.chunkTurnaround = t.turnarounds != 0 ? t.turnaround / int64_t(t.turnarounds) : Nanoseconds(0);
    m.entry = Nanoseconds(static_cast<int64_t>(double(t.entry.count()) / n));
    m.exit = Nanoseconds(static_cast<int64_t>(double(t.exit.count()) / n));
    sim::usb::TimelineInputs in{
        setup.speed,       packet,  read,  bytes, setup.maxTransferSize, 1, setup.latency,
        m.chunkTurnaround, m.entry, m.exit};
    const Nanoseconds oneInFlight = sim::usb::requestTimeline(in).span;
    m.modelledShare = shareOf(double(bytes), oneInFlight, setup.speed);
    in.inFlight = 2;
    const Nanoseconds twoInFlight = sim::usb::requestTimeline(in).span;
    // The measured rate with the time the second chunk in flight saves in the arithmetic, so a
    // request of one chunk, which it cannot help, keeps its measured figure.
    m.twoInFlightShare = twoInFlight.count() > 0 ? m.shareOfLimit * double(oneInFlight.count()) /
                                                       double(twoInFlight.count())
                                                 : 0;
    return m;
}

std::pair<Measurement, Measurement> TimedMachine::measure(uint64_t bytes, unsigned requests) {
    Parts& p = *parts_;
    std::vector<uint8_t> pattern(bytes), back(bytes);
    for (size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<uint8_t>(i * 7 + i / 251);
    const ULONG length = static_cast<ULONG>(bytes);
    // A first round, not counted, grows the model's buffers (the loopback's storage, the pages of
    // the application's buffers) to the request's size.
    requireMoved(p.out.write(pattern.data(), length), bytes, "write");
    requireMoved(p.in.read(back.data(), length), bytes, "read");
    p.bus->takeTimedTransfers();
    Tally writes, reads;
    for (unsigned r = 0; r < requests; ++r) {
        Nanoseconds start = p.bus->now();
        requireMoved(p.out.write(pattern.data(), length), bytes, "write");
        writes.add(bytes, start, p.bus->now(), p.bus->takeTimedTransfers());
        start = p.bus->now();
        requireMoved(p.in.read(back.data(), length), bytes, "read");
        reads.add(bytes, start, p.bus->now(), p.bus->takeTimedTransfers());
        if (back != pattern)
            throw std::runtime_error("the loopback gave back other bytes than were written");
    }
    return {p.result(false, bytes, writes), p.result(true, bytes, reads)};
}

void TimedMachine::Parts::sendVendorRequest(uint8_t request) {
    const SETUP_PACKET setup{0x40, request, 0, 0, 0};
    require(device.deviceIoControl(IOCTL_BULK_SET_SETUP_PACKET, &setup, sizeof setup, nullptr, 0)
                .status,
            "setting the setup packet");
    require(device.deviceIoControl(IOCTL_BULK_CONTROL_TRANSFER, nullptr, 0, nullptr, 0).status,
            "the vendor request");
}

StreamMeasurement TimedMachine::stream(uint64_t bytes, unsigned requests) {
    Parts& p = *parts_;
    if (p.setup.speed != BusSpeed::High)
        throw std::runtime_error("the instrument's stream has 512-byte packets: high speed only");
    sim::Handle stream;
    require(p.system.open(p.path + u"\\PIPE_1\\INTERFACE_1", &stream), "open the stream");
    std::vector<uint8_t> buffer(bytes);
    p.sendVendorRequest(sim::usb::InstrumentModel::kRequestStartAcquisition);
    const Nanoseconds start = p.bus->now();
    for (unsigned r = 0; r < requests; ++r)
        requireMoved(stream.read(buffer.data(), static_cast<ULONG>(bytes)), bytes, "stream read");
    const double seconds = std::chrono::duration<double>(p.bus->now() - start).count();
    p.bus->takeTimedTransfers();
    StreamMeasurement m;
    m.pacedBytesPerSecond = p.pace * 2;
    m.carriedBytesPerSecond = seconds > 0 ? double(bytes) * requests / seconds : 0;
    m.backlogBytes = 2 * p.bus->modelAs<sim::usb::InstrumentModel>(p.pdo).streamBacklog();
    stream.close();
    return m;
}

std::vector<Measurement> sweep(BusSpeed speed, Nanoseconds latency,
                               const std::vector<uint64_t>& requestSizes,
                               const std::vector<uint32_t>& maxTransferSizes, unsigned requests,
                               const std::function<void(const Measurement&)>& each) {
    std::vector<Measurement> all;
    for (const uint32_t maxTransfer : maxTransferSizes) {
        TimedMachine machine({speed, latency, maxTransfer});
        for (const uint64_t bytes : requestSizes) {
            auto [writes, reads] = machine.measure(bytes, requests);
            for (const Measurement* m : {&reads, &writes}) {
                all.push_back(*m);
                if (each)
                    each(*m);
            }
        }
    }
    return all;
}

std::vector<uint64_t> reportedRequestSizes() {
    std::vector<uint64_t> sizes;
    for (uint64_t s = uint64_t{64} << 10; s <= uint64_t{16} << 20; s *= 2)
        sizes.push_back(s);
    return sizes;
}

std::vector<uint32_t> reportedMaxTransferSizes() {
    std::vector<uint32_t> sizes;
    for (uint32_t s = 4u << 10; s <= 4u << 20; s *= 2)
        sizes.push_back(s);
    return sizes;
}

}  // namespace vavedu::throughput
