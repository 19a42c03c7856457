// One machine of the model: a fresh kernel, its registry, the kernel images loaded into it, the
// Plug and Play manager's side and the application calls. One System per test.
#pragma once

#include "sim/kernel/kernel.hpp"

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
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
    LoadedImage(const LoadedImage&) = delete;
    LoadedImage& operator=(const LoadedImage&) = delete;
    // The address of an exported symbol; throws std::runtime_error naming the image when missing.
    void* symbol(const char* name) const;
    void* findSymbol(const char* name) const;   // null when missing
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

class System;

// A bus driver of the model (the USB bus, or a test's own PDO driver). The System owns it, so it
// goes only after every device on it has been removed and before the kernel ends.
class Bus {
  public:
    virtual ~Bus() = default;
    // Called after IRP_MN_REMOVE_DEVICE has gone through the whole stack of `pdo` (which may
    // belong to another bus): every driver above has detached, so a bus whose device has left
    // deletes its physical device object now.
    virtual void removed(PDEVICE_OBJECT pdo) { (void)pdo; }

  protected:
    // The machine whose Plug and Play manager the bus reports to (set by System::addBus); null
    // for a bus on its own.
    System* machine() const { return machine_; }

  private:
    friend class System;
    System* machine_ = nullptr;
};

// Where a device node stands. AddFailed: AddDevice failed, only the physical device object is
// left (removal still sends it IRP_MN_REMOVE_DEVICE). StartFailed: IRP_MN_START_DEVICE failed;
// removal sends IRP_MN_REMOVE_DEVICE without a query, as the platform does.
enum class DeviceState {
    Added,
    Started,
    StopPending,
    Stopped,
    RemovePending,
    SurpriseRemoved,
    Removed,
    StartFailed,
    AddFailed
};
const char* toString(DeviceState state);

class System {
  public:
    explicit System(SystemOptions options = {});
    // Removes every device still present, unloads the driver, then checks the kernel: leaks or
    // a held lock fail the test (GoogleTest ADD_FAILURE when running under it, else abort).
    ~System();
    // What the destructor does, on demand: removes every device still present (surprise removal,
    // then removal), unloads the driver, destroys the buses and returns the kernel's findings
    // (empty when clean) instead of reporting them. Afterwards only kernel() may be used.
    std::string shutdown();
    System(const System&) = delete;
    System& operator=(const System&) = delete;

    Kernel& kernel() { return kernel_; }
    Registry& registry() { return kernel_.registry(); }

    // ---- the function driver
    // The service key of a driver named `service`:
    // "\Registry\Machine\System\CurrentControlSet\Services\<service>".
    static std::u16string serviceKeyPath(std::u16string_view service);
    // Loads the image, makes its driver object and calls DriverEntry with the service key path.
    // A failing DriverEntry unloads the image again and returns the status. Throws
    // std::runtime_error when the image cannot be loaded or has no DriverEntry, and
    // std::logic_error when a driver is loaded already.
    NTSTATUS loadDriver(const std::filesystem::path& image, std::u16string_view service);
    // DriverUnload, then the driver object goes and the image is unloaded. Every device of the
    // driver must have been removed first (bug check otherwise).
    void unloadDriver();
    PDRIVER_OBJECT driverObject() const;
    bool driverLoaded() const;

    // ---- buses
    template <class T>
    T& addBus(std::unique_ptr<T> bus) {
        T& ref = *bus;
        static_cast<Bus&>(ref).machine_ = this;
        buses_.push_back(std::move(bus));
        return ref;
    }

