#include "tools/vavedu/commands.hpp"

#include "tools/vavedu/describe.hpp"
#include "tools/vavedu/text.hpp"

#include <chrono>
#include <fstream>
#include <iterator>

namespace vavedu::tool {

namespace {

using Clock = std::chrono::steady_clock;

// Transfers smaller than this finish too fast to watch.
constexpr uint64_t kProgressThreshold = 256 * uint64_t{1024};
constexpr size_t kDumpLimit = 256;  // bytes of data printed without --hex

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

// Runs a read or write of `length` bytes, started after the bus had moved `busBase` bytes, to
// its end, with a progress bar for long ones, and takes its outcome.
Completion runTransfer(Executor& executor, const Step& step, const char* label, uint64_t length,
                       uint64_t busBase, AsyncTransfer& transfer, StepResult& r) {
    ProgressBar bar = executor.progressBar(label, length, kProgressThreshold);
    bool timedOut = false;
    const Completion c = executor.finishTransfer(transfer, step, bar, busBase, timedOut);
    bar.finish();
    takeOutcome(r, c);
    if (timedOut)
        r.note = "cancelled after " + std::to_string(step.timeoutMs) + " ms";
    return c;
}

// What `read` got: into --out FILE, or as hex into the details.
void deliverReadData(const Step& step, const Bytes& data, StepResult& r) {
    if (!step.outFile) {
        r.data.add("data", toHex(data));
        for (const std::string& l : hexDump(data, step.hex ? SIZE_MAX : kDumpLimit))
            r.lines.push_back(l);
        return;
    }
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
}

// The bytes `write` sends: --data, the contents of --in FILE, or --bytes N of the test pattern.
Bytes writeData(const Step& step) {
    if (step.data)
        return *step.data;
    if (step.inFile) {
        std::ifstream in(*step.inFile, std::ios::binary);
        if (!in)
            throw UsageError("write --in: cannot read " + *step.inFile);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return testPattern(step.bytes.value_or(0));
}

// The output buffer `ioctl` gives a request of the driver without --out-len: what its answer
// needs.
uint32_t defaultOutputLength(uint32_t code) {
    switch (code) {
        case IOCTL_BULK_GET_DRIVER_VERSION:
        case IOCTL_BULK_GET_LAST_USBD_STATUS:
        case IOCTL_BULK_GET_RESERVED_VALUE:
        case IOCTL_BULK_ZERO_LENGTH_PACKET_MODE:
            return 4;
        case IOCTL_BULK_GET_USBDI_VERSION:
            return 8;
        case IOCTL_BULK_GET_BANNER:
            return 256;
        case IOCTL_BULK_GET_DESCRIPTOR:
            return 18;
        default:
            return 0;
    }
}

}  // namespace

void takeOutcome(StepResult& result, const Completion& c) {
    result.status = c.status;
    result.information = c.information;
}

Bytes testPattern(size_t length) {
    Bytes data(length);
    for (size_t i = 0; i < length; ++i)
        data[i] = static_cast<uint8_t>((i % 251) ^ (i >> 12));
    return data;
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
    const CommandRoutine routine = commandRoutine(step.command);
    if (!routine)
        throw UsageError("unknown command '" + step.command + "'");
    StepResult r{step.command};
    routine(*this, step, r);
    return r;
}

Completion Executor::finishTransfer(AsyncTransfer& transfer, const Step& step, ProgressBar& bar,
                                    uint64_t busBase, bool& timedOut) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(step.timeoutMs);
    for (;;) {
        if (auto done = transfer.waitFor(std::chrono::milliseconds(50)))
            return *done;
        bar.update(session_.bulkBytes() - busBase);
        if (Clock::now() >= deadline) {
            timedOut = true;
            transfer.cancel();
            return transfer.wait();
        }
    }
}

ProgressBar Executor::progressBar(std::string label, uint64_t total, uint64_t threshold) {
    return ProgressBar(progressOut_, progress_ && total >= threshold, std::move(label), total);
}

namespace command {

void list(Executor& executor, const Step&, StepResult& r) {
    JsonArray paths;
    const std::vector<std::string> found = findInstruments(executor.session().platform());
    for (const std::string& path : found) {
        r.lines.push_back(path);
        paths.push(path);
    }
    if (found.empty())
        r.lines.push_back("(no instrument present)");
    r.data.add("instruments", paths);
}

void read(Executor& executor, const Step& step, StepResult& r) {
    Device d;
    if (!executor.openInstrument(fileName(step), d, r))
        return;
    const uint64_t length = step.bytes.value_or(0);
    const uint64_t busBase = executor.session().bulkBytes();
    AsyncTransfer transfer = d.readAsync(length);
    const Completion c = runTransfer(executor, step, "read", length, busBase, transfer, r);
    const auto end = transfer.data().begin() +
                     static_cast<std::ptrdiff_t>(std::min<uint64_t>(c.information, length));
    deliverReadData(step, Bytes(transfer.data().begin(), end), r);
}

void write(Executor& executor, const Step& step, StepResult& r) {
    Bytes data = writeData(step);
    Device d;
    if (!executor.openInstrument(fileName(step), d, r))
        return;
    const uint64_t length = data.size();
    const uint64_t busBase = executor.session().bulkBytes();
    AsyncTransfer transfer = d.writeAsync(std::move(data));
    runTransfer(executor, step, "write", length, busBase, transfer, r);
    r.data.add("requested", length);
}

void info(Device& d, const Step&, StepResult& r) {
    r.lines.push_back("path: " + d.path());
    r.data.add("path", d.path());
    uint64_t bytes = 0;
    auto failedAt = [&](const Completion& c) {
        bytes += c.information;
        if (c.ok())
            return false;
        takeOutcome(r, c);
        r.note = std::string(c.operation) + " failed";
        return true;
    };
    const auto version = d.driverVersion();
    if (failedAt(version))
        return;
    const auto banner = d.banner();
    if (failedAt(banner))
        return;
    const auto usbdi = d.usbdiVersion();
    if (failedAt(usbdi))
        return;
    const auto device = d.deviceDescriptor();
    if (failedAt(device))
        return;
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
}

void descriptors(Device& d, const Step& step, StepResult& r) {
    const Reply<DescriptorSet> set = d.descriptors();
    takeOutcome(r, set);
    if (!set.ok()) {
        r.note = "reading the descriptors failed";
        return;
    }
    r.lines = describeDescriptors(set.value, step.raw);
    r.data.add("descriptors", descriptorsJson(set.value, step.raw));
}

void control(Device& d, const Step& step, StepResult& r) {
    const SETUP_PACKET& s = step.setup;
    const Bytes none;
    const Reply<Bytes> reply = d.controlTransfer(s, step.data ? *step.data : none);
    takeOutcome(r, reply);
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
}

void ioctl(Device& d, const Step& step, StepResult& r) {
    const uint32_t outLength = step.outLength.value_or(defaultOutputLength(step.ioctlCode));
    const Reply<Bytes> reply = d.ioctl(step.ioctlCode, step.ioctlInput, outLength);
    takeOutcome(r, reply);
    const char* name = ioctlName(step.ioctlCode);
    r.note = name ? name : "unknown code";
    r.data.add("code", hex8(step.ioctlCode))
        .add("ioctl", name ? name : "")
        .add("data", toHex(reply.value));
    for (const std::string& l : hexDump(reply.value, kDumpLimit))
        r.lines.push_back(l);
}

void selectConfig(Device& d, const Step& step, StepResult& r) {
    takeOutcome(r, d.selectConfiguration(step.first));
    r.data.add("configuration", unsigned{step.first});
}

void selectInterface(Device& d, const Step& step, StepResult& r) {
    takeOutcome(r, d.selectInterface(step.first, step.second));
    r.data.add("interface", unsigned{step.first}).add("alternate_setting", unsigned{step.second});
    if (!r.ok())
        return;
    // The pipes the interface has now, from the descriptors of the current configuration.
    const Reply<DescriptorSet> set = d.descriptors();
    const Reply<uint8_t> configuration = d.configuration();
    if (!set.ok() || !configuration.ok())
        return;
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
}

void resetPipe(Device& d, const Step& step, StepResult& r) {
    takeOutcome(r, d.resetPipe(step.first, step.second));
    r.data.add("pipe", unsigned{step.first}).add("interface", unsigned{step.second});
}

void resetPort(Device& d, const Step&, StepResult& r) {
    takeOutcome(r, d.resetPort());
}

void zlp(Device& d, const Step& step, StepResult& r) {
    const Reply<bool> mode =
        step.zlp == "query" ? d.zeroLengthPackets() : d.setZeroLengthPackets(step.zlp == "on");
    takeOutcome(r, mode);
    if (mode.ok()) {
        r.lines.push_back(std::string("zero-length packets: ") + (mode.value ? "on" : "off"));
        r.data.add("zlp", mode.value ? "on" : "off");
    }
}

void lastStatus(Device& d, const Step&, StepResult& r) {
    const Reply<uint32_t> s = d.lastUsbdStatus();
    takeOutcome(r, s);
    if (s.ok()) {
        r.lines.push_back("last USBD status: " + usbdStatusText(s.value) + " (" + hex8(s.value) +
                          ")");
        r.data.add("usbd_status", hex8(s.value)).add("usbd_status_name", usbdStatusText(s.value));
    }
}

void version(Device& d, const Step&, StepResult& r) {
    const Reply<uint32_t> v = d.driverVersion();
    takeOutcome(r, v);
    if (v.ok()) {
        r.lines.push_back("driver version " + hex8(v.value) + " (major " + hex4(v.value >> 16) +
                          ", minor " + hex4(v.value) + ")");
        r.data.add("driver_version", hex8(v.value))
            .add("major", v.value >> 16)
            .add("minor", v.value & 0xFFFF);
    }
}

void banner(Device& d, const Step&, StepResult& r) {
    const Reply<std::string> b = d.banner();
    takeOutcome(r, b);
    r.lines.push_back(b.value);
    r.data.add("banner", b.value);
}

void usbdiVersion(Device& d, const Step&, StepResult& r) {
    const Reply<UsbdiVersion> v = d.usbdiVersion();
    takeOutcome(r, v);
    if (v.ok()) {
        r.lines.push_back("USBDI version " + hex8(v.value.usbdiVersion) +
                          ", supported USB version " + hex4(v.value.supportedUsbVersion));
        r.data.add("usbdi_version", hex8(v.value.usbdiVersion))
            .add("supported_usb_version", hex4(v.value.supportedUsbVersion));
    }
}

}  // namespace command

}  // namespace vavedu::tool
