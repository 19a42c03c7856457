// The few calls the client library needs from the operating system, behind one small interface:
// enumerate the driver's device interfaces, open a path, and read, write and device I/O control
// on a handle, synchronously or asynchronously with cancel. platform_model.cpp implements it
// with the model's application calls on Linux; platform_win32.cpp implements it with
// SetupDi enumeration, CreateFileW, ReadFile, WriteFile, DeviceIoControl and CancelIoEx.
#pragma once

#include "client/status.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {
class System;
}

namespace vavedu {

// The outcome of one request: its NTSTATUS and byte count (IO_STATUS_BLOCK).
struct IoCompletion {
    NtStatus status = kStatusSuccess;
    uint64_t information = 0;
    bool ok() const { return succeeded(status); }
};

// A request in flight. Destroying it waits for its completion: the buffers it uses must outlive
// it, and a request is never abandoned.
class PlatformRequest {
  public:
    virtual ~PlatformRequest() = default;
    virtual bool completed() const = 0;
    virtual IoCompletion wait() = 0;
    virtual std::optional<IoCompletion> waitFor(std::chrono::milliseconds timeout) = 0;
    virtual bool cancel() = 0;  // true when the request was found and asked to cancel
};

// An open handle; closing it (on destruction) sends cleanup and close to the driver.
class PlatformFile {
  public:
    virtual ~PlatformFile() = default;
    virtual IoCompletion read(void* buffer, uint32_t length) = 0;
    virtual IoCompletion write(const void* buffer, uint32_t length) = 0;
    virtual IoCompletion deviceIoControl(uint32_t code, const void* input, uint32_t inputLength,
                                         void* output, uint32_t outputLength) = 0;
    virtual std::unique_ptr<PlatformRequest> readAsync(void* buffer, uint32_t length) = 0;
    virtual std::unique_ptr<PlatformRequest> writeAsync(const void* buffer, uint32_t length) = 0;
    virtual NtStatus close() = 0;
};

class Platform {
  public:
    virtual ~Platform() = default;
    // The paths of the enabled device interfaces of the driver's class, UTF-8.
    virtual std::vector<std::string> interfacePaths() = 0;
    // Opens `path` (an interface path followed by an optional name such as "\PIPE_1").
    virtual NtStatus open(const std::string& path, std::unique_ptr<PlatformFile>* file) = 0;
};

// The model's application calls on one machine of the model (Linux). The System must outlive
// the platform and every handle opened through it.
std::unique_ptr<Platform> modelPlatform(sim::System& system);
// The operating system's own calls (Windows).
std::unique_ptr<Platform> win32Platform();

}  // namespace vavedu
