// The client's platform on Windows: SetupDi enumeration of the driver's interface class, and
// CreateFileW, ReadFile, WriteFile, DeviceIoControl, CancelIoEx and GetOverlappedResult on the
// handle.
//
// Every handle is opened for overlapped I/O and every request, synchronous ones too, runs with
// its own OVERLAPPED: when a request pends, its Internal and InternalHigh fields receive the
// driver's own NTSTATUS and byte count, so no status goes through the Win32 error table. A request
// that fails at once reports only a Win32 error; the status the failing native call returned is
// then taken from the thread (RtlGetLastNtStatus) when it matches that error, else from a table,
// else kept as the Win32 error in NTSTATUS form (0xC007xxxx, its low 16 bits the raw error).
#include "client/platform.hpp"

#include "pcdriver/bulk/vavedu_ioctl.h"

#include <windows.h>

#include <setupapi.h>

#include <algorithm>
#include <utility>

// ntdll.dll's: the status of the last native call of this thread, and the Win32 error it maps to
// (an NTSTATUS is a LONG).
extern "C" {
LONG NTAPI RtlGetLastNtStatus(VOID);
ULONG NTAPI RtlNtStatusToDosError(LONG Status);
}

namespace vavedu {

namespace {

constexpr NtStatus kStatusBufferOverflow = static_cast<NtStatus>(0x80000005u);

struct Win32Error {
    DWORD error;
    NtStatus status;
};

// The statuses the driver and the I/O manager give that Windows reports as these Win32 errors.
constexpr Win32Error kErrorTable[] = {
    {ERROR_FILE_NOT_FOUND, kStatusObjectNameNotFound},
    {ERROR_PATH_NOT_FOUND, static_cast<NtStatus>(0xC000003Au)},  // OBJECT_PATH_NOT_FOUND
    {ERROR_ACCESS_DENIED, static_cast<NtStatus>(0xC0000022u)},
    {ERROR_INVALID_HANDLE, static_cast<NtStatus>(0xC0000008u)},
    {ERROR_INVALID_FUNCTION, static_cast<NtStatus>(0xC0000010u)},  // INVALID_DEVICE_REQUEST
    {ERROR_INVALID_PARAMETER, kStatusInvalidParameter},
    {ERROR_INSUFFICIENT_BUFFER, static_cast<NtStatus>(0xC0000023u)},  // BUFFER_TOO_SMALL
    {ERROR_INVALID_USER_BUFFER, kStatusInvalidBufferSize},
    {ERROR_MORE_DATA, kStatusBufferOverflow},
    {ERROR_OPERATION_ABORTED, kStatusCancelled},
    {ERROR_GEN_FAILURE, kStatusUnsuccessful},
    {ERROR_NOT_SUPPORTED, static_cast<NtStatus>(0xC00000BBu)},
    {ERROR_BUSY, static_cast<NtStatus>(0xC00000AEu)},  // PIPE_BUSY
    {ERROR_DEVICE_NOT_CONNECTED, static_cast<NtStatus>(0xC000009Du)},
    {ERROR_DEV_NOT_EXIST, kStatusNoSuchDevice},
    {ERROR_NO_SYSTEM_RESOURCES, static_cast<NtStatus>(0xC000009Au)},  // INSUFFICIENT_RESOURCES
    {ERROR_NOT_ENOUGH_MEMORY, static_cast<NtStatus>(0xC0000017u)},    // NO_MEMORY
    {ERROR_SEM_TIMEOUT, static_cast<NtStatus>(0xC00000B5u)},          // IO_TIMEOUT
    {ERROR_CRC, static_cast<NtStatus>(0xC000009Cu)},                  // DEVICE_DATA_ERROR
};

// The NTSTATUS behind the Win32 error `error` the last call of this thread failed with.
NtStatus statusOfError(DWORD error) {
    const LONG last = RtlGetLastNtStatus();
    if (last != 0 && RtlNtStatusToDosError(last) == error)
        return static_cast<NtStatus>(last);
    for (const Win32Error& entry : kErrorTable) {
        if (entry.error == error)
            return entry.status;
    }
    return static_cast<NtStatus>(0xC0070000u | (error & 0xFFFFu));
}

std::wstring toWide(const std::string& text) {
    if (text.empty())
        return {};
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(std::max(length, 0)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
    return wide;
}

std::string toUtf8(const wchar_t* text) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1)
        return {};
    std::string utf8(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), length, nullptr, nullptr);
    utf8.resize(static_cast<size_t>(length - 1));
    return utf8;
}

// One read, write or device-control request with its OVERLAPPED and event.
class Win32Request final : public PlatformRequest {
  public:
    explicit Win32Request(HANDLE file) : file_(file) {
        overlapped_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (overlapped_.hEvent == nullptr)
            finish({statusOfError(GetLastError()), 0});
    }
    ~Win32Request() override {
        if (!result_)
            wait();
        if (overlapped_.hEvent != nullptr)
            CloseHandle(overlapped_.hEvent);
    }
    Win32Request(const Win32Request&) = delete;
    Win32Request& operator=(const Win32Request&) = delete;

    OVERLAPPED* overlapped() { return &overlapped_; }
    bool ready() const { return !result_; }

