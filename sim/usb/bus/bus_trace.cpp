// The bus's side of the trace and the capture: a record for every URB's submission and completion
// and for every port request, and the capture writer listening to the trace. A capture that
// starts after enumeration first gets the device and configuration descriptor requests, so that
// decoders know the device.
#include "sim/usb/bus/bus_state.hpp"

#include <algorithm>

namespace sim::usb {

using namespace detail;

TraceRecord UsbBus::traceRecord(const Transfer& t) const {
    TraceRecord record;
    record.irpId = t.id;
    record.busNumber = busNumber_;
    record.deviceAddress = t.port->address;
    record.function = t.function;
    record.endpoint = t.endpoint;
    record.kind = t.kind;
    record.transferFlags = t.flags;
    record.requestedLength = t.length;
    record.setup = t.setup;
    return record;
}

// With the OUT data.
void UsbBus::recordSubmission(const Transfer& t) {
    std::span<const uint8_t> data;
    if (!t.in && t.buffer != nullptr)
        data = {t.buffer, t.length};
    trace_.record(traceRecord(t), data);
}

// With the IN data.
void UsbBus::recordCompletion(const Transfer& t, const Outcome& outcome) {
    TraceRecord record = traceRecord(t);
    record.completion = true;
    record.actualLength = outcome.moved;
    record.usbdStatus = outcome.usbd;
    record.ntStatus = outcome.nt;
    std::span<const uint8_t> data;
    if (t.in && t.buffer != nullptr)
        data = {t.buffer, std::min(outcome.moved, t.length)};
    trace_.record(record, data);
}

// A port request is recorded once, completed, by its control code (the capture leaves it out).
void UsbBus::recordPortRequest(const Port& port, PIRP irp, ULONG code, NTSTATUS status) {
    TraceRecord record;
    record.irpId = reinterpret_cast<uint64_t>(irp);
    record.busNumber = busNumber_;
    record.deviceAddress = port.address;
    record.ioctl = code;
    record.completion = true;
    record.usbdStatus = status == STATUS_SUCCESS ? USBD_STATUS_SUCCESS : USBD_STATUS_DEVICE_GONE;
    record.ntStatus = status;
    trace_.record(record, {});
}

// The descriptor requests of every attached device's enumeration, as submission and completion
// records marked synthetic. Call with the lock held.
std::vector<std::pair<TraceRecord, Bytes>> UsbBus::enumerationRecords() const {
    std::vector<std::pair<TraceRecord, Bytes>> replay;
    uint64_t id = 0xFFFF000000000000ull;
    for (const auto& port : ports_) {
        if (!port->connected || port->deleted)
            continue;
        auto request = [&](uint8_t type, uint8_t index, const Bytes& data) {
            TraceRecord record;
            record.irpId = ++id;
            record.busNumber = busNumber_;
            record.deviceAddress = port->address;
            record.function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
            record.endpoint = 0x80;
            record.kind = TransferKind::Control;
            record.requestedLength = static_cast<uint32_t>(data.size());
            record.setup = SetupPacket{0x80, USB_REQUEST_GET_DESCRIPTOR,
                                       static_cast<uint16_t>((type << 8) | index), 0,
                                       static_cast<uint16_t>(data.size())};
            record.synthetic = true;
            replay.emplace_back(record, Bytes{});
            record.completion = true;
            record.actualLength = record.requestedLength;
            record.usbdStatus = USBD_STATUS_SUCCESS;
            record.ntStatus = STATUS_SUCCESS;
            replay.emplace_back(record, data);
        };
        request(USB_DEVICE_DESCRIPTOR_TYPE, 0, port->device);
        for (size_t i = 0; i < port->configs.size(); ++i)
            request(USB_CONFIGURATION_DESCRIPTOR_TYPE, static_cast<uint8_t>(i), port->configs[i]);
    }
    return replay;
}

void UsbBus::startCapture(const std::filesystem::path& path) {
    stopCapture();
    auto writer = std::make_shared<PcapWriter>(path);
    std::vector<std::pair<TraceRecord, Bytes>> replay;
    {
        std::lock_guard lock(mutex_);
        replay = enumerationRecords();
    }
    for (const auto& [record, data] : replay)
        writer->write(record, data);
    captureListener_ =
        trace_.addListener([writer](const TraceRecord& record, std::span<const uint8_t> data) {
            if (record.ioctl == 0)
                writer->write(record, data);
        });
    capture_ = writer;
}

void UsbBus::stopCapture() {
    if (!capture_)
        return;
    trace_.removeListener(captureListener_);
    capture_->flush();
    capture_.reset();
}

}  // namespace sim::usb
