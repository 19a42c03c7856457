// The bus over a long life: more devices plugged in and removed one after another than USB has
// addresses, as a machine that runs for long does (a fuzzing process plugs in one device per
// input). Addresses stay in 1 to 127 and are given out again once all have been used, and every
// query about a device reaches that device, even when its physical device object reuses the
// memory of an earlier one.
#include "tests/usb/bus_fixture.hpp"

#include <string>

namespace sim::usb::testing {
namespace {

NTSTATUS NTAPI keepRequest(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void pnp(PDEVICE_OBJECT device, UCHAR minor) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    auto* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    IoSetCompletionRoutine(irp, keepRequest, nullptr, TRUE, TRUE, TRUE);
    IofCallDriver(device, irp);
    IoFreeIrp(irp);
}

std::unique_ptr<DeviceModel> numbered(int n) {
    Bytes bytes = LoopbackModel().deviceDescriptor();
    const Bytes config = LoopbackModel().configurationDescriptor(0);
    bytes.insert(bytes.end(), config.begin(), config.end());
    return std::make_unique<RawDescriptorModel>(bytes, "device " + std::to_string(n));
}

TEST_F(UsbBusTest, AddressesOfDevicesThatAreGoneAreGivenOutAgain) {
    const uint64_t deviceObjects =
        system.kernel().counters().outstandingOf(AllocationKind::DeviceObject);
    for (int n = 0; n < 300; ++n) {
        PDEVICE_OBJECT device = bus.attach(numbered(n));
        ASSERT_NE(device, nullptr) << "device " << n;
        const uint8_t address = bus.address(device);
        EXPECT_GE(address, 1) << "device " << n;
        EXPECT_LE(address, 127) << "device " << n;
        EXPECT_NE(address, bus.address(pdo)) << "device " << n << ": the instrument keeps its own";
        EXPECT_EQ(bus.model(device).name(), "device " + std::to_string(n));
        EXPECT_EQ(bus.instancePath(device),
                  u"USB\\VID_1209&PID_0002\\" + toU16(std::to_string(address)));
        pnp(device, IRP_MN_START_DEVICE);
        pnp(device, IRP_MN_REMOVE_DEVICE);
        bus.unplug(device);  // removed and unplugged: its physical device object goes now
    }
    EXPECT_EQ(bus.devices(), std::vector<PDEVICE_OBJECT>{pdo});
    EXPECT_EQ(bus.address(pdo), 1);
    EXPECT_EQ(system.kernel().counters().outstandingOf(AllocationKind::DeviceObject),
              deviceObjects);
}

TEST_F(UsbBusTest, AttachFailsCleanlyWhenEveryAddressIsTaken) {
    const uint64_t deviceObjects =
        system.kernel().counters().outstandingOf(AllocationKind::DeviceObject);
    std::vector<PDEVICE_OBJECT> present;
    for (int n = 1; n < 127; ++n) {  // the instrument has the first address
        present.push_back(bus.attach(numbered(n)));
        ASSERT_NE(present.back(), nullptr) << "device " << n;
    }
    EXPECT_EQ(bus.attach(numbered(127)), nullptr) << "no address left";
    EXPECT_EQ(system.kernel().counters().outstandingOf(AllocationKind::DeviceObject),
              deviceObjects + present.size())
        << "the refused device leaves no device object behind";
    // One leaves: its address is free for the next.
    const uint8_t freed = bus.address(present[40]);
    pnp(present[40], IRP_MN_REMOVE_DEVICE);
    bus.unplug(present[40]);
    PDEVICE_OBJECT next = bus.attach(numbered(128));
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(bus.address(next), freed);
}

}  // namespace
}  // namespace sim::usb::testing
