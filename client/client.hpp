// The client library of the instrument: find instruments, open the device or one of its pipes,
// move bulk data (synchronously, or asynchronously with cancel) and one typed call per
// device-control request of the driver. Every call reports the NTSTATUS and byte count the driver
// completed it with; `get()` turns a failure into an Error carrying the status and its name.
#pragma once

#include "client/descriptors.hpp"
#include "client/platform.hpp"
#include "client/status.hpp"
#include "pcdriver/bulk/vavedu_ioctl.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vavedu {

class Error : public std::runtime_error {
  public:
    Error(std::string operation, NtStatus status);
    NtStatus status() const { return status_; }
    const std::string& operation() const { return operation_; }

  private:
    std::string operation_;
    NtStatus status_;
};

// The outcome of a call: the status and byte count of the request that carried it out (the
// first one that failed, for calls made of several requests).
struct Completion {
    NtStatus status = kStatusSuccess;
    uint64_t information = 0;
    const char* operation = "";
    bool ok() const { return succeeded(status); }
    std::string statusName() const { return ntStatusText(status); }
    void check() const;  // throws Error when the call failed
};

template <class T>
struct Reply : Completion {
    T value{};
    const T& get() const {
        check();
        return value;
    }
};

struct UsbdiVersion {
    uint32_t usbdiVersion = 0;         // the USB driver interface's version
    uint32_t supportedUsbVersion = 0;  // BCD, 0x200 for USB 2.0
};

// The device-control codes by name, for tools: "IOCTL_BULK_GET_BANNER".
struct IoctlInfo {
    uint32_t code;
    const char* name;
};
const std::vector<IoctlInfo>& ioctlTable();
const char* ioctlName(uint32_t code);  // null for a code the driver does not define
// A code by its full name, its name without "IOCTL_BULK_" (any case, '-' for '_'), or a number.
std::optional<uint32_t> parseIoctl(std::string_view text);

// The file name that opens pipe `pipe` of interface `interface`: "\PIPE_1", "\PIPE_2\INTERFACE_1".
std::string pipeName(unsigned pipe, std::optional<unsigned> interface = std::nullopt);

SETUP_PACKET makeSetupPacket(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                             uint16_t length);

// A read or write in flight. It owns its buffer; destroying it waits for the request to finish
// (cancel it first to make that quick).
class AsyncTransfer {
  public:
    AsyncTransfer() = default;
    AsyncTransfer(AsyncTransfer&&) noexcept = default;
    AsyncTransfer& operator=(AsyncTransfer&&) noexcept = default;
    ~AsyncTransfer() = default;

    bool valid() const { return request_ != nullptr; }
    bool completed() const;
    Completion wait();
    std::optional<Completion> waitFor(std::chrono::milliseconds timeout);
    bool cancel();
    // The buffer: for a read, the first `information` bytes are what came.
    const Bytes& data() const { return buffer_; }

  private:
    friend class Device;
    AsyncTransfer(Bytes buffer, const char* operation)
        : buffer_(std::move(buffer)), operation_(operation) {}
    Bytes buffer_;  // declared before the request, so the request goes (and waits) first
    const char* operation_ = "";
    std::unique_ptr<PlatformRequest> request_;
};

// A handle on the instrument: the device itself (no name) or one pipe (a name such as
// "\PIPE_1\INTERFACE_0"). Device-control calls work on any handle.
class Device {
  public:
    Device() = default;
    Device(Device&&) noexcept = default;
    Device& operator=(Device&&) noexcept = default;
    ~Device();

    // Opens `interfacePath` followed by `name`; the status of the open.
    static NtStatus open(Platform& platform, const std::string& interfacePath,
                         const std::string& name, Device* device);
    // The same, throwing Error on failure.
    static Device open(Platform& platform, const std::string& interfacePath,
                       const std::string& name = "");

    bool valid() const { return file_ != nullptr; }
    const std::string& path() const { return path_; }
    NtStatus close();

    // ---- bulk data on the handle's pipe
    Completion read(std::span<uint8_t> buffer);
    Completion write(std::span<const uint8_t> data);
    AsyncTransfer readAsync(size_t length);
    AsyncTransfer writeAsync(Bytes data);

    // ---- device control
    // Any code with raw bytes in and an output buffer of `outputLength`; the value is the
    // output's first `information` bytes.
    Reply<Bytes> ioctl(uint32_t code, std::span<const uint8_t> input, uint32_t outputLength);
    Reply<uint32_t> driverVersion();  // major << 16 | minor
    Reply<std::string> banner();
    Reply<Bytes> descriptor(uint8_t type, uint8_t index, uint16_t languageId, uint32_t length);
    Reply<DeviceDescriptor> deviceDescriptor();
    // Configuration `index` (0-based): its 9-byte head first, then the whole set.
    Reply<ConfigurationDescriptor> configurationDescriptor(uint8_t index);
    // The device descriptor and every configuration it announces.
    Reply<DescriptorSet> descriptors();
    Reply<std::string> stringDescriptor(uint8_t index, uint16_t languageId = 0x0409);
    Reply<uint32_t> lastUsbdStatus();
    Completion selectConfiguration(uint8_t configurationValue);  // 0 unconfigures
    Completion selectInterface(uint8_t interfaceNumber, uint8_t alternateSetting);
    Completion resetPipe(uint8_t pipeIndex, uint8_t interfaceIndex);
    Completion resetPort();
    // Zero-length packets at the end of OUT transfers that are a multiple of the packet size.
    Reply<bool> setZeroLengthPackets(bool on);  // the mode afterwards
    Reply<bool> zeroLengthPackets();
    Reply<UsbdiVersion> usbdiVersion();
    Reply<uint32_t> reservedValue();
    // One control transfer on the default pipe: stores the setup packet, then runs it. An IN
    // packet reads wLength bytes (the value holds what came); an OUT packet sends `data`.
    Reply<Bytes> controlTransfer(const SETUP_PACKET& setup, std::span<const uint8_t> data = {});
    // Standard requests through controlTransfer: the device's bConfigurationValue and an
    // interface's current alternate setting.
    Reply<uint8_t> configuration();
    Reply<uint8_t> alternateSetting(uint8_t interfaceNumber);

  private:
    Completion call(const char* operation, uint32_t code, const void* input, uint32_t inputLength,
                    void* output, uint32_t outputLength);
    // A request whose output is one 32-bit value.
    Reply<uint32_t> value32(const char* operation, uint32_t code, std::span<const uint8_t> input);

    std::string path_;
    std::unique_ptr<PlatformFile> file_;
};

// The interface paths of every instrument present.
std::vector<std::string> findInstruments(Platform& platform);

}  // namespace vavedu
