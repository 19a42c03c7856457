#include "client/client.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <limits>

namespace vavedu {

namespace {

constexpr uint32_t kBannerBuffer = 1024;
constexpr uint32_t kMaxLength = std::numeric_limits<uint32_t>::max();

const std::vector<IoctlInfo> kIoctls = {
    {IOCTL_BULK_GET_DRIVER_VERSION, "IOCTL_BULK_GET_DRIVER_VERSION"},
    {IOCTL_BULK_GET_DESCRIPTOR, "IOCTL_BULK_GET_DESCRIPTOR"},
    {IOCTL_BULK_RESET_PORT, "IOCTL_BULK_RESET_PORT"},
    {IOCTL_BULK_RESET_PIPE, "IOCTL_BULK_RESET_PIPE"},
    {IOCTL_BULK_GET_LAST_USBD_STATUS, "IOCTL_BULK_GET_LAST_USBD_STATUS"},
    {IOCTL_BULK_GET_RESERVED_VALUE, "IOCTL_BULK_GET_RESERVED_VALUE"},
    {IOCTL_BULK_ZERO_LENGTH_PACKET_MODE, "IOCTL_BULK_ZERO_LENGTH_PACKET_MODE"},
    {IOCTL_BULK_GET_BANNER, "IOCTL_BULK_GET_BANNER"},
    {IOCTL_BULK_GET_USBDI_VERSION, "IOCTL_BULK_GET_USBDI_VERSION"},
    {IOCTL_BULK_SELECT_CONFIGURATION, "IOCTL_BULK_SELECT_CONFIGURATION"},
    {IOCTL_BULK_SELECT_INTERFACE, "IOCTL_BULK_SELECT_INTERFACE"},
    {IOCTL_BULK_SET_SETUP_PACKET, "IOCTL_BULK_SET_SETUP_PACKET"},
    {IOCTL_BULK_CONTROL_TRANSFER, "IOCTL_BULK_CONTROL_TRANSFER"},
};

uint32_t le32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

Completion notOpen(const char* operation) {
    return {kStatusInvalidParameter, 0, operation};
}

template <class T>
Reply<T> failed(const Completion& c) {
    Reply<T> reply;
    static_cast<Completion&>(reply) = c;
    return reply;
}

std::string normalised(std::string_view text) {
    std::string result(text);
    for (char& c : result) {
        c = c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return result;
}

}  // namespace

Error::Error(std::string operation, NtStatus status)
    : std::runtime_error(operation + " failed: " + ntStatusText(status) + " (" +
                         hexStatus(static_cast<uint32_t>(status)) + ")"),
      operation_(std::move(operation)),
      status_(status) {}

void Completion::check() const {
    if (!ok())
        throw Error(operation, status);
}

const std::vector<IoctlInfo>& ioctlTable() {
    return kIoctls;
}

const char* ioctlName(uint32_t code) {
    for (const IoctlInfo& info : kIoctls) {
        if (info.code == code)
            return info.name;
    }
    return nullptr;
}

std::optional<uint32_t> parseIoctl(std::string_view text) {
    std::string_view digits = text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.remove_prefix(2);
        base = 16;
    }
    uint32_t code = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), code, base);
    if (!digits.empty() && error == std::errc() && end == digits.data() + digits.size()) {
        return code;
    }
    const std::string wanted = normalised(text);
    for (const IoctlInfo& info : kIoctls) {
        const std::string_view name(info.name);
        if (name == wanted || name.substr(std::strlen("IOCTL_BULK_")) == wanted)
            return info.code;
    }
    return std::nullopt;
}

std::string pipeName(unsigned pipe, std::optional<unsigned> interface) {
    std::string name = VAVEDU_PIPE_PREFIX + std::to_string(pipe);
    if (interface)
        name += VAVEDU_INTERFACE_PREFIX + std::to_string(*interface);
    return name;
}

SETUP_PACKET makeSetupPacket(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                             uint16_t length) {
    SETUP_PACKET setup{};
    setup.bmRequestType = requestType;
    setup.bRequest = request;
    setup.wValue = value;
    setup.wIndex = index;
    setup.wLength = length;
    return setup;
}

// ---- AsyncTransfer

bool AsyncTransfer::completed() const {
    return request_ && request_->completed();
}

Completion AsyncTransfer::wait() {
    if (!request_)
        return notOpen(operation_);
    const IoCompletion io = request_->wait();
    return {io.status, io.information, operation_};
}

