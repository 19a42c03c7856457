#include "sim/usb/capture.hpp"

#include <chrono>
#include <stdexcept>

namespace sim::usb {

namespace {

void put8(Bytes& out, uint8_t v) {
    out.push_back(v);
}
void put16(Bytes& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(Bytes& out, uint32_t v) {
    put16(out, static_cast<uint16_t>(v));
    put16(out, static_cast<uint16_t>(v >> 16));
}
void put64(Bytes& out, uint64_t v) {
    put32(out, static_cast<uint32_t>(v));
    put32(out, static_cast<uint32_t>(v >> 32));
}

constexpr uint8_t kStageSetup = 0;
constexpr uint8_t kStageComplete = 3;

}  // namespace

Bytes usbPcapPacket(const TraceRecord& record, std::span<const uint8_t> data) {
    const bool control = record.kind == TransferKind::Control;
    Bytes payload;
    if (control && !record.completion && record.setup) {
        const auto setup = record.setup->bytes();
        payload.assign(setup.begin(), setup.end());
    }
    payload.insert(payload.end(), data.begin(), data.end());

    Bytes out;
    put16(out, control ? 28 : 27);
    put64(out, record.irpId);
    put32(out, static_cast<uint32_t>(record.usbdStatus));
    put16(out, record.function);
    put8(out, record.completion ? 1 : 0);
    put16(out, record.busNumber);
    put16(out, record.deviceAddress);
    put8(out, record.endpoint);
    put8(out, static_cast<uint8_t>(record.kind));
    put32(out, static_cast<uint32_t>(payload.size()));
    if (control)
        put8(out, record.completion ? kStageComplete : kStageSetup);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

PcapWriter::PcapWriter(const std::filesystem::path& path) {
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr)
        throw std::runtime_error("cannot create capture " + path.string());
    Bytes header;
    put32(header, 0xA1B2C3D4);  // microsecond time stamps
    put16(header, 2);
    put16(header, 4);
    put32(header, 0);           // time zone
    put32(header, 0);           // accuracy
    put32(header, 65535 + 28);  // snap length
    put32(header, kLinkTypeUsbPcap);
    std::fwrite(header.data(), 1, header.size(), file_);
}

PcapWriter::~PcapWriter() {
    if (file_ != nullptr)
        std::fclose(file_);
}

void PcapWriter::write(const TraceRecord& record, std::span<const uint8_t> data) {
    const Bytes packet = usbPcapPacket(record, data);
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto usec = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    Bytes header;
    put32(header, static_cast<uint32_t>(usec / 1000000));
    put32(header, static_cast<uint32_t>(usec % 1000000));
    put32(header, static_cast<uint32_t>(packet.size()));
    put32(header, static_cast<uint32_t>(packet.size()));
    std::lock_guard lock(mutex_);
    std::fwrite(header.data(), 1, header.size(), file_);
    std::fwrite(packet.data(), 1, packet.size(), file_);
    ++packets_;
}

void PcapWriter::flush() {
    std::lock_guard lock(mutex_);
    std::fflush(file_);
}

uint64_t PcapWriter::packets() const {
    std::lock_guard lock(mutex_);
    return packets_;
}

}  // namespace sim::usb
