// Device objects, stacks, deferred deletion, device interfaces, remove locks, WDM versions.
#include "tests/kernel/kernel_test.hpp"

#include <thread>

using namespace ktest;

namespace {

const GUID kInterface = {
    0x7D2E4C91, 0x3A58, 0x4F06, {0xB1, 0xC7, 0x29, 0xE8, 0xD0, 0x5A, 0x6F, 0x34}};

class DevicesTest : public KernelTest {
  protected:
    void SetUp() override {
        bus_ = std::make_unique<TestDriver>(*kernel_, u"Bus");
        function_ = std::make_unique<TestDriver>(*kernel_, u"Function");
        pdo_ = bus_->createDevice();
        kernel_->markPhysicalDeviceObject(pdo_, u"USB\\VID_1209&PID_0001\\1");
    }
    void TearDown() override {
        function_.reset();
        bus_.reset();
        KernelTest::TearDown();
    }
    std::unique_ptr<TestDriver> bus_, function_;
    PDEVICE_OBJECT pdo_ = nullptr;
};
using DevicesDeathTest = DevicesTest;

TEST_F(DevicesTest, CreatedDeviceIsZeroedAndLinked) {
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(function_->object(), 100, nullptr, FILE_DEVICE_UNKNOWN,
                             FILE_DEVICE_SECURE_OPEN, FALSE, &device),
              STATUS_SUCCESS);
    EXPECT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(device->StackSize, 1);
    EXPECT_EQ(device->DriverObject, function_->object());
    EXPECT_EQ(function_->object()->DeviceObject, device);
    auto* extension = static_cast<unsigned char*>(device->DeviceExtension);
    EXPECT_GE(extension, reinterpret_cast<unsigned char*>(device + 1));
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(extension[i], 0);
    EXPECT_EQ(device->Characteristics, static_cast<ULONG>(FILE_DEVICE_SECURE_OPEN));
    IoDeleteDevice(device);
    EXPECT_EQ(function_->object()->DeviceObject, nullptr);
    EXPECT_FALSE(kernel_->deviceObjectExists(device));
}

TEST_F(DevicesTest, AttachGoesOnTopOfTheStack) {
    PDEVICE_OBJECT filter = bus_->createDevice();
    ASSERT_EQ(IoAttachDeviceToDeviceStack(filter, pdo_), pdo_);
    PDEVICE_OBJECT fdo = function_->createDevice();
    EXPECT_EQ(IoAttachDeviceToDeviceStack(fdo, pdo_), filter)
        << "attached to the top, not the target";
    EXPECT_EQ(fdo->StackSize, 3);
    EXPECT_EQ(kernel_->topOfStack(pdo_), fdo);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo_);
    EXPECT_EQ(top, fdo);
    ObDereferenceObject(top);
    IoDetachDevice(filter);
    IoDeleteDevice(fdo);
    IoDetachDevice(pdo_);
    IoDeleteDevice(filter);
}

TEST_F(DevicesTest, AttachIsRefusedOnAStackBeingTornDown) {
    kernel_->refuseAttachTo(pdo_);
    PDEVICE_OBJECT fdo = function_->createDevice();
    EXPECT_EQ(IoAttachDeviceToDeviceStack(fdo, pdo_), nullptr);
    EXPECT_EQ(fdo->StackSize, 1);
}

TEST_F(DevicesTest, DeletionWaitsForTheLastReference) {
    PDEVICE_OBJECT fdo = function_->createDevice();
    ObReferenceObject(fdo);
    IoDeleteDevice(fdo);
    EXPECT_TRUE(kernel_->deviceObjectExists(fdo));
    EXPECT_TRUE(kernel_->deviceObjectDeleted(fdo));
    EXPECT_NE(kernel_->checkClean().find("deleted, still referenced 1 times"), std::string::npos);
    ObDereferenceObject(fdo);
    EXPECT_FALSE(kernel_->deviceObjectExists(fdo));
}