std::optional<Completion> AsyncTransfer::waitFor(std::chrono::milliseconds timeout) {
    if (!request_)
        return notOpen(operation_);
    const auto io = request_->waitFor(timeout);
    if (!io)
        return std::nullopt;
    return Completion{io->status, io->information, operation_};
}

bool AsyncTransfer::cancel() {
    return request_ && request_->cancel();
}

// ---- Device

Device::~Device() {
    close();
}

NtStatus Device::open(Platform& platform, const std::string& interfacePath, const std::string& name,
                      Device* device) {
    std::unique_ptr<PlatformFile> file;
    const NtStatus status = platform.open(interfacePath + name, &file);
    if (!succeeded(status) || !file)
        return succeeded(status) ? kStatusUnsuccessful : status;
    device->close();
    device->path_ = interfacePath + name;
    device->file_ = std::move(file);
    return status;
}

Device Device::open(Platform& platform, const std::string& interfacePath, const std::string& name) {
    Device device;
    const NtStatus status = open(platform, interfacePath, name, &device);
    if (!succeeded(status))
        throw Error("open " + interfacePath + name, status);
    return device;
}

NtStatus Device::close() {
    if (!file_)
        return kStatusSuccess;
    const NtStatus status = file_->close();
    file_.reset();
    return status;
}

Completion Device::read(std::span<uint8_t> buffer) {
    if (!file_)
        return notOpen("read");
    if (buffer.size() > kMaxLength)
        return {kStatusInvalidParameter, 0, "read"};
    const IoCompletion io = file_->read(buffer.data(), static_cast<uint32_t>(buffer.size()));
    return {io.status, io.information, "read"};
}

Completion Device::write(std::span<const uint8_t> data) {
    if (!file_)
        return notOpen("write");
    if (data.size() > kMaxLength)
        return {kStatusInvalidParameter, 0, "write"};
    const IoCompletion io = file_->write(data.data(), static_cast<uint32_t>(data.size()));
    return {io.status, io.information, "write"};
}

AsyncTransfer Device::readAsync(size_t length) {
    AsyncTransfer transfer(Bytes(length), "read");
    if (file_ && length <= kMaxLength) {
        transfer.request_ = file_->readAsync(transfer.buffer_.data(),
                                             static_cast<uint32_t>(transfer.buffer_.size()));
    }
    return transfer;
}

AsyncTransfer Device::writeAsync(Bytes data) {
    AsyncTransfer transfer(std::move(data), "write");
    if (file_ && transfer.buffer_.size() <= kMaxLength) {
        transfer.request_ = file_->writeAsync(transfer.buffer_.data(),
                                              static_cast<uint32_t>(transfer.buffer_.size()));
    }
    return transfer;
}

Completion Device::call(const char* operation, uint32_t code, const void* input,
                        uint32_t inputLength, void* output, uint32_t outputLength) {
    if (!file_)
        return notOpen(operation);
    const IoCompletion io = file_->deviceIoControl(code, input, inputLength, output, outputLength);
    return {io.status, io.information, operation};
}

Reply<Bytes> Device::ioctl(uint32_t code, std::span<const uint8_t> input, uint32_t outputLength) {
    Reply<Bytes> reply;
    reply.value.resize(outputLength);
    if (input.size() > kMaxLength)
        return failed<Bytes>({kStatusInvalidParameter, 0, "ioctl"});
    static_cast<Completion&>(reply) =
        call("ioctl", code, input.data(), static_cast<uint32_t>(input.size()), reply.value.data(),
             outputLength);
    reply.value.resize(std::min<uint64_t>(reply.information, outputLength));
    return reply;
}

Reply<uint32_t> Device::value32(const char* operation, uint32_t code,
                                std::span<const uint8_t> input) {
    uint8_t out[4] = {};
    Reply<uint32_t> reply;
    static_cast<Completion&>(reply) =
        call(operation, code, input.data(), static_cast<uint32_t>(input.size()), out, sizeof out);
    if (reply.ok() && reply.information >= 4)
        reply.value = le32(out);
    return reply;
}

Reply<uint32_t> Device::driverVersion() {
    return value32("driver version", IOCTL_BULK_GET_DRIVER_VERSION, {});
}

Reply<uint32_t> Device::lastUsbdStatus() {
    return value32("last USBD status", IOCTL_BULK_GET_LAST_USBD_STATUS, {});
}

Reply<uint32_t> Device::reservedValue() {
    return value32("reserved value", IOCTL_BULK_GET_RESERVED_VALUE, {});
}

