// A bus of the tests' own: a tiny PDO driver that makes physical device objects for function
// drivers to attach to, without the USB bus. It answers the physical device object's Plug and
// Play and power requests as a well-behaved bus driver does, and hands internal device control
// requests to a handler the test chooses.
//
//   auto& bus = system.addBus(std::make_unique<sim::TestBus>(system.kernel()));
//   int node = system.plugIn(bus.createDevice());
#pragma once

#include "sim/system/system.hpp"

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

class TestBus : public Bus {
  public:
    // Handles an IRP_MJ_INTERNAL_DEVICE_CONTROL request that reached a device of the bus. The
    // returned status completes the request (with the Information the handler set), except
    // STATUS_PENDING: then the handler has marked the request pending and completes it itself.
    using InternalControlHandler = std::function<NTSTATUS(PDEVICE_OBJECT pdo, PIRP irp)>;

    // A request that reached a physical device object: major and minor function.
    struct Request {
        UCHAR major;
        UCHAR minor;
        bool operator==(const Request&) const = default;
    };

    explicit TestBus(Kernel& kernel, std::u16string_view name = u"TestBus");
    ~TestBus() override;  // deletes the physical device objects still present
    TestBus(const TestBus&) = delete;
    TestBus& operator=(const TestBus&) = delete;

    // A new physical device object, instance path "TEST\DEVICE\<n>". Throws std::runtime_error
    // when IoCreateDevice fails (for example under a fault policy).
    PDEVICE_OBJECT createDevice();
    // The device has left the bus: from now on its removal deletes its physical device object
    // (at once, when it was removed already).
    void unplug(PDEVICE_OBJECT pdo);
    // The removal went through the whole stack: a device that has left is deleted now, since
    // nothing is attached to it any more.
    void removed(PDEVICE_OBJECT pdo) override;
    // The next Plug and Play request `minor` to this device fails with `status`.
    void failPnp(PDEVICE_OBJECT pdo, UCHAR minor, NTSTATUS status);
    void setInternalControlHandler(InternalControlHandler handler);

    // Every Plug and Play and power request the device received, in order.
    std::vector<Request> requests(PDEVICE_OBJECT pdo) const;
    // The minor functions of its Plug and Play requests only.
    std::vector<UCHAR> pnpMinors(PDEVICE_OBJECT pdo) const;
    bool deleted(PDEVICE_OBJECT pdo) const;
    PDRIVER_OBJECT driverObject() const { return driver_; }

  private:
    struct Device {
        bool unplugged = false;
        bool removed = false;
        bool deleted = false;
        std::map<UCHAR, NTSTATUS> failures;
        std::vector<Request> requests;
    };
    static TestBus& busOf(PDEVICE_OBJECT pdo);
    void unplugged(PDEVICE_OBJECT pdo, bool nowUnplugged);
    static NTSTATUS NTAPI dispatchPnp(PDEVICE_OBJECT pdo, PIRP irp);
    static NTSTATUS NTAPI dispatchPower(PDEVICE_OBJECT pdo, PIRP irp);
    static NTSTATUS NTAPI dispatchInternalControl(PDEVICE_OBJECT pdo, PIRP irp);
    Device& device(PDEVICE_OBJECT pdo);
    const Device& device(PDEVICE_OBJECT pdo) const;

    Kernel& kernel_;
    PDRIVER_OBJECT driver_ = nullptr;
    mutable std::mutex mutex_;
    std::map<PDEVICE_OBJECT, Device> devices_;
    int created_ = 0;
    InternalControlHandler handler_;
};

}  // namespace sim
