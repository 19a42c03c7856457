#include "tools/vavedu/commands.hpp"

#include "tools/vavedu/machine.hpp"

#include "tools/vavedu/progress.hpp"
#include "tools/vavedu/text.hpp"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace vavedu::tool {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kProgressThreshold = 256 * 1024;  // smaller transfers finish too fast to watch
constexpr size_t kDumpLimit = 256;                   // bytes of data printed without --hex

std::string hex8(uint32_t value) {
    return hexStatus(value);
}

std::string hex4(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", value & 0xFFFF);
    return text;
}

std::string hex2(uint32_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFF);
    return text;
}

std::string bcd(uint16_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x.%02x", value >> 8, value & 0xFF);
    return text;
}

void take(StepResult& result, const Completion& c) {
    result.status = c.status;
    result.information = c.information;
}

bool printable(const Bytes& data) {
    if (data.empty())
        return false;
    for (uint8_t b : data) {
        if (b < 0x20 || b > 0x7E)
            return false;
    }
    return true;
}

std::string fileName(const Step& step) {
    if (step.name)
        return *step.name;
    if (step.pipe)
        return pipeName(*step.pipe, step.interface);
    return "";
}

// Waits for a transfer, drawing progress from the bytes the bus moved; cancels it after the
// time-out and then waits for it to finish.
Completion finishTransfer(AsyncTransfer& transfer, const Step& step, Session& session,
                          ProgressBar& bar, uint64_t busBase, uint64_t progressBase,
                          bool& timedOut) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(step.timeoutMs);
    for (;;) {
        if (auto done = transfer.waitFor(std::chrono::milliseconds(50)))
            return *done;
        bar.update(progressBase + session.bulkBytes() - busBase);
        if (Clock::now() >= deadline) {
            timedOut = true;
            transfer.cancel();
            return transfer.wait();
        }
    }
}

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

// The endpoint behind pipe `pipe` of interface `interface` in the current configuration and
// alternate setting, as the descriptors say.
std::optional<EndpointDescriptor> pipeEndpoint(Device& device, uint8_t interface, uint8_t pipe) {
    const Reply<DescriptorSet> set = device.descriptors();
    const Reply<uint8_t> configuration = device.configuration();
    const Reply<uint8_t> alternate = device.alternateSetting(interface);
    if (!set.ok() || !configuration.ok())
        return std::nullopt;
    for (const ConfigurationDescriptor& c : set.value.configurations) {
        if (c.configurationValue != configuration.value)
            continue;
        const InterfaceDescriptor* i = c.find(interface, alternate.ok() ? alternate.value : 0);
        if (i && pipe < i->endpoints.size())
            return i->endpoints[pipe];
    }
    return std::nullopt;
}

}  // namespace

Bytes testPattern(size_t length) {
    Bytes data(length);
    for (size_t i = 0; i < length; ++i)
        data[i] = static_cast<uint8_t>((i % 251) ^ (i >> 12));
    return data;
}

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

bool Executor::openInstrument(const std::string& name, Device& device, StepResult& result) {
    const std::optional<std::string> path = session_.instrumentPath();
    if (!path) {
        result.status = kStatusNoSuchDevice;
        result.note = "no instrument present";
        return false;
    }
    const NtStatus status = Device::open(session_.platform(), *path, name, &device);
    if (!succeeded(status)) {
        result.status = status;
        result.note = "cannot open " + (name.empty() ? std::string("the device") : name);
        return false;
    }
    return true;
}

StepResult Executor::run(const Step& step) {
    const std::string& c = step.command;
    if (isModelStep(c))
        return modelStep(step);
    if (c == "list")
        return list();
    if (c == "info")
        return info();
    if (c == "descriptors")
        return descriptors(step);
    if (c == "read")
        return read(step);
    if (c == "write")
        return write(step);
    if (c == "control")
        return control(step);
    if (c == "ioctl")
        return ioctl(step);
    if (c == "select-config")
        return selectConfig(step);
    if (c == "select-interface")
        return selectInterface(step);
    if (c == "reset-pipe")
        return resetPipe(step);
    if (c == "bench")
        return bench(step);
    return simple(step);
}

