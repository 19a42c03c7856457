#include "sim/usb/device_model.hpp"

#include "pcdriver/instrument/instrument.h"

#include <algorithm>
#include <cmath>
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

// The model's names for the instrument's constants are the instrument's own.
static_assert(InstrumentModel::kVendorId == INSTRUMENT_VENDOR_ID);
static_assert(InstrumentModel::kProductId == INSTRUMENT_PRODUCT_ID);
static_assert(InstrumentModel::kRequestFirmwareVersion == INSTRUMENT_REQUEST_FIRMWARE_VERSION);
static_assert(InstrumentModel::kRequestStartAcquisition == INSTRUMENT_REQUEST_START_ACQUISITION);
static_assert(InstrumentModel::kRequestStopAcquisition == INSTRUMENT_REQUEST_STOP_ACQUISITION);
static_assert(InstrumentModel::kRequestClose == INSTRUMENT_REQUEST_CLOSE);
static_assert(InstrumentModel::kFirmwareVersion == std::string_view(INSTRUMENT_FIRMWARE_VERSION));

InstrumentModel::InstrumentModel(std::u16string serial)
    : serial_(std::move(serial)), state_(std::make_unique<INSTRUMENT>()) {
    InstrumentInitialize(state_.get(), nullptr, 0, serial_.data(),
                         static_cast<ULONG>(serial_.size()));
}

InstrumentModel::~InstrumentModel() = default;

int16_t InstrumentModel::sample(uint64_t n) {
    return InstrumentSample(n);
}

Bytes InstrumentModel::deviceDescriptor() const {
    return Bytes(std::begin(InstrumentDeviceDescriptor), std::end(InstrumentDeviceDescriptor));
}

Bytes InstrumentModel::configurationDescriptor(uint8_t index) const {
    ULONG length = 0;
    const UCHAR* descriptor = InstrumentConfigurationDescriptor(index, &length);
    if (descriptor == nullptr)
        return {};
    return Bytes(descriptor, descriptor + length);
}

std::optional<Bytes> InstrumentModel::stringDescriptor(uint8_t index, uint16_t) const {
    Bytes text(INSTRUMENT_MAX_STRING_DESCRIPTOR);
    const ULONG length = InstrumentStringDescriptor(state_.get(), index, text.data());
    if (length == 0)
        return std::nullopt;
    text.resize(length);
    return text;
}

ControlReply InstrumentModel::controlRequest(const SetupPacket& setup, std::span<const uint8_t>) {
    const auto bytes = setup.bytes();
    Bytes reply(setup.in() ? setup.length : 0);
    ULONG returned = 0;
    const bool accepted = InstrumentControlRequest(state_.get(), bytes.data(), reply.data(),
                                                   static_cast<ULONG>(reply.size()), &returned);
    if (accepted && setup.type() == 2 && setup.request == kRequestStartAcquisition)
        restartPace();
    notifyIfDataAvailable();
    if (!accepted)
        return ControlReply::stall();
    reply.resize(returned);
    return {USBD_STATUS_SUCCESS, std::move(reply)};
}

void InstrumentModel::bulkOut(uint8_t endpoint, std::span<const uint8_t> packet) {
    // The model's loopback never fills up: the ring grows to take the packet.
    if (packet.size() > InstrumentLoopbackRoom(state_.get())) {
        Bytes larger(
            std::max(loopbackStorage_.size() * 2, loopbackStorage_.size() + packet.size()));
        InstrumentMoveLoopback(state_.get(), larger.data(), larger.size());
        loopbackStorage_ = std::move(larger);
    }
    InstrumentBulkOut(state_.get(), endpoint, packet.data(), static_cast<ULONG>(packet.size()));
    notifyIfDataAvailable();
}

InPacket InstrumentModel::bulkIn(uint8_t endpoint, uint16_t maxPacket, bool continuing) {
    if (pace_ > 0 && streamEndpoint(endpoint)) {
        streamPacket_ = maxPacket;
        if (samplesMade(busTime()) < state_->NextSample + maxPacket / 2)
            return std::nullopt;  // its samples do not all exist yet
    }
    Bytes packet(maxPacket);
    const LONG size =
        InstrumentBulkIn(state_.get(), endpoint, maxPacket, continuing, packet.data());
    if (size == INSTRUMENT_NAK)
        return std::nullopt;
    packet.resize(static_cast<size_t>(size));
    return packet;
}

void InstrumentModel::configurationChanged(uint8_t value) {
    InstrumentConfigurationChanged(state_.get(), value);
    restartPace();
}

// ---- the paced stream

bool InstrumentModel::streamEndpoint(uint8_t endpoint) const {
    return state_->Acquiring && ((state_->Configuration == 1 && endpoint == INSTRUMENT_STREAM_IN) ||
                                 (state_->Configuration == 2 && endpoint == 0x81));
}

uint64_t InstrumentModel::samplesMade(std::chrono::nanoseconds at) const {
    if (at <= paceStart_)
        return 0;
    return static_cast<uint64_t>(std::chrono::duration<double>(at - paceStart_).count() * pace_);
}

// Acquisition (re)starts the waveform at sample 0: the paced stream counts from then.
void InstrumentModel::restartPace() {
    if (pace_ > 0)
        paceStart_ = busTime();
}

std::optional<std::chrono::nanoseconds> InstrumentModel::dataDueAt(uint8_t endpoint) const {
    if (pace_ <= 0 || !streamEndpoint(endpoint))
        return std::nullopt;
    const uint64_t needed = state_->NextSample + streamPacket_ / 2u;
    // The first whole nanosecond by which `needed` samples exist.
    const auto ns = static_cast<int64_t>(std::ceil(static_cast<double>(needed) / pace_ * 1e9));
    auto due = paceStart_ + std::chrono::nanoseconds(ns);
    while (samplesMade(due) < needed)
        due += std::chrono::nanoseconds(1);
    return due;
}

uint64_t InstrumentModel::streamBacklog() const {
    if (pace_ <= 0 || !state_->Acquiring)
        return 0;
    const uint64_t made = samplesMade(busTime());
    return made > state_->NextSample ? made - state_->NextSample : 0;
}

void InstrumentModel::interfaceChanged(uint8_t interfaceNumber, uint8_t alternate) {
    InstrumentInterfaceChanged(state_.get(), interfaceNumber, alternate);
}

void InstrumentModel::reset() {
    InstrumentReset(state_.get());
    restartPace();
}

void InstrumentModel::notifyIfDataAvailable() {
    if (InstrumentTakeDataAvailable(state_.get()))
        notifyDataAvailable();
}

unsigned InstrumentModel::closeRequests() const {
    return state_->CloseRequests;
}
bool InstrumentModel::acquiring() const {
    return state_->Acquiring != FALSE;
}
uint8_t InstrumentModel::configuration() const {
    return state_->Configuration;
}
uint64_t InstrumentModel::bytesSunk() const {
    return state_->BytesSunk;
}
size_t InstrumentModel::loopbackWaiting() const {
    return state_->Loopback.Count;
}
unsigned InstrumentModel::zeroLengthPacketsReceived() const {
    return state_->ZeroLengthPacketsReceived;
}
uint64_t InstrumentModel::samplesSent() const {
    return state_->NextSample;
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
