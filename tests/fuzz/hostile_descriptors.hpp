// The devices of the hostile-device fuzz target: descriptors built from the input (a template or
// a compact description, then mutated, so most of them are nearly well formed and the driver gets
// past its start), and a device model that answers with them and with data of a chosen shape.
#pragma once

#include "sim/usb/device_model.hpp"
#include "tests/fuzz/fuzz_input.hpp"

#include <cstdint>
#include <vector>

namespace vavedu::fuzz::hostile_device {

// A device whose descriptors come from the input. When the bus lets it answer by itself, bulk IN
// endpoints send packets of a shape chosen by `behaviour` (full, short, zero-length, none, too
// long), OUT endpoints take everything, and vendor and class requests stall or answer a pattern.
class HostileDevice : public sim::usb::DeviceModel {
  public:
    HostileDevice(Bytes device, std::vector<Bytes> configurations, uint8_t behaviour)
        : device_(std::move(device)),
          configurations_(std::move(configurations)),
          behaviour_(behaviour) {}

    std::string name() const override { return "hostile"; }
    Bytes deviceDescriptor() const override { return device_; }
    Bytes configurationDescriptor(uint8_t index) const override {
        return index < configurations_.size() ? configurations_[index] : Bytes{};
    }

    sim::usb::ControlReply controlRequest(const sim::usb::SetupPacket& setup,
                                          std::span<const uint8_t>) override {
        switch ((behaviour_ >> 3) & 3) {
            case 0:
                return sim::usb::ControlReply::stall();
            case 1:
                return {USBD_STATUS_SUCCESS, pattern(setup.length)};
            case 2:
                return {USBD_STATUS_SUCCESS, pattern(setup.length / 2u)};
            default:
                return {USBD_STATUS_SUCCESS, {}};
        }
    }

    sim::usb::InPacket bulkIn(uint8_t, uint16_t maxPacket, bool) override {
        ++packets_;
        switch (behaviour_ & 7) {
            case 0:
                return pattern(maxPacket);
            case 1:
                return pattern(maxPacket / 2u);
            case 2:
                return Bytes{};
            case 3:
                return std::nullopt;  // the endpoint NAKs: the transfer waits
            case 4:
                return pattern(maxPacket + 1u);  // babble
            case 5:
                return pattern(packets_ % 2 != 0 ? maxPacket : maxPacket / 3u);
            default:
                return pattern(packets_ % 5 != 0 ? maxPacket : 1u);
        }
    }

  private:
    Bytes pattern(size_t n) {
        Bytes bytes(n);
        for (auto& b : bytes)
            b = static_cast<uint8_t>(++counter_ * 37u);
        return bytes;
    }

    Bytes device_;
    std::vector<Bytes> configurations_;
    uint8_t behaviour_;
    uint64_t packets_ = 0;
    uint8_t counter_ = 0;
};

enum class ConfigTemplate : uint8_t { Instrument1, Instrument2, Loopback, Described, kCount };

enum class Mutation : uint8_t {
    SetByte,         // bytes[where] = value
    Truncate,        // cut to `where` bytes
    Append,          // `value % 16` bytes more than wTotalLength says
    SetTotalLength,  // wTotalLength = where
    InsertShort,     // a descriptor with bLength `value % 2` inserted at `where`
    SetInterfaces,   // bNumInterfaces = value
    kCount
};

// A configuration descriptor set from the input: u8 template (mod 4: instrument 1, instrument 2,
// loopback, described), for "described" u8 value, u8 attributes, u8 interfaces (mod 5) x (u8
// number, u8 alternate, u8 class, u8 endpoints (mod 6) x (u8 address, u8 type, u8 packet size
// choice [u16])); then u8 n (mod 6) mutations x (u8 kind, u16 where, u8 value).
Bytes configuration(Input& in);

}  // namespace vavedu::fuzz::hostile_device