StepResult Executor::list() {
    StepResult r{"list"};
    JsonArray paths;
    const std::vector<std::string> found = findInstruments(session_.platform());
    for (const std::string& path : found) {
        r.lines.push_back(path);
        paths.push(path);
    }
    if (found.empty())
        r.lines.push_back("(no instrument present)");
    r.data.add("instruments", paths);
    return r;
}

StepResult Executor::info() {
    StepResult r{"info"};
    Device d;
    if (!openInstrument("", d, r))
        return r;
    r.lines.push_back("path: " + d.path());
    r.data.add("path", d.path());
    uint64_t bytes = 0;
    auto failedAt = [&](const Completion& c) {
        bytes += c.information;
        if (c.ok())
            return false;
        take(r, c);
        r.note = std::string(c.operation) + " failed";
        return true;
    };
    const auto version = d.driverVersion();
    if (failedAt(version))
        return r;
    const auto banner = d.banner();
    if (failedAt(banner))
        return r;
    const auto usbdi = d.usbdiVersion();
    if (failedAt(usbdi))
        return r;
    const auto device = d.deviceDescriptor();
    if (failedAt(device))
        return r;
    r.lines.push_back("driver version: " + hex8(version.value));
    r.lines.push_back("banner: " + banner.value);
    r.lines.push_back("USBDI version: " + hex8(usbdi.value.usbdiVersion) + ", USB " +
                      bcd(static_cast<uint16_t>(usbdi.value.supportedUsbVersion)));
    r.lines.push_back("instrument: vendor " + hex4(device.value.idVendor) + ", product " +
                      hex4(device.value.idProduct) + ", USB " + bcd(device.value.bcdUSB));
    r.data.add("driver_version", hex8(version.value))
        .add("banner", banner.value)
        .add("usbdi_version", hex8(usbdi.value.usbdiVersion))
        .add("vendor_id", hex4(device.value.idVendor))
        .add("product_id", hex4(device.value.idProduct));
    const std::pair<const char*, uint8_t> strings[] = {{"manufacturer", device.value.iManufacturer},
                                                       {"product", device.value.iProduct},
                                                       {"serial", device.value.iSerialNumber}};
    for (const auto& [label, index] : strings) {
        if (index == 0)
            continue;
        const auto text = d.stringDescriptor(index);
        if (!text.ok())
            continue;  // strings are optional
        bytes += text.information;
        r.lines.push_back(std::string(label) + ": " + text.value);
        r.data.add(label, text.value);
    }
    const auto configuration = d.configuration();
    if (configuration.ok()) {
        r.lines.push_back("configuration: " + std::to_string(configuration.value));
        r.data.add("configuration", unsigned{configuration.value});
    }
    r.information = bytes;
    return r;
}

StepResult Executor::descriptors(const Step& step) {
    StepResult r{"descriptors"};
    Device d;
    if (!openInstrument("", d, r))
        return r;
    const Reply<DescriptorSet> set = d.descriptors();
    take(r, set);
    if (!set.ok()) {
        r.note = "reading the descriptors failed";
        return r;
    }
    r.lines = describeDescriptors(set.value, step.raw);
    r.data.add("descriptors", descriptorsJson(set.value, step.raw));
    return r;
}

StepResult Executor::read(const Step& step) {
    StepResult r{"read"};
    const std::string name = fileName(step);
    Device d;
    if (!openInstrument(name, d, r))
        return r;
    const uint64_t length = step.bytes.value_or(0);
    ProgressBar bar(progressOut_, progress_ && length >= kProgressThreshold, "read", length);
    const uint64_t base = session_.bulkBytes();
    AsyncTransfer transfer = d.readAsync(length);
    bool timedOut = false;
    const Completion c = finishTransfer(transfer, step, session_, bar, base, 0, timedOut);
    bar.finish();
    take(r, c);
    if (timedOut)
        r.note = "cancelled after " + std::to_string(step.timeoutMs) + " ms";
    const Bytes data(transfer.data().begin(),
                     transfer.data().begin() +
                         static_cast<std::ptrdiff_t>(std::min<uint64_t>(c.information, length)));
    if (step.outFile) {
        std::ofstream out(*step.outFile, std::ios::binary);
        out.write(reinterpret_cast<const char*>(data.data()),
                  static_cast<std::streamsize>(data.size()));
        if (!out) {
            r.failed = true;
            r.note = "cannot write " + *step.outFile;
        } else {
            r.lines.push_back(std::to_string(data.size()) + " bytes written to " + *step.outFile);
        }
        r.data.add("out", *step.outFile);
    } else {
        r.data.add("data", toHex(data));
    }
    if (!step.outFile) {
        for (const std::string& l : hexDump(data, step.hex ? SIZE_MAX : kDumpLimit)) {
            r.lines.push_back(l);
        }
    }
    return r;
}