Reply<std::string> Device::banner() {
    std::string text(kBannerBuffer, '\0');
    Reply<std::string> reply;
    static_cast<Completion&>(reply) =
        call("banner", IOCTL_BULK_GET_BANNER, nullptr, 0, text.data(), kBannerBuffer);
    text.resize(std::min<uint64_t>(reply.information, kBannerBuffer));
    // The banner may end in line breaks; they are not part of the text.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    reply.value = std::move(text);
    return reply;
}

Reply<Bytes> Device::descriptor(uint8_t type, uint8_t index, uint16_t languageId, uint32_t length) {
    VAVEDU_GET_DESCRIPTOR_INPUT input{type, index, languageId};
    Reply<Bytes> reply;
    reply.value.resize(length);
    static_cast<Completion&>(reply) = call("descriptor", IOCTL_BULK_GET_DESCRIPTOR, &input,
                                           sizeof input, reply.value.data(), length);
    reply.value.resize(std::min<uint64_t>(reply.information, length));
    return reply;
}

Reply<DeviceDescriptor> Device::deviceDescriptor() {
    const Reply<Bytes> raw = descriptor(kDescriptorDevice, 0, 0, 18);
    Reply<DeviceDescriptor> reply = failed<DeviceDescriptor>(raw);
    reply.operation = "device descriptor";
    if (!raw.ok())
        return reply;
    if (auto parsed = parseDeviceDescriptor(raw.value)) {
        reply.value = *parsed;
    } else {
        reply.status = static_cast<NtStatus>(0xC0000182u);  // STATUS_DEVICE_CONFIGURATION_ERROR
    }
    return reply;
}

Reply<ConfigurationDescriptor> Device::configurationDescriptor(uint8_t index) {
    Reply<ConfigurationDescriptor> reply;
    const Reply<Bytes> head = descriptor(kDescriptorConfiguration, index, 0, 9);
    static_cast<Completion&>(reply) = head;
    reply.operation = "configuration descriptor";
    if (!head.ok())
        return reply;
    auto parsed = parseConfigurationDescriptor(head.value);
    if (parsed && parsed->totalLength > head.value.size()) {
        const Reply<Bytes> whole =
            descriptor(kDescriptorConfiguration, index, 0, parsed->totalLength);
        static_cast<Completion&>(reply) = whole;
        reply.operation = "configuration descriptor";
        if (!whole.ok())
            return reply;
        parsed = parseConfigurationDescriptor(whole.value);
    }
    if (parsed) {
        reply.value = std::move(*parsed);
    } else {
        reply.status = static_cast<NtStatus>(0xC0000182u);  // STATUS_DEVICE_CONFIGURATION_ERROR
    }
    return reply;
}

Reply<DescriptorSet> Device::descriptors() {
    Reply<DescriptorSet> reply;
    const Reply<Bytes> raw = descriptor(kDescriptorDevice, 0, 0, 18);
    static_cast<Completion&>(reply) = raw;
    reply.operation = "descriptors";
    if (!raw.ok())
        return reply;
    const auto device = parseDeviceDescriptor(raw.value);
    if (!device) {
        reply.status = static_cast<NtStatus>(0xC0000182u);
        return reply;
    }
    reply.value.device = *device;
    reply.value.deviceRaw = raw.value;
    uint64_t total = raw.information;
    for (unsigned i = 0; i < device->numConfigurations; ++i) {
        Reply<ConfigurationDescriptor> c = configurationDescriptor(static_cast<uint8_t>(i));
        if (!c.ok()) {
            static_cast<Completion&>(reply) = c;
            reply.operation = "descriptors";
            return reply;
        }
        total += c.information;
        reply.value.configurations.push_back(std::move(c.value));
    }
    reply.information = total;
    return reply;
}

Reply<std::string> Device::stringDescriptor(uint8_t index, uint16_t languageId) {
    const Reply<Bytes> raw = descriptor(kDescriptorString, index, languageId, 255);
    Reply<std::string> reply = failed<std::string>(raw);
    reply.operation = "string descriptor";
    if (!raw.ok())
        return reply;
    if (auto text = parseStringDescriptor(raw.value)) {
        reply.value = *text;
    } else {
        reply.status = static_cast<NtStatus>(0xC0000182u);
    }
    return reply;
}

