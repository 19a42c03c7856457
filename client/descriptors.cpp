#include "client/descriptors.hpp"

namespace vavedu {

namespace {

uint16_t le16(std::span<const uint8_t> bytes, size_t offset) {
    return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

InterfaceDescriptor decodeInterface(std::span<const uint8_t> d) {
    InterfaceDescriptor i;
    i.number = d[2];
    i.alternateSetting = d[3];
    i.numEndpoints = d[4];
    i.interfaceClass = d[5];
    i.interfaceSubClass = d[6];
    i.interfaceProtocol = d[7];
    i.iInterface = d[8];
    return i;
}

EndpointDescriptor decodeEndpoint(std::span<const uint8_t> d) {
    EndpointDescriptor e;
    e.address = d[2];
    e.attributes = d[3];
    e.maxPacketSize = le16(d, 4);
    e.interval = d[6];
    return e;
}

std::string at(size_t offset) {
    return " at offset " + std::to_string(offset);
}

}  // namespace

const char* toString(TransferType type) {
    switch (type) {
        case TransferType::Control:
            return "control";
        case TransferType::Isochronous:
            return "isochronous";
        case TransferType::Bulk:
            return "bulk";
        case TransferType::Interrupt:
            return "interrupt";
    }
    return "?";
}

const InterfaceDescriptor* ConfigurationDescriptor::find(uint8_t number, uint8_t alternate) const {
    for (const InterfaceDescriptor& i : interfaces) {
        if (i.number == number && i.alternateSetting == alternate)
            return &i;
    }
    return nullptr;
}

std::optional<DeviceDescriptor> parseDeviceDescriptor(std::span<const uint8_t> bytes) {
    if (bytes.size() < 18 || bytes[0] < 18 || bytes[1] != kDescriptorDevice)
        return std::nullopt;
    DeviceDescriptor d;
    d.bcdUSB = le16(bytes, 2);
    d.deviceClass = bytes[4];
    d.deviceSubClass = bytes[5];
    d.deviceProtocol = bytes[6];
    d.maxPacketSize0 = bytes[7];
    d.idVendor = le16(bytes, 8);
    d.idProduct = le16(bytes, 10);
    d.bcdDevice = le16(bytes, 12);
    d.iManufacturer = bytes[14];
    d.iProduct = bytes[15];
    d.iSerialNumber = bytes[16];
    d.numConfigurations = bytes[17];
    return d;
}

std::optional<ConfigurationDescriptor> parseConfigurationDescriptor(
    std::span<const uint8_t> bytes) {
    if (bytes.size() < 9 || bytes[0] < 9 || bytes[1] != kDescriptorConfiguration) {
        return std::nullopt;
    }
    ConfigurationDescriptor c;
    c.totalLength = le16(bytes, 2);
    c.numInterfaces = bytes[4];
    c.configurationValue = bytes[5];
    c.iConfiguration = bytes[6];
    c.attributes = bytes[7];
    c.maxPower = bytes[8];

    size_t end = bytes.size();
    if (c.totalLength < end)
        end = c.totalLength;
    if (c.totalLength > bytes.size()) {
        c.problems.push_back("wTotalLength " + std::to_string(c.totalLength) + " but only " +
                             std::to_string(bytes.size()) + " bytes");
    }
    if (end < bytes[0]) {
        c.problems.push_back("wTotalLength " + std::to_string(c.totalLength) +
                             " is shorter than the configuration descriptor");
        end = bytes[0] <= bytes.size() ? bytes[0] : bytes.size();
    }
    c.raw.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(end));

    // Each step advances by bLength (at least 2), so the walk ends after at most end/2 steps.
    for (size_t offset = bytes[0]; offset < end;) {
        const size_t left = end - offset;
        if (left < 2) {
            c.problems.push_back("1 stray byte" + at(offset));
            break;
        }
        const uint8_t length = bytes[offset];
        const uint8_t type = bytes[offset + 1];
        if (length < 2) {
            c.problems.push_back("bLength " + std::to_string(length) + at(offset));
            break;
        }
        if (length > left) {
            c.problems.push_back("descriptor of " + std::to_string(length) + " bytes runs past " +
                                 "the end" + at(offset));
            break;
        }
        const std::span<const uint8_t> d = bytes.subspan(offset, length);
        if (type == kDescriptorInterface) {
            if (length < 9) {
                c.problems.push_back("short interface descriptor" + at(offset));
            } else {
                c.interfaces.push_back(decodeInterface(d));
            }
        } else if (type == kDescriptorEndpoint) {
            if (length < 7) {
                c.problems.push_back("short endpoint descriptor" + at(offset));
            } else if (c.interfaces.empty()) {
                c.problems.push_back("endpoint before any interface" + at(offset));
            } else {
                c.interfaces.back().endpoints.push_back(decodeEndpoint(d));
            }
        }
        // Other descriptors (class-specific, interface association, ...) are skipped by length.
        offset += length;
    }
    for (const InterfaceDescriptor& i : c.interfaces) {
        if (i.endpoints.size() != i.numEndpoints) {
            c.problems.push_back("interface " + std::to_string(i.number) + " alternate " +
                                 std::to_string(i.alternateSetting) + " announces " +
                                 std::to_string(i.numEndpoints) + " endpoints, has " +
                                 std::to_string(i.endpoints.size()));
        }
    }
    return c;
}

std::optional<std::string> parseStringDescriptor(std::span<const uint8_t> bytes) {
    if (bytes.size() < 2 || bytes[0] < 2 || bytes[1] != kDescriptorString)
        return std::nullopt;
    size_t end = bytes[0] < bytes.size() ? bytes[0] : bytes.size();
    std::string text;
    for (size_t i = 2; i + 1 < end; i += 2) {
        uint32_t unit = le16(bytes, i);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < end) {
            const uint32_t low = le16(bytes, i + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        if (unit >= 0xD800 && unit <= 0xDFFF)
            unit = 0xFFFD;  // a lone surrogate
        if (unit < 0x80) {
            text += static_cast<char>(unit);
        } else if (unit < 0x800) {
            text += static_cast<char>(0xC0 | (unit >> 6));
            text += static_cast<char>(0x80 | (unit & 0x3F));
        } else if (unit < 0x10000) {
            text += static_cast<char>(0xE0 | (unit >> 12));
            text += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (unit & 0x3F));
        } else {
            text += static_cast<char>(0xF0 | (unit >> 18));
            text += static_cast<char>(0x80 | ((unit >> 12) & 0x3F));
            text += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (unit & 0x3F));
        }
    }
    return text;
}

}  // namespace vavedu