StepResult Executor::write(const Step& step) {
    StepResult r{"write"};
    Bytes data;
    if (step.data) {
        data = *step.data;
    } else if (step.inFile) {
        std::ifstream in(*step.inFile, std::ios::binary);
        if (!in)
            throw UsageError("write --in: cannot read " + *step.inFile);
        data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } else {
        data = testPattern(step.bytes.value_or(0));
    }
    const std::string name = fileName(step);
    Device d;
    if (!openInstrument(name, d, r))
        return r;
    const uint64_t length = data.size();
    ProgressBar bar(progressOut_, progress_ && length >= kProgressThreshold, "write", length);
    const uint64_t base = session_.bulkBytes();
    AsyncTransfer transfer = d.writeAsync(std::move(data));
    bool timedOut = false;
    const Completion c = finishTransfer(transfer, step, session_, bar, base, 0, timedOut);
    bar.finish();
    take(r, c);
    if (timedOut)
        r.note = "cancelled after " + std::to_string(step.timeoutMs) + " ms";
    r.data.add("requested", length);
    return r;
}

StepResult Executor::control(const Step& step) {
    StepResult r{"control"};
    Device d;
    if (!openInstrument("", d, r))
        return r;
    const SETUP_PACKET& s = step.setup;
    const Bytes none;
    const Reply<Bytes> reply = d.controlTransfer(s, step.data ? *step.data : none);
    take(r, reply);
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(&s);
    const std::string setupHex = toHex(std::span<const uint8_t>(raw, sizeof s));
    r.lines.push_back("setup packet " + setupHex + ((s.bmRequestType & 0x80) ? " (IN)" : " (OUT)"));
    r.data.add("setup", setupHex);
    if (s.bmRequestType & 0x80) {
        r.data.add("data", toHex(reply.value));
        for (const std::string& l : hexDump(reply.value, kDumpLimit))
            r.lines.push_back(l);
        if (printable(reply.value)) {
            const std::string text(reply.value.begin(), reply.value.end());
            r.lines.push_back("text: \"" + text + "\"");
            r.data.add("text", text);
        }
    }
    if (!reply.ok() && std::string(reply.operation) == "set setup packet") {
        r.note = "the driver refused the setup packet";
    }
    return r;
}

StepResult Executor::ioctl(const Step& step) {
    StepResult r{"ioctl"};
    Device d;
    if (!openInstrument("", d, r))
        return r;
    uint32_t outLength = 0;
    switch (step.ioctlCode) {
        case IOCTL_BULK_GET_DRIVER_VERSION:
        case IOCTL_BULK_GET_LAST_USBD_STATUS:
        case IOCTL_BULK_GET_RESERVED_VALUE:
        case IOCTL_BULK_ZERO_LENGTH_PACKET_MODE:
            outLength = 4;
            break;
        case IOCTL_BULK_GET_USBDI_VERSION:
            outLength = 8;
            break;
        case IOCTL_BULK_GET_BANNER:
            outLength = 256;
            break;
        case IOCTL_BULK_GET_DESCRIPTOR:
            outLength = 18;
            break;
        default:
            break;
    }
    outLength = step.outLength.value_or(outLength);
    const Reply<Bytes> reply = d.ioctl(step.ioctlCode, step.ioctlInput, outLength);
    take(r, reply);
    const char* name = ioctlName(step.ioctlCode);
    r.note = name ? name : "unknown code";
    r.data.add("code", hex8(step.ioctlCode))
        .add("ioctl", name ? name : "")
        .add("data", toHex(reply.value));
    for (const std::string& l : hexDump(reply.value, kDumpLimit))
        r.lines.push_back(l);
    return r;
}