    // What ReadFile, WriteFile or DeviceIoControl returned for this request.
    void started(BOOL done) {
        if (done)
            return finishFromOverlapped();
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING)
            return;
        const NtStatus status = statusOfError(error);
        // A warning (a buffer too small for all the data) still moved bytes and set the
        // status block; an error completed nothing.
        const bool failed = (static_cast<uint32_t>(status) >> 30) == 3;
        if (failed)
            return finish({status, 0});
        finish({status, static_cast<uint64_t>(overlapped_.InternalHigh)});
    }

    bool completed() const override {
        return result_.has_value() || HasOverlappedIoCompleted(&overlapped_);
    }
    IoCompletion wait() override {
        if (!result_) {
            DWORD bytes = 0;
            GetOverlappedResult(file_, &overlapped_, &bytes, TRUE);
            finishFromOverlapped();
        }
        return *result_;
    }
    std::optional<IoCompletion> waitFor(std::chrono::milliseconds timeout) override {
        if (result_)
            return result_;
        const auto ms = std::clamp<long long>(timeout.count(), 0, INFINITE - 1);
        if (WaitForSingleObject(overlapped_.hEvent, static_cast<DWORD>(ms)) == WAIT_TIMEOUT)
            return std::nullopt;
        return wait();
    }
    bool cancel() override {
        if (result_)
            return false;
        return CancelIoEx(file_, &overlapped_) != FALSE;
    }

  private:
    void finish(IoCompletion completion) { result_ = completion; }
    void finishFromOverlapped() {
        finish({static_cast<NtStatus>(overlapped_.Internal),
                static_cast<uint64_t>(overlapped_.InternalHigh)});
    }

    HANDLE file_;
    OVERLAPPED overlapped_{};
    std::optional<IoCompletion> result_;
};

class Win32File final : public PlatformFile {
  public:
    explicit Win32File(HANDLE handle) : handle_(handle) {}
    ~Win32File() override { close(); }
    Win32File(const Win32File&) = delete;
    Win32File& operator=(const Win32File&) = delete;

    IoCompletion read(void* buffer, uint32_t length) override {
        return readAsync(buffer, length)->wait();
    }
    IoCompletion write(const void* buffer, uint32_t length) override {
        return writeAsync(buffer, length)->wait();
    }
    IoCompletion deviceIoControl(uint32_t code, const void* input, uint32_t inputLength,
                                 void* output, uint32_t outputLength) override {
        auto request = std::make_unique<Win32Request>(handle_);
        if (request->ready()) {
            request->started(DeviceIoControl(handle_, code, const_cast<void*>(input), inputLength,
                                             output, outputLength, nullptr, request->overlapped()));
        }
        return request->wait();
    }
    std::unique_ptr<PlatformRequest> readAsync(void* buffer, uint32_t length) override {
        auto request = std::make_unique<Win32Request>(handle_);
        if (request->ready())
            request->started(ReadFile(handle_, buffer, length, nullptr, request->overlapped()));
        return request;
    }
    std::unique_ptr<PlatformRequest> writeAsync(const void* buffer, uint32_t length) override {
        auto request = std::make_unique<Win32Request>(handle_);
        if (request->ready())
            request->started(WriteFile(handle_, buffer, length, nullptr, request->overlapped()));
        return request;
    }
    NtStatus close() override {
        if (handle_ == INVALID_HANDLE_VALUE)
            return kStatusSuccess;
        const HANDLE handle = std::exchange(handle_, INVALID_HANDLE_VALUE);
        return CloseHandle(handle) ? kStatusSuccess : statusOfError(GetLastError());
    }

  private:
    HANDLE handle_;
};

// A device information set of the present interfaces of one class, destroyed with its owner.
class InterfaceSet {
  public:
    explicit InterfaceSet(const GUID& guid)
        : guid_(guid),
          set_(SetupDiGetClassDevsW(&guid_, nullptr, nullptr,
                                    DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {}
    ~InterfaceSet() {
        if (set_ != INVALID_HANDLE_VALUE)
            SetupDiDestroyDeviceInfoList(set_);
    }
    InterfaceSet(const InterfaceSet&) = delete;
    InterfaceSet& operator=(const InterfaceSet&) = delete;

    std::vector<std::string> paths() {
        std::vector<std::string> result;
        if (set_ == INVALID_HANDLE_VALUE)
            return result;
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set_, nullptr, &guid_, index, &data);
             ++index) {
            if (std::string path = pathOf(data); !path.empty())
                result.push_back(std::move(path));
        }
        return result;
    }

  private:
    std::string pathOf(SP_DEVICE_INTERFACE_DATA& data) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set_, &data, nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
            return {};
        // The detail record is a header followed by the path; keep it aligned for the header.
        std::vector<uint64_t> storage((size + sizeof(uint64_t) - 1) / sizeof(uint64_t));
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!SetupDiGetDeviceInterfaceDetailW(set_, &data, detail, size, nullptr, nullptr))
            return {};
        return toUtf8(detail->DevicePath);
    }

    GUID guid_;
    HDEVINFO set_;
};

class Win32Platform final : public Platform {
  public:
    std::vector<std::string> interfacePaths() override {
        const GUID guid = VAVEDU_INTERFACE_GUID_INIT;
        return InterfaceSet(guid).paths();
    }
    NtStatus open(const std::string& path, std::unique_ptr<PlatformFile>* file) override {
        const HANDLE handle = CreateFileW(toWide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (handle == INVALID_HANDLE_VALUE)
            return statusOfError(GetLastError());
        *file = std::make_unique<Win32File>(handle);
        return kStatusSuccess;
    }
};

}  // namespace

std::unique_ptr<Platform> win32Platform() {
    return std::make_unique<Win32Platform>();
}

}  // namespace vavedu
