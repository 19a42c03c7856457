// One machine of the model: a fresh kernel, its registry, the kernel images loaded into it, the
// Plug and Play manager's side and the application calls. One System per test.
#pragma once

#include "sim/kernel/kernel.hpp"

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Where the build put the host kernel images (libVaVedu.so, libZaDar.so, test images).
std::filesystem::path imageDirectory();

struct SystemOptions {
    KernelOptions kernel;
};

// A kernel image loaded from a fresh copy, so that its globals start fresh at every load.
class LoadedImage {
public:
    ~LoadedImage();  // dlclose; checks that the copy (and its companions) really went away
    void* symbol(const char* name) const;
    const std::filesystem::path& path() const;  // the copy that was loaded

    struct Impl;
    explicit LoadedImage(std::unique_ptr<Impl> impl);

private:
    std::unique_ptr<Impl> impl_;
};

// Loads `image` (a path) after copying it, with the kernel images it needs from the same
// directory (its DT_NEEDED entries found there, such as libZaDar.so), into a new temporary
// directory. Throws std::runtime_error when the image cannot be loaded or a symbol is missing.
std::unique_ptr<LoadedImage> loadKernelImage(const std::filesystem::path& image);

// Result of an application call, as the Win32 call would report it: the NTSTATUS and the byte
// count (IO_STATUS_BLOCK.Information).
struct AppResult {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    bool ok() const { return status >= 0; }
};

// An open handle of an application: a file object on a device stack. Closing (explicitly or on
// destruction) sends IRP_MJ_CLEANUP and IRP_MJ_CLOSE.
class Handle {
public:
    Handle() = default;
    Handle(Kernel& kernel, PFILE_OBJECT file);
    Handle(Handle&& other) noexcept;
    Handle& operator=(Handle&& other) noexcept;
    ~Handle();

    bool valid() const { return file_ != nullptr; }
    PFILE_OBJECT fileObject() const { return file_; }

    AppResult read(void* buffer, ULONG length);
    AppResult write(const void* buffer, ULONG length);
    AppResult deviceIoControl(ULONG code, const void* input, ULONG inputLength, void* output,
                              ULONG outputLength);
    std::unique_ptr<UserRequest> readAsync(void* buffer, ULONG length);
    std::unique_ptr<UserRequest> writeAsync(const void* buffer, ULONG length);
    std::unique_ptr<UserRequest> deviceIoControlAsync(ULONG code, const void* input,
                                                      ULONG inputLength, void* output,
                                                      ULONG outputLength);
    NTSTATUS close();  // the cleanup's status; the handle is invalid afterwards

private:
    Kernel* kernel_ = nullptr;
    PFILE_OBJECT file_ = nullptr;
};

// A device node of the Plug and Play manager: a physical device object and the stack the
// function driver built on it.
// A bus driver of the model (the USB bus, or a test's own PDO driver). The System owns it, so it
// goes only after every device on it has been removed and before the kernel ends.
class Bus {
public:
    virtual ~Bus() = default;
};

enum class DeviceState { Added, Started, StopPending, Stopped, RemovePending, SurpriseRemoved,
                         Removed, StartFailed };

class System {
public:
    explicit System(SystemOptions options = {});
    // Removes every device still present, unloads the driver, then checks the kernel: leaks or
    // a held lock fail the test (GoogleTest ADD_FAILURE when running under it, else abort).
    ~System();
    System(const System&) = delete;
    System& operator=(const System&) = delete;

    Kernel& kernel() { return kernel_; }
    Registry& registry() { return kernel_.registry(); }

    // ---- the function driver
    // The service key of a driver named `service`:
    // "\Registry\Machine\System\CurrentControlSet\Services\<service>".
    static std::u16string serviceKeyPath(std::u16string_view service);
    // Loads the image, makes its driver object and calls DriverEntry with the service key path.
    // A failing DriverEntry unloads the image again and returns the status.
    NTSTATUS loadDriver(const std::filesystem::path& image, std::u16string_view service);
    // DriverUnload, then the driver object goes and the image is unloaded. Every device of the
    // driver must have been removed first.
    void unloadDriver();
    PDRIVER_OBJECT driverObject() const;
    bool driverLoaded() const;

    // ---- buses
    template <class T>
    T& addBus(std::unique_ptr<T> bus) {
        T& ref = *bus;
        buses_.push_back(std::move(bus));
        return ref;
    }

    // ---- Plug and Play
    // A physical device object of a bus joins the machine: AddDevice of the loaded driver, then
    // IRP_MN_START_DEVICE. Returns the node's index; the status of each step is kept.
    int plugIn(PDEVICE_OBJECT pdo);
    NTSTATUS addDevice(PDEVICE_OBJECT pdo, int* node);  // AddDevice only
    NTSTATUS start(int node);                           // IRP_MN_START_DEVICE
    NTSTATUS stop(int node);             // query-stop, then stop (cancel-stop when refused)
    NTSTATUS queryStop(int node);
    NTSTATUS cancelStop(int node);
    NTSTATUS queryRemove(int node);
    NTSTATUS cancelRemove(int node);
    NTSTATUS surpriseRemove(int node);   // IRP_MN_SURPRISE_REMOVAL
    NTSTATUS remove(int node);           // query-remove (unless surprise-removed), then remove
    NTSTATUS sendPnp(int node, UCHAR minorFunction);  // one request to the top of the stack
    NTSTATUS sendPower(int node, UCHAR minorFunction, POWER_STATE_TYPE type, POWER_STATE state);
    DeviceState state(int node) const;
    PDEVICE_OBJECT pdo(int node) const;
    PDEVICE_OBJECT functionalDevice(int node) const;  // the device the driver attached
    NTSTATUS lastStartStatus(int node) const;

    // ---- applications
    // The symbolic links of the enabled device interfaces of a class, as applications see them.
    std::vector<std::u16string> interfacePaths(const GUID& interfaceClass) const;
    // Opens "<interface path><suffix>": the interface path is resolved to its device stack and
    // the rest reaches IRP_MJ_CREATE as the file name.
    NTSTATUS open(std::u16string_view path, Handle* handle);
    Handle open(std::u16string_view path);  // throws std::runtime_error on failure

private:
    struct Node;
    Kernel kernel_;
    std::unique_ptr<LoadedImage> image_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<std::unique_ptr<Bus>> buses_;
    std::vector<std::unique_ptr<Node>> nodes_;
};

}  // namespace sim
