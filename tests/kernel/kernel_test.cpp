#include "tests/kernel/kernel_test.hpp"

namespace ktest {

namespace {
std::map<PDRIVER_OBJECT, TestDriver*>& drivers() {
    static std::map<PDRIVER_OBJECT, TestDriver*> all;
    return all;
}
}  // namespace

TestDriver::TestDriver(sim::Kernel& kernel, std::u16string_view name)
    : kernel_(kernel), driver_(kernel.createDriverObject(name, name)) {
    drivers()[driver_] = this;
}

TestDriver::~TestDriver() {
    deleteDevices();
    drivers().erase(driver_);
    kernel_.deleteDriverObject(driver_);
}

void TestDriver::on(UCHAR major, Dispatch dispatch) {
    routines_[major] = std::move(dispatch);
    driver_->MajorFunction[major] = trampoline;
}

PDEVICE_OBJECT TestDriver::createDevice(ULONG extension, ULONG flags) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status =
        IoCreateDevice(driver_, extension, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    EXPECT_EQ(status, STATUS_SUCCESS);
    device->Flags |= flags;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

void TestDriver::deleteDevices() {
    while (PDEVICE_OBJECT device = driver_->DeviceObject) {
        if (device->AttachedDevice)
            IoDetachDevice(device);
        // Detach from below: find the device this one is attached to.
        for (auto& [other, test] : drivers()) {
            (void)test;
            for (PDEVICE_OBJECT d = other->DeviceObject; d; d = d->NextDevice)
                if (d->AttachedDevice == device)
                    IoDetachDevice(d);
        }
        IoDeleteDevice(device);
    }
}

NTSTATUS NTAPI TestDriver::trampoline(PDEVICE_OBJECT device, PIRP irp) {
    TestDriver* self = drivers().at(device->DriverObject);
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    return self->routines_.at(major)(device, irp);
}

KernelTest::KernelTest() : kernel_(std::make_unique<sim::Kernel>()) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
}

KernelTest::~KernelTest() = default;

void KernelTest::TearDown() {
    if (checkAtEnd_) {
        EXPECT_EQ(kernel_->checkClean(), "");
    }
}

std::u16string u16(const char* text) {
    return sim::toU16(text);
}

}  // namespace ktest
