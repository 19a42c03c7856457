#include "sim/usb/device_model.hpp"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace sim::usb {

std::array<uint8_t, 8> SetupPacket::bytes() const {
    return {requestType,
            request,
            static_cast<uint8_t>(value & 0xFF),
            static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(index & 0xFF),
            static_cast<uint8_t>(index >> 8),
            static_cast<uint8_t>(length & 0xFF),
            static_cast<uint8_t>(length >> 8)};
}

// ---- DeviceModel defaults

std::optional<Bytes> DeviceModel::stringDescriptor(uint8_t, uint16_t) const {
    return std::nullopt;
}
ControlReply DeviceModel::controlRequest(const SetupPacket&, std::span<const uint8_t>) {
    return ControlReply::stall();
}
void DeviceModel::bulkOut(uint8_t, std::span<const uint8_t>) {}
InPacket DeviceModel::bulkIn(uint8_t, uint16_t, bool) {
    return std::nullopt;
}
void DeviceModel::configurationChanged(uint8_t) {}
void DeviceModel::interfaceChanged(uint8_t, uint8_t) {}
void DeviceModel::reset() {}

namespace {

// A packet of up to maxPacket bytes from a FIFO; a drained FIFO ends a transfer that already
// moved data with a zero-length packet and NAKs a new one.
InPacket takePacket(std::deque<uint8_t>& fifo, uint16_t maxPacket, bool continuing) {
    if (fifo.empty()) {
        if (continuing)
            return Bytes{};
        return std::nullopt;
    }
    const size_t n = std::min<size_t>(fifo.size(), maxPacket);
    Bytes packet(fifo.begin(), fifo.begin() + static_cast<std::ptrdiff_t>(n));
    fifo.erase(fifo.begin(), fifo.begin() + static_cast<std::ptrdiff_t>(n));
    return packet;
}

}  // namespace

// ---- InstrumentModel

InstrumentModel::InstrumentModel(std::u16string serial) : serial_(std::move(serial)) {}

int16_t InstrumentModel::sample(uint64_t n) {
    const int phase = static_cast<int>(n % 256);
    const int triangle = phase < 128 ? -16384 + phase * 256 : 16384 - (phase - 128) * 256;
    const int ripple = static_cast<int>((n * 7) % 16) - 8;
    return static_cast<int16_t>(triangle + ripple);
}

Bytes InstrumentModel::deviceDescriptor() const {
    return usb::deviceDescriptor(0x0200, 0xFF, 64, kVendorId, kProductId, 0x0100, 1, 2, 3, 2);
}

Bytes InstrumentModel::configurationDescriptor(uint8_t index) const {
    if (index == 0) {
        return ConfigurationBuilder(1)
            .interface(0, 0, 0xFF)
            .endpoint(0x01, EndpointType::Bulk, 512)
            .endpoint(0x81, EndpointType::Bulk, 512)
            .interface(0, 1, 0xFF)
            .endpoint(0x01, EndpointType::Bulk, 64)
            .endpoint(0x81, EndpointType::Bulk, 64)
            .interface(1, 0, 0xFF)
            .endpoint(0x02, EndpointType::Bulk, 512)
            .endpoint(0x86, EndpointType::Bulk, 512)
            .build();
    }
    if (index == 1) {
        return ConfigurationBuilder(2)
            .interface(0, 0, 0xFF)
            .endpoint(0x81, EndpointType::Bulk, 512)
            .build();
    }
    return {};
}

std::optional<Bytes> InstrumentModel::stringDescriptor(uint8_t index, uint16_t) const {
    static constexpr uint16_t kEnglish[] = {0x0409};
    switch (index) {
        case 0:
            return languageDescriptor(kEnglish);
        case 1:
            return usb::stringDescriptor(u"VaVedu");
        case 2:
            return usb::stringDescriptor(u"VaVedu Measurement Instrument");
        case 3:
            return usb::stringDescriptor(serial_);
        default:
            return std::nullopt;
    }
}

ControlReply InstrumentModel::controlRequest(const SetupPacket& setup, std::span<const uint8_t>) {
    if (setup.type() != 2 || setup.recipient() != 0)
        return ControlReply::stall();
    if (setup.in()) {
        if (setup.request != kRequestFirmwareVersion)
            return ControlReply::stall();
        return {USBD_STATUS_SUCCESS, Bytes(kFirmwareVersion.begin(), kFirmwareVersion.end())};
    }
    switch (setup.request) {
        case kRequestClose:
            ++closeRequests_;
            return {};
        case kRequestStartAcquisition:
            acquiring_ = true;
            nextSample_ = 0;
            notifyDataAvailable();
            return {};
        case kRequestStopAcquisition:
            acquiring_ = false;
            return {};
        default:
            return ControlReply::stall();
    }
}

void InstrumentModel::bulkOut(uint8_t endpoint, std::span<const uint8_t> packet) {
    if (packet.empty())
        ++zeroLengthPackets_;
    if (configuration_ == 1 && endpoint == 0x01) {
        loopback_.insert(loopback_.end(), packet.begin(), packet.end());
        notifyDataAvailable();
    } else if (configuration_ == 1 && endpoint == 0x02) {
        bytesSunk_ += packet.size();
    }
}

InPacket InstrumentModel::bulkIn(uint8_t endpoint, uint16_t maxPacket, bool continuing) {
    const bool stream =
        (configuration_ == 1 && endpoint == 0x86) || (configuration_ == 2 && endpoint == 0x81);
    if (configuration_ == 1 && endpoint == 0x81)
        return takePacket(loopback_, maxPacket, continuing);
    if (!stream || !acquiring_)
        return std::nullopt;
    Bytes packet;
    packet.reserve(maxPacket);
    for (unsigned i = 0; i + 2 <= maxPacket; i += 2) {
        const auto value = static_cast<uint16_t>(sample(nextSample_++));
        packet.push_back(static_cast<uint8_t>(value & 0xFF));
        packet.push_back(static_cast<uint8_t>(value >> 8));
    }
    return packet;
}