TEST_F(DevicesTest, DeviceInterfaces) {
    UNICODE_STRING link{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo_, &kInterface, nullptr, &link), STATUS_SUCCESS);
    std::u16string name(reinterpret_cast<char16_t*>(link.Buffer), link.Length / 2);
    EXPECT_EQ(name, u"\\??\\USB#VID_1209&PID_0001#1#{7D2E4C91-3A58-4F06-B1C7-29E8D05A6F34}");
    EXPECT_TRUE(kernel_->deviceInterfaces(kInterface).empty()) << "registered, not yet enabled";
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_OBJECT_NAME_EXISTS);
    auto enabled = kernel_->deviceInterfaces(kInterface);
    ASSERT_EQ(enabled.size(), 1u);
    EXPECT_EQ(enabled[0].pdo, pdo_);
    EXPECT_EQ(enabled[0].symbolicLink, name);
    UNICODE_STRING again{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo_, &kInterface, nullptr, &again), STATUS_SUCCESS);
    EXPECT_TRUE(RtlEqualUnicodeString(&link, &again, FALSE))
        << "registering again gives the same name";
    EXPECT_EQ(kernel_->deviceInterfaces(kInterface, false).size(), 1u);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    EXPECT_TRUE(kernel_->deviceInterfaces(kInterface).empty());
    RtlFreeUnicodeString(&again);
    RtlFreeUnicodeString(&link);
    UNICODE_STRING unknown;
    RtlInitUnicodeString(&unknown, (PCWSTR)u"\\??\\nothing");
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
    PDEVICE_OBJECT fdo = function_->createDevice();
    UNICODE_STRING none{};
    EXPECT_EQ(IoRegisterDeviceInterface(fdo, &kInterface, nullptr, &none),
              STATUS_INVALID_DEVICE_REQUEST)
        << "only a physical device object takes an interface";
}

TEST_F(DevicesTest, WdmVersionAsConfigured) {
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0));
    EXPECT_TRUE(IoIsWdmVersionAvailable(6, 0));
    EXPECT_FALSE(IoIsWdmVersionAvailable(6, 1));
    kernel_->setWdmVersion(0, 0x90);
    EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0));
    EXPECT_TRUE(IoIsWdmVersionAvailable(0, 0x90));
}

TEST_F(DevicesTest, RemoveLockWaitsForItsHolders) {
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, poolTag("RmLk"), 0, 0);
    ASSERT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);  // the remover's
    ASSERT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);  // a request's
    std::atomic<bool> released{false};
    std::thread holder([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        released = true;
        IoReleaseRemoveLock(&lock, nullptr);
    });
    IoReleaseRemoveLockAndWait(&lock, nullptr);
    EXPECT_TRUE(released);
    holder.join();
    EXPECT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_DELETE_PENDING);
}

TEST_F(DevicesTest, InvalidatedRelationsAreRecorded) {
    IoInvalidateDeviceRelations(pdo_, BusRelations);
    auto calls = kernel_->invalidatedDeviceRelations();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].first, pdo_);
    EXPECT_EQ(calls[0].second, BusRelations);
}

TEST_F(DevicesDeathTest, DeviceRules) {
    struct Case {
        const char* name;
        std::function<void()> body;
        const char* expected;
    };
    std::vector<Case> cases = {
        {"deleted twice",
         [&] {
             PDEVICE_OBJECT fdo = function_->createDevice();
             ObReferenceObject(fdo);
             IoDeleteDevice(fdo);
             IoDeleteDevice(fdo);
         },
         "STOP: 0x000000C9.*already deleted \\(deleted twice\\)"},
        {"deleted while attached",
         [&] {
             PDEVICE_OBJECT fdo = function_->createDevice();
             IoAttachDeviceToDeviceStack(fdo, pdo_);
             IoDeleteDevice(fdo);
         },
         "STOP: 0x000000C9.*still attached to .*IoDetachDevice first"},
        {"driver unloaded with a device left",
         [&] {
             function_->createDevice();
             kernel_->deleteDriverObject(function_->object());
         },
         "STOP: 0x000000CE.*still exists"},
        {"remove lock released too often",
         [&] {
             IO_REMOVE_LOCK lock;
             IoInitializeRemoveLock(&lock, 0, 0, 0);
             IoReleaseRemoveLock(&lock, nullptr);
         },
         "STOP: 0x000000C4.*released a remove lock more often than it was acquired"},
    };
    for (const auto& c : cases)
        EXPECT_DEATH(c.body(), c.expected) << c.name;
}

}  // namespace