StepResult Executor::selectConfig(const Step& step) {
    StepResult r{"select-config"};
    Device d;
    if (!openInstrument("", d, r))
        return r;
    take(r, d.selectConfiguration(step.first));
    r.data.add("configuration", unsigned{step.first});
    return r;
}

StepResult Executor::selectInterface(const Step& step) {
    StepResult r{"select-interface"};
    Device d;
    if (!openInstrument("", d, r))
        return r;
    take(r, d.selectInterface(step.first, step.second));
    r.data.add("interface", unsigned{step.first}).add("alternate_setting", unsigned{step.second});
    if (!r.ok())
        return r;
    // The pipes the interface has now, from the descriptors of the current configuration.
    const Reply<DescriptorSet> set = d.descriptors();
    const Reply<uint8_t> configuration = d.configuration();
    if (!set.ok() || !configuration.ok())
        return r;
    for (const ConfigurationDescriptor& c : set.value.configurations) {
        if (c.configurationValue != configuration.value)
            continue;
        if (const InterfaceDescriptor* i = c.find(step.first, step.second)) {
            JsonArray pipes;
            for (size_t p = 0; p < i->endpoints.size(); ++p) {
                r.lines.push_back("pipe " + std::to_string(p) + ": " +
                                  describeEndpoint(i->endpoints[p]));
                pipes.push(endpointJson(i->endpoints[p], p));
            }
            r.data.add("pipes", pipes);
        }
    }
    return r;
}

StepResult Executor::resetPipe(const Step& step) {
    StepResult r{"reset-pipe"};
    Device d;
    if (!openInstrument("", d, r))
        return r;
    take(r, d.resetPipe(step.first, step.second));
    r.data.add("pipe", unsigned{step.first}).add("interface", unsigned{step.second});
    return r;
}

StepResult Executor::simple(const Step& step) {
    StepResult r{step.command};
    Device d;
    if (!openInstrument("", d, r))
        return r;
    const std::string& c = step.command;
    if (c == "reset-port") {
        take(r, d.resetPort());
    } else if (c == "zlp") {
        const Reply<bool> mode =
            step.zlp == "query" ? d.zeroLengthPackets() : d.setZeroLengthPackets(step.zlp == "on");
        take(r, mode);
        if (mode.ok()) {
            r.lines.push_back(std::string("zero-length packets: ") + (mode.value ? "on" : "off"));
            r.data.add("zlp", mode.value ? "on" : "off");
        }
    } else if (c == "last-status") {
        const Reply<uint32_t> s = d.lastUsbdStatus();
        take(r, s);
        if (s.ok()) {
            r.lines.push_back("last USBD status: " + usbdStatusText(s.value) + " (" +
                              hex8(s.value) + ")");
            r.data.add("usbd_status", hex8(s.value))
                .add("usbd_status_name", usbdStatusText(s.value));
        }
    } else if (c == "version") {
        const Reply<uint32_t> v = d.driverVersion();
        take(r, v);
        if (v.ok()) {
            r.lines.push_back("driver version " + hex8(v.value) + " (major " + hex4(v.value >> 16) +
                              ", minor " + hex4(v.value) + ")");
            r.data.add("driver_version", hex8(v.value))
                .add("major", v.value >> 16)
                .add("minor", v.value & 0xFFFF);
        }
    } else if (c == "banner") {
        const Reply<std::string> b = d.banner();
        take(r, b);
        r.lines.push_back(b.value);
        r.data.add("banner", b.value);
    } else if (c == "usbdi-version") {
        const Reply<UsbdiVersion> v = d.usbdiVersion();
        take(r, v);
        if (v.ok()) {
            r.lines.push_back("USBDI version " + hex8(v.value.usbdiVersion) +
                              ", supported USB version " + hex4(v.value.supportedUsbVersion));
            r.data.add("usbdi_version", hex8(v.value.usbdiVersion))
                .add("supported_usb_version", hex4(v.value.supportedUsbVersion));
        }
    } else {
        throw UsageError("unknown command '" + c + "'");
    }
    return r;
}