void InstrumentModel::configurationChanged(uint8_t value) {
    configuration_ = value;
    loopback_.clear();
    acquiring_ = value != 0;
    nextSample_ = 0;
}

void InstrumentModel::interfaceChanged(uint8_t interfaceNumber, uint8_t) {
    if (interfaceNumber == 0)
        loopback_.clear();
}

void InstrumentModel::reset() {
    loopback_.clear();
    acquiring_ = false;
    configuration_ = 0;
    nextSample_ = 0;
}

// ---- LoopbackModel

LoopbackModel::LoopbackModel(uint16_t maxPacket) : maxPacket_(maxPacket) {}

Bytes LoopbackModel::deviceDescriptor() const {
    return usb::deviceDescriptor(0x0200, 0xFF, 64, 0x1209, 0x0002, 0x0100, 0, 0, 0, 1);
}

Bytes LoopbackModel::configurationDescriptor(uint8_t index) const {
    if (index != 0)
        return {};
    return ConfigurationBuilder(1)
        .interface(0, 0, 0xFF)
        .endpoint(0x01, EndpointType::Bulk, maxPacket_)
        .endpoint(0x81, EndpointType::Bulk, maxPacket_)
        .build();
}

void LoopbackModel::bulkOut(uint8_t endpoint, std::span<const uint8_t> packet) {
    if (endpoint != 0x01)
        return;
    waiting_.insert(waiting_.end(), packet.begin(), packet.end());
    notifyDataAvailable();
}

InPacket LoopbackModel::bulkIn(uint8_t endpoint, uint16_t maxPacket, bool continuing) {
    if (endpoint != 0x81)
        return std::nullopt;
    return takePacket(waiting_, maxPacket, continuing);
}

// ---- RawDescriptorModel

RawDescriptorModel::RawDescriptorModel(std::span<const uint8_t> bytes, std::string name)
    : name_(std::move(name)) {
    if (bytes.size() < 18 || bytes[0] < 18 || bytes[1] != USB_DEVICE_DESCRIPTOR_TYPE) {
        throw std::invalid_argument("raw descriptors: no device descriptor at the start");
    }
    device_.assign(bytes.begin(), bytes.begin() + 18);
    size_t offset = bytes[0];
    const unsigned announced = device_[17];
    while (configurations_.size() < announced && offset + 9 <= bytes.size()) {
        const uint8_t* d = bytes.data() + offset;
        if (d[0] < 9 || d[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE)
            break;
        size_t total = d[2] | (d[3] << 8);
        total = std::clamp<size_t>(total, 9, bytes.size() - offset);
        Bytes config(d, d + total);
        config[2] = static_cast<uint8_t>(total & 0xFF);  // what the device really holds
        config[3] = static_cast<uint8_t>(total >> 8);
        configurations_.push_back(std::move(config));
        offset += total;
    }
    device_[17] = static_cast<uint8_t>(configurations_.size());
}

std::unique_ptr<RawDescriptorModel> RawDescriptorModel::fromFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::invalid_argument("raw descriptors: cannot open " + path);
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return std::make_unique<RawDescriptorModel>(bytes, path);
}

Bytes RawDescriptorModel::configurationDescriptor(uint8_t index) const {
    return index < configurations_.size() ? configurations_[index] : Bytes{};
}

bool RawDescriptorModel::pairedIn(uint8_t inAddress) const {
    for (const auto& config : configurations_) {
        auto info = parseConfiguration(config);
        if (!info || info->value != configuration_)
            continue;
        for (const auto& setting : info->settings) {
            bool hasIn = false, hasOut = false;
            for (const auto& e : setting.endpoints) {
                if (e.address == inAddress)
                    hasIn = true;
                if (e.address == (inAddress & 0x0F))
                    hasOut = true;
            }
            if (hasIn && hasOut)
                return true;
        }
    }
    return false;
}

void RawDescriptorModel::bulkOut(uint8_t endpoint, std::span<const uint8_t> packet) {
    if (!pairedIn(static_cast<uint8_t>(endpoint | 0x80)))
        return;  // a sink
    auto& fifo = loopback_[endpoint & 0x0F];
    fifo.insert(fifo.end(), packet.begin(), packet.end());
    notifyDataAvailable();
}

InPacket RawDescriptorModel::bulkIn(uint8_t endpoint, uint16_t maxPacket, bool continuing) {
    if (pairedIn(endpoint))
        return takePacket(loopback_[endpoint & 0x0F], maxPacket, continuing);
    uint8_t& counter = sourceCounter_[endpoint];
    Bytes packet(maxPacket);
    for (auto& byte : packet)
        byte = counter++;
    return packet;
}

void RawDescriptorModel::configurationChanged(uint8_t value) {
    configuration_ = value;
    loopback_.clear();
    sourceCounter_.clear();
}

void RawDescriptorModel::reset() {
    configurationChanged(0);
}

// ---- by name

std::unique_ptr<DeviceModel> makeDeviceModel(std::string_view name) {
    if (name == "instrument")
        return std::make_unique<InstrumentModel>();
    if (name == "loopback")
        return std::make_unique<LoopbackModel>();
    if (name.starts_with("raw:"))
        return RawDescriptorModel::fromFile(std::string(name.substr(4)));
    return nullptr;
}

std::vector<std::string> deviceModelNames() {
    return {"instrument", "loopback"};
}

}  // namespace sim::usb