Completion Device::selectConfiguration(uint8_t configurationValue) {
    return call("select configuration", IOCTL_BULK_SELECT_CONFIGURATION, &configurationValue, 1,
                nullptr, 0);
}

Completion Device::selectInterface(uint8_t interfaceNumber, uint8_t alternateSetting) {
    VAVEDU_SELECT_INTERFACE_INPUT input{interfaceNumber, alternateSetting};
    return call("select interface", IOCTL_BULK_SELECT_INTERFACE, &input, sizeof input, nullptr, 0);
}

Completion Device::resetPipe(uint8_t pipeIndex, uint8_t interfaceIndex) {
    VAVEDU_RESET_PIPE_INPUT input{pipeIndex, interfaceIndex, 0};
    return call("reset pipe", IOCTL_BULK_RESET_PIPE, &input, sizeof input, nullptr, 0);
}

Completion Device::resetPort() {
    return call("reset port", IOCTL_BULK_RESET_PORT, nullptr, 0, nullptr, 0);
}

Reply<bool> Device::setZeroLengthPackets(bool on) {
    const int32_t mode = on ? VAVEDU_ZLP_ON : VAVEDU_ZLP_OFF;
    uint8_t input[4];
    std::memcpy(input, &mode, sizeof input);
    const Reply<uint32_t> r =
        value32("zero-length packets", IOCTL_BULK_ZERO_LENGTH_PACKET_MODE, input);
    Reply<bool> reply = failed<bool>(r);
    reply.value = r.value != 0;
    return reply;
}

Reply<bool> Device::zeroLengthPackets() {
    const int32_t mode = VAVEDU_ZLP_QUERY;
    uint8_t input[4];
    std::memcpy(input, &mode, sizeof input);
    const Reply<uint32_t> r =
        value32("zero-length packets", IOCTL_BULK_ZERO_LENGTH_PACKET_MODE, input);
    Reply<bool> reply = failed<bool>(r);
    reply.value = r.value != 0;
    return reply;
}

Reply<UsbdiVersion> Device::usbdiVersion() {
    uint8_t out[8] = {};
    Reply<UsbdiVersion> reply;
    static_cast<Completion&>(reply) =
        call("USBDI version", IOCTL_BULK_GET_USBDI_VERSION, nullptr, 0, out, sizeof out);
    if (reply.ok() && reply.information >= 8) {
        reply.value.usbdiVersion = le32(out);
        reply.value.supportedUsbVersion = le32(out + 4);
    }
    return reply;
}

Reply<Bytes> Device::controlTransfer(const SETUP_PACKET& setup, std::span<const uint8_t> data) {
    Reply<Bytes> reply;
    static_cast<Completion&>(reply) =
        call("set setup packet", IOCTL_BULK_SET_SETUP_PACKET, &setup, sizeof setup, nullptr, 0);
    if (!reply.ok())
        return reply;
    const bool in = (setup.bmRequestType & 0x80) != 0;
    if (in) {
        reply.value.resize(setup.wLength);
        static_cast<Completion&>(reply) = call("control transfer", IOCTL_BULK_CONTROL_TRANSFER,
                                               nullptr, 0, reply.value.data(), setup.wLength);
        reply.value.resize(std::min<uint64_t>(reply.information, setup.wLength));
    } else {
        if (data.size() > kMaxLength)
            return failed<Bytes>({kStatusInvalidParameter, 0, "control"});
        static_cast<Completion&>(reply) =
            call("control transfer", IOCTL_BULK_CONTROL_TRANSFER, data.data(),
                 static_cast<uint32_t>(data.size()), nullptr, 0);
    }
    return reply;
}

Reply<uint8_t> Device::configuration() {
    const Reply<Bytes> r = controlTransfer(makeSetupPacket(0x80, 8, 0, 0, 1));
    Reply<uint8_t> reply = failed<uint8_t>(r);
    reply.operation = "get configuration";
    if (reply.ok() && !r.value.empty())
        reply.value = r.value[0];
    return reply;
}

Reply<uint8_t> Device::alternateSetting(uint8_t interfaceNumber) {
    const Reply<Bytes> r = controlTransfer(makeSetupPacket(0x81, 10, 0, interfaceNumber, 1));
    Reply<uint8_t> reply = failed<uint8_t>(r);
    reply.operation = "get interface";
    if (reply.ok() && !r.value.empty())
        reply.value = r.value[0];
    return reply;
}

std::vector<std::string> findInstruments(Platform& platform) {
    return platform.interfacePaths();
}

}  // namespace vavedu