StepResult Executor::bench(const Step& step) {
    StepResult r{"bench"};
    const uint64_t length = step.bytes.value_or(1024 * 1024);
    const uint8_t interface = step.interface.value_or(0);
    // Without --pipe: a loopback round trip through pipes 0 (OUT) and 1 (IN) of the interface.
    bool loopback = !step.pipe;
    bool in = false;
    {
        Device d;
        if (!openInstrument("", d, r))
            return r;
        if (step.pipe) {
            const auto e = pipeEndpoint(d, interface, *step.pipe);
            in = !e || e->in();
        }
    }
    Device out, inPipe;
    if (loopback) {
        if (!openInstrument(pipeName(0, interface), out, r))
            return r;
        if (!openInstrument(pipeName(1, interface), inPipe, r))
            return r;
    } else if (!openInstrument(pipeName(*step.pipe, interface), in ? inPipe : out, r)) {
        return r;
    }
    const Bytes pattern = testPattern(length);
    const uint64_t total = length * step.iterations * (loopback ? 2 : 1);
    ProgressBar bar(progressOut_, progress_, "bench", total);
    const uint64_t busBase = session_.bulkBytes();
    const uint64_t chunksBase = session_.bulkTransfers();
    uint64_t moved = 0, requests = 0;
    bool verified = true;
    const auto started = Clock::now();
    for (uint64_t i = 0; i < step.iterations && r.ok(); ++i) {
        bool timedOut = false;
        if (loopback || !in) {
            AsyncTransfer w = out.writeAsync(pattern);
            const Completion c = finishTransfer(w, step, session_, bar, busBase, 0, timedOut);
            ++requests;
            moved += c.information;
            take(r, c);
            if (!c.ok())
                break;
        }
        if (loopback || in) {
            AsyncTransfer rd = inPipe.readAsync(length);
            const Completion c = finishTransfer(rd, step, session_, bar, busBase, 0, timedOut);
            ++requests;
            moved += c.information;
            take(r, c);
            if (loopback && c.ok())
                verified = verified && rd.data() == pattern;
        }
        if (timedOut)
            r.note = "a request was cancelled after its time-out";
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    bar.finish();
    const double rate = seconds > 0 ? moved / seconds / 1e6 : 0;
    const uint64_t chunks = session_.bulkTransfers() - chunksBase;
    r.information = moved;
    char line[160];
    // Only the model sees the bus, so only there are the chunks counted.
    const char* format =
        kToolRunsOnModel ? "%.1f MB/s: %llu bytes in %.3f s, %llu requests, %llu chunks on the bus"
                         : "%.1f MB/s: %llu bytes in %.3f s, %llu requests";
    std::snprintf(line, sizeof line, format, rate, static_cast<unsigned long long>(moved), seconds,
                  static_cast<unsigned long long>(requests),
                  static_cast<unsigned long long>(chunks));
    r.lines.push_back(line);
    if (loopback) {
        r.lines.push_back(verified ? "every byte came back as sent" : "DATA MISMATCH");
        if (!verified) {
            r.failed = true;
            r.note = "the data read back differs from what was written";
        }
        r.data.add("verified", verified);
    }
    r.data.add("mode", loopback ? "loopback" : (in ? "read" : "write"))
        .add("bytes", moved)
        .add("seconds", seconds)
        .add("mb_per_s", rate)
        .add("requests", requests)
        .add("chunks", chunks);
    return r;
}

StepResult Executor::modelStep(const Step& step) {
    StepResult r{step.command};
    ModelStepResult m;
    const std::string& c = step.command;
    if (c == "plug")
        m = session_.plug();
    if (c == "unplug")
        m = session_.unplug();
    if (c == "surprise-remove")
        m = session_.surpriseRemove();
    if (c == "stop")
        m = session_.stop();
    if (c == "start")
        m = session_.start();
    if (c == "stall")
        m = session_.stall(step.endpoint);
    if (c == "fault")
        m = session_.fault(step);
    r.status = m.status;
    r.note = m.note;
    return r;
}

}  // namespace vavedu::tool
