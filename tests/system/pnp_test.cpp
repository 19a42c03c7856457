// The Plug and Play manager's side: sequences of requests through the probe driver down to the
// test bus, the states they leave the device node in, and what reached the bus.
#include "tests/system/probe_fixture.hpp"

#include <algorithm>
#include <functional>
#include <vector>

namespace sim {
namespace {

struct Step {
    const char* what;
    std::function<NTSTATUS(System&, int)> action;
    NTSTATUS status;
    DeviceState state;
};

struct Sequence {
    const char* name;
    std::function<void(TestBus&, PDEVICE_OBJECT)> prepare;
    std::vector<Step> steps;
    std::vector<UCHAR> busSaw;  // Plug and Play minor functions, in order
    bool interfaceEnabledAtEnd;
    bool pdoDeletedAtEnd;
};

const Step kStop{"stop", [](System& s, int n) { return s.stop(n); }, STATUS_SUCCESS,
                 DeviceState::Stopped};
const Step kRestart{"start", [](System& s, int n) { return s.start(n); }, STATUS_SUCCESS,
                    DeviceState::Started};
const Step kRemove{"remove", [](System& s, int n) { return s.remove(n); }, STATUS_SUCCESS,
                   DeviceState::Removed};

auto failNext(UCHAR minor, NTSTATUS status) {
    return [=](TestBus& bus, PDEVICE_OBJECT pdo) { bus.failPnp(pdo, minor, status); };
}
void nothing(TestBus&, PDEVICE_OBJECT) {}

const std::vector<Sequence>& sequences() {
    static const std::vector<Sequence> all = {
        {"stop and restart",
         nothing,
         {kStop, kRestart},
         {IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE},
         true,
         false},
        {"refused query-stop is cancelled",
         failNext(IRP_MN_QUERY_STOP_DEVICE, STATUS_DEVICE_BUSY),
         {{"stop", [](System& s, int n) { return s.stop(n); }, STATUS_DEVICE_BUSY,
           DeviceState::Started}},
         {IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE},
         true,
         false},
        {"query-stop then cancel-stop",
         nothing,
         {{"queryStop", [](System& s, int n) { return s.queryStop(n); }, STATUS_SUCCESS,
           DeviceState::StopPending},
          {"cancelStop", [](System& s, int n) { return s.cancelStop(n); }, STATUS_SUCCESS,
           DeviceState::Started}},
         {IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE},
         true,
         false},
        {"query-remove then cancel-remove",
         nothing,
         {{"queryRemove", [](System& s, int n) { return s.queryRemove(n); }, STATUS_SUCCESS,
           DeviceState::RemovePending},
          {"cancelRemove", [](System& s, int n) { return s.cancelRemove(n); }, STATUS_SUCCESS,
           DeviceState::Started}},
         {IRP_MN_START_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE},
         true,
         false},
        {"refused query-remove keeps the device",
         failNext(IRP_MN_QUERY_REMOVE_DEVICE, STATUS_DEVICE_BUSY),
         {{"remove", [](System& s, int n) { return s.remove(n); }, STATUS_DEVICE_BUSY,
           DeviceState::Started}},
         {IRP_MN_START_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE},
         true,
         false},
        {"orderly removal of a device still on the bus keeps its PDO",
         nothing,
         {kRemove},
         {IRP_MN_START_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE},
         false,
         false},
        {"unplugged: surprise removal, then removal without a query",
         [](TestBus& bus, PDEVICE_OBJECT pdo) { bus.unplug(pdo); },
         {{"surpriseRemove", [](System& s, int n) { return s.surpriseRemove(n); }, STATUS_SUCCESS,
           DeviceState::SurpriseRemoved},
          kRemove},
         {IRP_MN_START_DEVICE, IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE},
         false,
         true},
        {"stopped, then removed",
         nothing,
         {kStop, kRemove},
         {IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE,
          IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE},
         false,
         false},
    };
    return all;
}

class PlugAndPlay : public ProbeTest {};

bool interfaceEnabled(System& system, PDEVICE_OBJECT pdo) {
    for (const auto& record : system.kernel().deviceInterfaces(GUID_VAVEDU_PROBE_INTERFACE)) {
        if (record.pdo == pdo && record.enabled)
            return true;
    }
    return false;
}

TEST_F(PlugAndPlay, SequencesThroughTheDriverToTheBus) {
    for (const Sequence& sequence : sequences()) {
        SCOPED_TRACE(sequence.name);
        const PDEVICE_OBJECT pdo = bus->createDevice();
        sequence.prepare(*bus, pdo);
        const int node = system.plugIn(pdo);
        ASSERT_EQ(system.state(node), DeviceState::Started);
        EXPECT_EQ(system.lastAddStatus(node), STATUS_SUCCESS);
        EXPECT_EQ(system.lastStartStatus(node), STATUS_SUCCESS);
        EXPECT_NE(system.functionalDevice(node), nullptr);
        EXPECT_TRUE(interfaceEnabled(system, pdo));
        for (const Step& step : sequence.steps) {
            SCOPED_TRACE(step.what);
            EXPECT_EQ(statusName(step.action(system, node)), statusName(step.status));
            EXPECT_EQ(toString(system.state(node)), std::string(toString(step.state)));
        }
        EXPECT_EQ(bus->pnpMinors(pdo), sequence.busSaw);
        EXPECT_EQ(interfaceEnabled(system, pdo), sequence.interfaceEnabledAtEnd);
        EXPECT_EQ(bus->deleted(pdo), sequence.pdoDeletedAtEnd);
    }
}

TEST_F(PlugAndPlay, AFailedStartIsRemovedWithoutAQuery) {
    const PDEVICE_OBJECT pdo = bus->createDevice();
    bus->failPnp(pdo, IRP_MN_START_DEVICE, STATUS_DEVICE_CONFIGURATION_ERROR);
    const int node = system.plugIn(pdo);
    EXPECT_EQ(system.state(node), DeviceState::StartFailed);
    EXPECT_EQ(system.lastStartStatus(node), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_TRUE(system.interfacePaths(GUID_VAVEDU_PROBE_INTERFACE).empty());
    EXPECT_EQ(system.remove(node), STATUS_SUCCESS);
    EXPECT_EQ(bus->pnpMinors(pdo), (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}));
}

TEST_F(PlugAndPlay, AFailedAddDeviceIsNeitherStartedNorQueried) {
    const PDEVICE_OBJECT pdo = bus->createDevice();
    system.kernel().refuseAttachTo(pdo);
    const int node = system.plugIn(pdo);
    EXPECT_EQ(system.state(node), DeviceState::AddFailed);
    EXPECT_EQ(system.lastAddStatus(node), STATUS_DEVICE_REMOVED);
    EXPECT_EQ(system.functionalDevice(node), nullptr);
    EXPECT_EQ(system.remove(node), STATUS_SUCCESS);
    EXPECT_EQ(bus->pnpMinors(pdo), std::vector<UCHAR>{IRP_MN_REMOVE_DEVICE});
}

TEST_F(PlugAndPlay, ADeviceKeptByTheBusCanBePluggedInAgain) {
    const PDEVICE_OBJECT pdo = bus->createDevice();
    const int first = system.plugIn(pdo);
    ASSERT_EQ(system.remove(first), STATUS_SUCCESS);
    const int second = system.plugIn(pdo);
    EXPECT_NE(first, second);
    EXPECT_EQ(system.state(second), DeviceState::Started);
    EXPECT_EQ(system.interfacePaths(GUID_VAVEDU_PROBE_INTERFACE).size(), 1u);
    EXPECT_THROW(system.start(first), std::logic_error) << "a removed node takes no requests";
}

TEST_F(PlugAndPlay, RequestsTheStateDoesNotAllowAreRefused) {
    const int node = plugInStarted();
    EXPECT_THROW(system.start(node), std::logic_error);
    EXPECT_THROW(system.cancelRemove(node + 1), std::out_of_range);
    ASSERT_EQ(system.surpriseRemove(node), STATUS_SUCCESS);
    EXPECT_THROW(system.stop(node), std::logic_error);
    EXPECT_THROW(system.surpriseRemove(node), std::logic_error);
}

TEST_F(PlugAndPlay, PowerRequestsReachTheBus) {
    const int node = plugInStarted();
    POWER_STATE d3{};
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(system.sendPower(node, IRP_MN_SET_POWER, DevicePowerState, d3), STATUS_SUCCESS);
    const auto requests = bus->requests(system.pdo(node));
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back(), (TestBus::Request{IRP_MJ_POWER, IRP_MN_SET_POWER}));
}

TEST_F(PlugAndPlay, DevicesStillPresentAreRemovedWhenTheSystemShutsDown) {
    plugInStarted();
    const int stopped = plugInStarted();
    ASSERT_EQ(system.stop(stopped), STATUS_SUCCESS);
    // The driver is still loaded and two devices are present: shutting down removes both, then
    // unloads the driver; anything left behind would be a finding.
    EXPECT_EQ(system.shutdown(), "");
    const auto log = system.kernel().debugOutput();
    EXPECT_EQ(std::count(log.begin(), log.end(), "VaVeduProbe: DriverUnload"), 1);
}

TEST(TestBusDevices, InternalControlGoesToTheHandler) {
    System system;
    auto& bus = system.addBus(std::make_unique<TestBus>(system.kernel()));
    const PDEVICE_OBJECT pdo = bus.createDevice();
    auto send = [&](ULONG code) {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp =
            IoBuildDeviceIoControlRequest(code, pdo, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
        NTSTATUS status = IofCallDriver(pdo, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
            status = iosb.Status;
        }
        return status;
    };
    EXPECT_EQ(send(0x220003), STATUS_SUCCESS);
    std::vector<ULONG> codes;
    bus.setInternalControlHandler([&](PDEVICE_OBJECT device, PIRP irp) {
        EXPECT_EQ(device, pdo);
        codes.push_back(
            IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode);
        irp->IoStatus.Information = 3;
        return STATUS_DEVICE_NOT_CONNECTED;
    });
    EXPECT_EQ(send(0x220007), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(codes, std::vector<ULONG>{0x220007});
}

}  // namespace
}  // namespace sim
