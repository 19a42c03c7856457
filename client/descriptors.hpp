// USB descriptors as the instrument reports them, decoded from the raw bytes the driver's
// descriptor request returns. Decoding is bounded by the bytes given and by wTotalLength: a
// malformed descriptor set gives a shorter view and a note of what was wrong, never a read past
// the end or an endless loop.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vavedu {

using Bytes = std::vector<uint8_t>;

inline constexpr uint8_t kDescriptorDevice = 1;
inline constexpr uint8_t kDescriptorConfiguration = 2;
inline constexpr uint8_t kDescriptorString = 3;
inline constexpr uint8_t kDescriptorInterface = 4;
inline constexpr uint8_t kDescriptorEndpoint = 5;

enum class TransferType : uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };
const char* toString(TransferType type);

struct DeviceDescriptor {
    uint16_t bcdUSB = 0;
    uint8_t deviceClass = 0;
    uint8_t deviceSubClass = 0;
    uint8_t deviceProtocol = 0;
    uint8_t maxPacketSize0 = 0;
    uint16_t idVendor = 0;
    uint16_t idProduct = 0;
    uint16_t bcdDevice = 0;
    uint8_t iManufacturer = 0;
    uint8_t iProduct = 0;
    uint8_t iSerialNumber = 0;
    uint8_t numConfigurations = 0;
};

struct EndpointDescriptor {
    uint8_t address = 0;  // bit 7: IN
    uint8_t attributes = 0;
    uint16_t maxPacketSize = 0;  // wMaxPacketSize as sent (bits 11 and 12: extra transactions)
    uint8_t interval = 0;
    bool in() const { return (address & 0x80) != 0; }
    uint8_t number() const { return address & 0x0F; }
    TransferType type() const { return static_cast<TransferType>(attributes & 0x03); }
    uint16_t packetSize() const { return maxPacketSize & 0x07FF; }
};

struct InterfaceDescriptor {
    uint8_t number = 0;
    uint8_t alternateSetting = 0;
    uint8_t numEndpoints = 0;  // as announced; `endpoints` holds those present
    uint8_t interfaceClass = 0;
    uint8_t interfaceSubClass = 0;
    uint8_t interfaceProtocol = 0;
    uint8_t iInterface = 0;
    std::vector<EndpointDescriptor> endpoints;  // in descriptor order: the driver's pipe order
};

struct ConfigurationDescriptor {
    uint16_t totalLength = 0;
    uint8_t numInterfaces = 0;
    uint8_t configurationValue = 0;
    uint8_t iConfiguration = 0;
    uint8_t attributes = 0;
    uint8_t maxPower = 0;  // in units of 2 mA
    // Every interface descriptor (each alternate setting is one) in descriptor order.
    std::vector<InterfaceDescriptor> interfaces;
    // What made the decoder stop early or skip something; empty for a well-formed set.
    std::vector<std::string> problems;
    Bytes raw;  // the bytes decoded (at most wTotalLength)

    const InterfaceDescriptor* find(uint8_t number, uint8_t alternate) const;
};

// Nullopt unless the bytes start with a device descriptor (bLength 18 or more, type 1).
std::optional<DeviceDescriptor> parseDeviceDescriptor(std::span<const uint8_t> bytes);
// Nullopt unless the bytes start with a configuration descriptor (bLength 9 or more, type 2).
// Descriptors are walked by bLength up to the smaller of the bytes given and wTotalLength; a
// bLength below 2 or one running past the end stops the walk; endpoints before any interface,
// short interface or endpoint descriptors and unknown descriptors are noted and skipped.
std::optional<ConfigurationDescriptor> parseConfigurationDescriptor(std::span<const uint8_t> bytes);
// The text of a string descriptor (UTF-16LE after the 2-byte head), as UTF-8; nullopt when the
// bytes are not a string descriptor. Bounded by bLength and the bytes given.
std::optional<std::string> parseStringDescriptor(std::span<const uint8_t> bytes);

// The whole set an instrument reports: its device descriptor and each configuration.
struct DescriptorSet {
    DeviceDescriptor device;
    Bytes deviceRaw;
    std::vector<ConfigurationDescriptor> configurations;
};

}  // namespace vavedu
