// USB descriptors as the device models keep them: raw bytes as they go on the wire, plus a parsed
// view of each configuration that the bus uses to open pipes. Parsing is bounded by the bytes
// given and by wTotalLength: malformed input gives a shorter view, never a read past the end.
#pragma once

#include <usbspec.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim::usb {

using Bytes = std::vector<uint8_t>;

enum class EndpointType : uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };

struct EndpointInfo {
    uint8_t address = 0;  // bit 7: IN
    EndpointType type = EndpointType::Bulk;
    uint16_t maxPacketSize = 0;     // bits 0 to 10 of wMaxPacketSize
    uint8_t extraTransactions = 0;  // bits 11 and 12: more transactions per microframe
    uint8_t interval = 0;
    bool in() const { return (address & 0x80) != 0; }
};

struct InterfaceSetting {
    uint8_t number = 0;
    uint8_t alternate = 0;
    uint8_t interfaceClass = 0;
    uint8_t subClass = 0;
    uint8_t protocol = 0;
    std::vector<EndpointInfo> endpoints;
};

struct ConfigurationInfo {
    uint8_t value = 0;                       // bConfigurationValue
    uint8_t interfaceCount = 0;              // bNumInterfaces as announced
    std::vector<InterfaceSetting> settings;  // in descriptor order, every alternate setting
    const InterfaceSetting* find(uint8_t number, uint8_t alternate) const;
    // The distinct interface numbers in descriptor order.
    std::vector<uint8_t> interfaceNumbers() const;
};

// Parses one configuration's descriptor set (configuration descriptor first). Stops at the first
// descriptor with a bLength below 2 or one running past the end (the smaller of the bytes given
// and wTotalLength). Nullopt when not even the 9-byte configuration descriptor is there.
std::optional<ConfigurationInfo> parseConfiguration(std::span<const uint8_t> bytes);

// Builders for the built-in models.
Bytes deviceDescriptor(uint16_t bcdUsb, uint8_t deviceClass, uint8_t maxPacket0, uint16_t vendor,
                       uint16_t product, uint16_t bcdDevice, uint8_t iManufacturer,
                       uint8_t iProduct, uint8_t iSerial, uint8_t configurations);
// A configuration's descriptor set assembled from its parts: the header gets wTotalLength and
// bNumInterfaces (distinct interface numbers) filled in.
class ConfigurationBuilder {
  public:
    ConfigurationBuilder(uint8_t value, uint8_t attributes = 0x80, uint8_t maxPower = 50);
    ConfigurationBuilder& interface(uint8_t number, uint8_t alternate, uint8_t cls,
                                    uint8_t subClass = 0, uint8_t protocol = 0,
                                    uint8_t iInterface = 0);
    ConfigurationBuilder& endpoint(uint8_t address, EndpointType type, uint16_t maxPacket,
                                   uint8_t interval = 0);
    Bytes build() const;

  private:
    struct Iface {
        Bytes descriptor;
        std::vector<Bytes> endpoints;
    };
    uint8_t value_, attributes_, maxPower_;
    std::vector<Iface> interfaces_;
};
Bytes stringDescriptor(std::u16string_view text);
Bytes languageDescriptor(std::span<const uint16_t> languages);

}  // namespace sim::usb