    // ---- Plug and Play
    // A physical device object of a bus joins the machine: AddDevice of the loaded driver, then
    // IRP_MN_START_DEVICE. Returns the node's index; the status of each step is kept. The
    // System holds a reference on the physical device object until the node is removed.
    // Operations on a node in a state that does not allow them throw std::logic_error.
    int plugIn(PDEVICE_OBJECT pdo);
    NTSTATUS addDevice(PDEVICE_OBJECT pdo, int* node);  // AddDevice only
    NTSTATUS start(int node);                           // IRP_MN_START_DEVICE
    NTSTATUS stop(int node);  // query-stop, then stop (cancel-stop when refused)
    NTSTATUS queryStop(int node);
    NTSTATUS cancelStop(int node);
    NTSTATUS queryRemove(int node);
    NTSTATUS cancelRemove(int node);
    NTSTATUS surpriseRemove(int node);  // IRP_MN_SURPRISE_REMOVAL
    NTSTATUS remove(int node);          // query-remove (unless surprise-removed), then remove
    // One request to the top of the stack; the node's state follows the minor function's
    // outcome (a successful IRP_MN_QUERY_STOP_DEVICE makes it StopPending, and so on).
    NTSTATUS sendPnp(int node, UCHAR minorFunction);
    NTSTATUS sendPower(int node, UCHAR minorFunction, POWER_STATE_TYPE type, POWER_STATE state);
    DeviceState state(int node) const;
    PDEVICE_OBJECT pdo(int node) const;
    PDEVICE_OBJECT functionalDevice(int node) const;  // the device the driver attached
    NTSTATUS lastStartStatus(int node) const;
    NTSTATUS lastAddStatus(int node) const;
    int nodeCount() const;
    // The node of a physical device object (the newest one when it had several); -1 when none.
    int nodeOf(PDEVICE_OBJECT pdo) const;

    // ---- re-enumeration, on the Plug and Play manager's own thread
    // A device left its port and comes back as another device (a bus reports it for a port
    // cycle, as a hub driver invalidates its bus relations). After the caller returned, on the
    // Plug and Play manager's own thread: the node of `departed` gets a surprise removal (when it
    // was started) and a removal; then `enumerate` gives the device's new physical device object
    // (null: it did not come back), which gets AddDevice and start when `departed` had a node.
    void reenumerate(PDEVICE_OBJECT departed, std::function<PDEVICE_OBJECT()> enumerate);
    // Waits until the Plug and Play manager's thread has nothing left to do; false on time-out.
    // Every operation on a node above waits so first (unless the thread itself asks for it).
    bool waitForPlugAndPlay(std::chrono::milliseconds timeout = std::chrono::seconds(30));

    // ---- applications
    // The symbolic links of the enabled device interfaces of a class, as applications see them.
    // Both wait first for Plug and Play work under way (a re-enumeration), as an application
    // that waits for its device to come back.
    std::vector<std::u16string> interfacePaths(const GUID& interfaceClass);
    // Opens "<interface path><suffix>": the longest enabled interface path that is a prefix of
    // `path` (case-insensitively, ending at a backslash or the end) is resolved to its device
    // stack and the rest ("\PIPE_1") reaches IRP_MJ_CREATE as the file name. An unknown path
    // gives STATUS_OBJECT_NAME_NOT_FOUND.
    NTSTATUS open(std::u16string_view path, Handle* handle);
    Handle open(std::u16string_view path);  // throws std::runtime_error on failure

  private:
    struct Node;
    struct PlugAndPlayThread;
    Node& node(int index, const char* operation);
    const Node& node(int index) const;
    NTSTATUS callPnp(Node& node, UCHAR minorFunction);
    void removeNodeOf(PDEVICE_OBJECT departed, bool* hadNode);
    void removeAllDevices();
    void destroyBuses();
    void stopPlugAndPlay();
    bool onPlugAndPlayThread() const;

    Kernel kernel_;
    // Held by a re-enumeration on the Plug and Play thread and by AddDevice, which adds a node:
    // no two threads add nodes at once. The other operations keep the model's old freedom (tests
    // send power and Plug and Play requests while another thread's removal waits for them).
    mutable std::recursive_mutex nodesMutex_;
    std::unique_ptr<PlugAndPlayThread> pnpThread_;
    bool shutDown_ = false;
    std::unique_ptr<LoadedImage> image_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<std::unique_ptr<Bus>> buses_;
    std::vector<std::unique_ptr<Node>> nodes_;
};

}  // namespace sim
