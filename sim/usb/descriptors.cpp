#include "sim/usb/descriptors.hpp"

#include <algorithm>

namespace sim::usb {

const InterfaceSetting* ConfigurationInfo::find(uint8_t number, uint8_t alternate) const {
    for (const auto& setting : settings) {
        if (setting.number == number && setting.alternate == alternate)
            return &setting;
    }
    return nullptr;
}

std::vector<uint8_t> ConfigurationInfo::interfaceNumbers() const {
    std::vector<uint8_t> numbers;
    for (const auto& setting : settings) {
        if (std::find(numbers.begin(), numbers.end(), setting.number) == numbers.end()) {
            numbers.push_back(setting.number);
        }
    }
    return numbers;
}

std::optional<ConfigurationInfo> parseConfiguration(std::span<const uint8_t> bytes) {
    if (bytes.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR) || bytes[0] < 9 ||
        bytes[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        return std::nullopt;
    }
    const size_t total = std::min<size_t>(bytes.size(), bytes[2] | (bytes[3] << 8));
    ConfigurationInfo info;
    info.interfaceCount = bytes[4];
    info.value = bytes[5];
    InterfaceSetting* current = nullptr;
    size_t offset = bytes[0];
    while (offset + 2 <= total) {
        const uint8_t length = bytes[offset];
        const uint8_t type = bytes[offset + 1];
        if (length < 2 || offset + length > total)
            break;
        const uint8_t* d = bytes.data() + offset;
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= 9) {
            info.settings.push_back({d[2], d[3], d[5], d[6], d[7], {}});
            current = &info.settings.back();
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= 7 && current != nullptr &&
                   (d[2] & 0x0F) != 0) {
            EndpointInfo endpoint;
            endpoint.address = d[2];
            endpoint.type = static_cast<EndpointType>(d[3] & 0x03);
            endpoint.maxPacketSize = static_cast<uint16_t>((d[4] | (d[5] << 8)) & 0x07FF);
            endpoint.extraTransactions = static_cast<uint8_t>((d[5] >> 3) & 0x03);
            endpoint.interval = d[6];
            current->endpoints.push_back(endpoint);
        }
        offset += length;
    }
    return info;
}

Bytes deviceDescriptor(uint16_t bcdUsb, uint8_t deviceClass, uint8_t maxPacket0, uint16_t vendor,
                       uint16_t product, uint16_t bcdDevice, uint8_t iManufacturer,
                       uint8_t iProduct, uint8_t iSerial, uint8_t configurations) {
    auto lo = [](uint16_t v) { return static_cast<uint8_t>(v & 0xFF); };
    auto hi = [](uint16_t v) { return static_cast<uint8_t>(v >> 8); };
    return {18,
            USB_DEVICE_DESCRIPTOR_TYPE,
            lo(bcdUsb),
            hi(bcdUsb),
            deviceClass,
            0,
            0,
            maxPacket0,
            lo(vendor),
            hi(vendor),
            lo(product),
            hi(product),
            lo(bcdDevice),
            hi(bcdDevice),
            iManufacturer,
            iProduct,
            iSerial,
            configurations};
}

ConfigurationBuilder::ConfigurationBuilder(uint8_t value, uint8_t attributes, uint8_t maxPower)
    : value_(value), attributes_(attributes), maxPower_(maxPower) {}

ConfigurationBuilder& ConfigurationBuilder::interface(uint8_t number, uint8_t alternate,
                                                      uint8_t cls, uint8_t subClass,
                                                      uint8_t protocol, uint8_t iInterface) {
    interfaces_.push_back({{9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, 0, cls, subClass,
                            protocol, iInterface},
                           {}});
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::endpoint(uint8_t address, EndpointType type,
                                                     uint16_t maxPacket, uint8_t interval) {
    Iface& iface = interfaces_.back();
    iface.endpoints.push_back({7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, static_cast<uint8_t>(type),
                               static_cast<uint8_t>(maxPacket & 0xFF),
                               static_cast<uint8_t>(maxPacket >> 8), interval});
    iface.descriptor[4] = static_cast<uint8_t>(iface.endpoints.size());
    return *this;
}

Bytes ConfigurationBuilder::build() const {
    Bytes out = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 0, value_, 0, attributes_, maxPower_};
    std::vector<uint8_t> numbers;
    for (const auto& iface : interfaces_) {
        out.insert(out.end(), iface.descriptor.begin(), iface.descriptor.end());
        for (const auto& endpoint : iface.endpoints) {
            out.insert(out.end(), endpoint.begin(), endpoint.end());
        }
        if (std::find(numbers.begin(), numbers.end(), iface.descriptor[2]) == numbers.end()) {
            numbers.push_back(iface.descriptor[2]);
        }
    }
    out[2] = static_cast<uint8_t>(out.size() & 0xFF);
    out[3] = static_cast<uint8_t>(out.size() >> 8);
    out[4] = static_cast<uint8_t>(numbers.size());
    return out;
}

Bytes stringDescriptor(std::u16string_view text) {
    const size_t units = std::min<size_t>(text.size(), 126);
    Bytes out = {static_cast<uint8_t>(2 + 2 * units), USB_STRING_DESCRIPTOR_TYPE};
    for (size_t i = 0; i < units; ++i) {
        out.push_back(static_cast<uint8_t>(text[i] & 0xFF));
        out.push_back(static_cast<uint8_t>(text[i] >> 8));
    }
    return out;
}

Bytes languageDescriptor(std::span<const uint16_t> languages) {
    std::u16string units(languages.begin(), languages.end());
    return stringDescriptor(units);
}

}  // namespace sim::usb
