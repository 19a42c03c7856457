#include "tools/vavedu/describe.hpp"

#include "tools/vavedu/text.hpp"

namespace vavedu::tool {

JsonObject endpointJson(const EndpointDescriptor& e, size_t pipe) {
    JsonObject o;
    o.add("pipe", static_cast<uint64_t>(pipe))
        .add("address", hex2(e.address))
        .add("direction", e.in() ? "in" : "out")
        .add("type", toString(e.type()))
        .add("max_packet_size", unsigned{e.packetSize()})
        .add("interval", unsigned{e.interval});
    return o;
}

namespace {

JsonObject interfaceJson(const InterfaceDescriptor& i) {
    JsonArray endpoints;
    for (size_t p = 0; p < i.endpoints.size(); ++p)
        endpoints.push(endpointJson(i.endpoints[p], p));
    JsonObject o;
    o.add("number", unsigned{i.number})
        .add("alternate_setting", unsigned{i.alternateSetting})
        .add("class", hex2(i.interfaceClass))
        .add("subclass", hex2(i.interfaceSubClass))
        .add("protocol", hex2(i.interfaceProtocol))
        .add("endpoints", endpoints);
    return o;
}

}  // namespace

std::string describeEndpoint(const EndpointDescriptor& e) {
    return "endpoint " + hex2(e.address) + (e.in() ? " IN  " : " OUT ") + toString(e.type()) +
           ", " + std::to_string(e.packetSize()) + "-byte packets";
}

std::vector<std::string> describeDescriptors(const DescriptorSet& set, bool raw) {
    std::vector<std::string> lines;
    const DeviceDescriptor& d = set.device;
    lines.push_back("device: USB " + bcd(d.bcdUSB) + ", class " + hex2(d.deviceClass) +
                    ", vendor " + hex4(d.idVendor) + ", product " + hex4(d.idProduct) +
                    ", release " + bcd(d.bcdDevice) + ", default pipe " +
                    std::to_string(d.maxPacketSize0) + "-byte packets, " +
                    std::to_string(d.numConfigurations) + " configuration(s)");
    if (raw) {
        for (const std::string& l : hexDump(set.deviceRaw))
            lines.push_back("  " + l);
    }
    for (const ConfigurationDescriptor& c : set.configurations) {
        lines.push_back("configuration " + std::to_string(c.configurationValue) + ": " +
                        std::to_string(c.numInterfaces) + " interface(s), " +
                        ((c.attributes & 0x40) ? "self-powered" : "bus-powered") + ", " +
                        std::to_string(c.maxPower * 2) + " mA, " + std::to_string(c.totalLength) +
                        " bytes");
        for (const InterfaceDescriptor& i : c.interfaces) {
            lines.push_back("  interface " + std::to_string(i.number) + " alternate " +
                            std::to_string(i.alternateSetting) + ": class " +
                            hex2(i.interfaceClass) + ", " + std::to_string(i.endpoints.size()) +
                            " endpoint(s)");
            for (size_t p = 0; p < i.endpoints.size(); ++p) {
                lines.push_back("    pipe " + std::to_string(p) + ": " +
                                describeEndpoint(i.endpoints[p]));
            }
        }
        for (const std::string& problem : c.problems)
            lines.push_back("  malformed: " + problem);
        if (raw) {
            for (const std::string& l : hexDump(c.raw))
                lines.push_back("  " + l);
        }
    }
    return lines;
}

JsonObject descriptorsJson(const DescriptorSet& set, bool raw) {
    const DeviceDescriptor& d = set.device;
    JsonObject device;
    device.add("bcd_usb", hex4(d.bcdUSB))
        .add("class", hex2(d.deviceClass))
        .add("subclass", hex2(d.deviceSubClass))
        .add("protocol", hex2(d.deviceProtocol))
        .add("max_packet_size0", unsigned{d.maxPacketSize0})
        .add("vendor_id", hex4(d.idVendor))
        .add("product_id", hex4(d.idProduct))
        .add("bcd_device", hex4(d.bcdDevice))
        .add("manufacturer_index", unsigned{d.iManufacturer})
        .add("product_index", unsigned{d.iProduct})
        .add("serial_index", unsigned{d.iSerialNumber})
        .add("configurations", unsigned{d.numConfigurations});
    if (raw)
        device.add("raw", toHex(set.deviceRaw));
    JsonArray configurations;
    for (const ConfigurationDescriptor& c : set.configurations) {
        JsonArray interfaces;
        for (const InterfaceDescriptor& i : c.interfaces)
            interfaces.push(interfaceJson(i));
        JsonArray problems;
        for (const std::string& p : c.problems)
            problems.push(p);
        JsonObject o;
        o.add("value", unsigned{c.configurationValue})
            .add("total_length", unsigned{c.totalLength})
            .add("interface_count", unsigned{c.numInterfaces})
            .add("attributes", hex2(c.attributes))
            .add("max_power_ma", c.maxPower * 2)
            .add("interfaces", interfaces);
        if (!problems.empty())
            o.add("problems", problems);
        if (raw)
            o.add("raw", toHex(c.raw));
        configurations.push(o);
    }
    JsonObject all;
    all.add("device", device).add("configurations", configurations);
    return all;
}

}  // namespace vavedu::tool
