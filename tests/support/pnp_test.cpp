// Plug and Play and power through the support library: the driver's callbacks and their order,
// the device interface, the remove lock, the checks of the init block.
#include "tests/support/support_fixture.hpp"

#include <algorithm>
#include <thread>

namespace sim {
namespace {

using Events = std::vector<std::string>;

enum class Step {
    Stop,
    Start,
    QueryStopCancelled,
    QueryRemoveCancelled,
    CancelsWithoutQueries,  // as when a driver above failed the queries
    SurpriseRemove,
    Remove
};

struct StepExpectation {
    Step step;
    Events newEvents;   // callback lines the step adds
    size_t interfaces;  // device interfaces applications see afterwards
};

struct Sequence {
    const char* name;
    std::vector<StepExpectation> steps;
};

NTSTATUS run(System& system, int node, Step step) {
    switch (step) {
        case Step::Stop:
            return system.stop(node);
        case Step::Start:
            return system.start(node);
        case Step::QueryStopCancelled: {
            const NTSTATUS status = system.queryStop(node);
            return NT_SUCCESS(status) ? system.cancelStop(node) : status;
        }
        case Step::QueryRemoveCancelled: {
            const NTSTATUS status = system.queryRemove(node);
            return NT_SUCCESS(status) ? system.cancelRemove(node) : status;
        }
        case Step::CancelsWithoutQueries: {
            const NTSTATUS status = system.cancelStop(node);
            return NT_SUCCESS(status) ? system.cancelRemove(node) : status;
        }
        case Step::SurpriseRemove:
            return system.surpriseRemove(node);
        case Step::Remove:
            return system.remove(node);
    }
    return STATUS_UNSUCCESSFUL;
}

const Sequence kSequences[] = {
    {"StartRemove", {{Step::Remove, {"StopDevice", "RemoveDevice"}, 0}}},
    {"StopStartRemove",
     {{Step::Stop, {"StopDevice"}, 1},
      {Step::Start, {"StartDevice"}, 1},
      {Step::Remove, {"StopDevice", "RemoveDevice"}, 0}}},
    {"StopRemove", {{Step::Stop, {"StopDevice"}, 1}, {Step::Remove, {"RemoveDevice"}, 0}}},
    {"SurpriseRemove",
     {{Step::SurpriseRemove, {"StopDevice"}, 0}, {Step::Remove, {"RemoveDevice"}, 0}}},
    {"StopSurpriseRemove",
     {{Step::Stop, {"StopDevice"}, 1},
      {Step::SurpriseRemove, {}, 0},
      {Step::Remove, {"RemoveDevice"}, 0}}},
    {"QueryStopCancelled",
     {{Step::QueryStopCancelled, {}, 1}, {Step::Remove, {"StopDevice", "RemoveDevice"}, 0}}},
    {"QueryRemoveCancelled",
     {{Step::QueryRemoveCancelled, {}, 1}, {Step::Remove, {"StopDevice", "RemoveDevice"}, 0}}},
    {"CancelsWithoutQueries",
     {{Step::CancelsWithoutQueries, {}, 1}, {Step::Remove, {"StopDevice", "RemoveDevice"}, 0}}},
    {"TwoRestarts",
     {{Step::Stop, {"StopDevice"}, 1},
      {Step::Start, {"StartDevice"}, 1},
      {Step::Stop, {"StopDevice"}, 1},
      {Step::Start, {"StartDevice"}, 1},
      {Step::SurpriseRemove, {"StopDevice"}, 0},
      {Step::Remove, {"RemoveDevice"}, 0}}},
};

class PnpSequenceTest : public SupportTest, public ::testing::WithParamInterface<Sequence> {};

TEST_P(PnpSequenceTest, CallbacksAndInterfaceFollowThePlugAndPlayState) {
    const int node = plugIn();
    ASSERT_EQ(system.lastStartStatus(node), STATUS_SUCCESS);
    Events expected{"StartDevice"};
    EXPECT_EQ(events(), expected);
    EXPECT_EQ(visibleInterfaces(), 1u);
    for (size_t i = 0; i < GetParam().steps.size(); ++i) {
        const StepExpectation& step = GetParam().steps[i];
        SCOPED_TRACE("step " + std::to_string(i));
        EXPECT_EQ(run(system, node, step.step), STATUS_SUCCESS);
        expected.insert(expected.end(), step.newEvents.begin(), step.newEvents.end());
        EXPECT_EQ(events(), expected);
        EXPECT_EQ(visibleInterfaces(), step.interfaces);
    }
    EXPECT_EQ(system.state(node), DeviceState::Removed);
}

INSTANTIATE_TEST_SUITE_P(Sequences, PnpSequenceTest, ::testing::ValuesIn(kSequences),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SupportTest, AFailingStartDeviceIsUndoneAndTheDeviceStaysInvisible) {
    setSetting(SUPPORT_TEST_FAIL_START_NAME, static_cast<ULONG>(STATUS_INSUFFICIENT_RESOURCES));
    const int node = plugIn();
    EXPECT_EQ(system.lastStartStatus(node), STATUS_INSUFFICIENT_RESOURCES);
    // StartDevice had taken a pool block; StopDevice gives it back (the end-of-test check
    // would report it otherwise).
    EXPECT_EQ(events(), (Events{"StartDevice failed 0xC000009A", "StopDevice"}));
    EXPECT_EQ(visibleInterfaces(), 0u);
    EXPECT_EQ(system.remove(node), STATUS_SUCCESS);
    EXPECT_EQ(events(), (Events{"StartDevice failed 0xC000009A", "StopDevice", "RemoveDevice"}));
}

TEST_F(SupportTest, AStartTheLowerDriverFailsNeverReachesTheDriver) {
    pdo = bus->createDevice();
    bus->failPnp(pdo, IRP_MN_START_DEVICE, STATUS_UNSUCCESSFUL);
    const int node = system.plugIn(pdo);
    EXPECT_EQ(system.lastStartStatus(node), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(visibleInterfaces(), 0u);
    EXPECT_EQ(system.remove(node), STATUS_SUCCESS);
    EXPECT_EQ(events(), (Events{"RemoveDevice"}));
}

struct BadBlock {
    const char* name;
    ULONG spoil;
    NTSTATUS addDeviceStatus;
};

const BadBlock kBlocks[] = {
    {"SizeZero", SUPPORT_TEST_BLOCK_SIZE_ZERO, STATUS_INVALID_PARAMETER},
    {"SizeOneShort", SUPPORT_TEST_BLOCK_SIZE_SHORT, STATUS_INVALID_PARAMETER},
    {"SizeOneLong", SUPPORT_TEST_BLOCK_SIZE_LONG, STATUS_INVALID_PARAMETER},
    {"ThirtyThreeQueues", SUPPORT_TEST_BLOCK_33_QUEUES, STATUS_INVALID_PARAMETER},
    {"AllOnesQueueCount", SUPPORT_TEST_BLOCK_MANY_QUEUES, STATUS_INVALID_PARAMETER},
    {"QueueWithoutStartRoutine", SUPPORT_TEST_BLOCK_NO_START_IO, STATUS_INVALID_PARAMETER},
    {"NoRemoveLock", SUPPORT_TEST_BLOCK_NO_LOCK, STATUS_INVALID_PARAMETER},
    {"NoExtension", SUPPORT_TEST_BLOCK_NO_EXTENSION, STATUS_INVALID_PARAMETER},
    {"MisalignedExtension", SUPPORT_TEST_BLOCK_MISALIGNED, STATUS_INVALID_PARAMETER},
    {"NoBlock", SUPPORT_TEST_BLOCK_NONE, STATUS_INVALID_PARAMETER},
    {"NoDeviceObject", SUPPORT_TEST_BLOCK_NO_DEVICE, STATUS_INVALID_PARAMETER},
    {"NoPhysicalDeviceObject", SUPPORT_TEST_BLOCK_NO_PDO, STATUS_INVALID_PARAMETER},
    {"NoLowerDeviceObject", SUPPORT_TEST_BLOCK_NO_LOWER, STATUS_INVALID_PARAMETER},
    {"QueueWithoutItsArea", SUPPORT_TEST_BLOCK_NO_QUEUE_AREA, STATUS_INVALID_PARAMETER},
    {"NoQueuesIsFine", SUPPORT_TEST_BLOCK_NO_QUEUES, STATUS_SUCCESS},
    {"Intact", SUPPORT_TEST_BLOCK_INTACT, STATUS_SUCCESS},
};

class InitBlockTest : public SupportTest, public ::testing::WithParamInterface<BadBlock> {};

TEST_P(InitBlockTest, InitializeGenericExtensionChecksTheBlock) {
    setSetting(SUPPORT_TEST_CORRUPT_BLOCK_NAME, GetParam().spoil);
    int node = -1;
    EXPECT_EQ(system.addDevice(bus->createDevice(), &node), GetParam().addDeviceStatus);
    if (NT_SUCCESS(GetParam().addDeviceStatus)) {
        EXPECT_EQ(system.start(node), STATUS_SUCCESS);
        EXPECT_EQ(visibleInterfaces(), 1u);
        EXPECT_EQ(system.remove(node), STATUS_SUCCESS);
    } else {
        EXPECT_EQ(events(), (Events{"InitializeGenericExtension failed 0xC000000D"}));
    }
}

INSTANTIATE_TEST_SUITE_P(Blocks, InitBlockTest, ::testing::ValuesIn(kBlocks),
                         [](const auto& info) { return std::string(info.param.name); });

// A driver that keeps a device the library refused still hands it Plug and Play and power
// requests: the library refuses each of them and touches nothing.
class RefusedDeviceTest : public SupportTest, public ::testing::WithParamInterface<ULONG> {};

TEST_P(RefusedDeviceTest, GetsNoPlugAndPlayOrPowerFromTheLibrary) {
    setSetting(SUPPORT_TEST_CORRUPT_BLOCK_NAME, GetParam());
    setSetting(SUPPORT_TEST_KEEP_REFUSED_NAME, 1);
    pdo = bus->createDevice();
    int node = -1;
    ASSERT_EQ(system.addDevice(pdo, &node), STATUS_SUCCESS);
    EXPECT_EQ(system.start(node), STATUS_INVALID_DEVICE_STATE);
    POWER_STATE d0{};
    d0.DeviceState = PowerDeviceD0;
    EXPECT_EQ(system.sendPower(node, IRP_MN_SET_POWER, DevicePowerState, d0),
              STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(system.remove(node), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(events(), (Events{"InitializeGenericExtension failed 0xC000000D",
                                "device deleted by the driver"}));
    EXPECT_TRUE(bus->requests(pdo).empty()) << "nothing went down to the bus";
}

INSTANTIATE_TEST_SUITE_P(Blocks, RefusedDeviceTest,
                         ::testing::Values(SUPPORT_TEST_BLOCK_NO_EXTENSION,
                                           SUPPORT_TEST_BLOCK_SIZE_ZERO));

TEST_F(SupportTest, ADriverGivingUpAfterTheLibraryTookItsDeviceLeavesNothing) {
    setSetting(SUPPORT_TEST_GIVE_UP_NAME, 1);
    int node = -1;
    EXPECT_EQ(system.addDevice(bus->createDevice(), &node), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(visibleInterfaces(), 0u);
    // The end-of-test check finds the interface name's pool block if the clean-up kept it.
}

// A driver may leave out any callback: the library starts, stops and removes the device without
// it. A start of a started device does not start the driver's part again.
struct Omission {
    const char* name;
    ULONG omit;
    NTSTATUS failStart;
    Events events;
};

const Omission kOmissions[] = {
    {"StartDevice", SUPPORT_TEST_OMIT_START, 0, {"StopDevice", "StopDevice", "RemoveDevice"}},
    {"StopDevice", SUPPORT_TEST_OMIT_STOP, 0, {"StartDevice", "StartDevice", "RemoveDevice"}},
    {"RemoveDevice",
     SUPPORT_TEST_OMIT_REMOVE,
     0,
     {"StartDevice", "StopDevice", "StartDevice", "StopDevice", "device deleted by the driver"}},
    {"StopDeviceWhenTheStartFails",
     SUPPORT_TEST_OMIT_STOP,
     STATUS_INSUFFICIENT_RESOURCES,
     {"StartDevice failed 0xC000009A", "RemoveDevice"}},
};

class OmittedCallbackTest : public SupportTest, public ::testing::WithParamInterface<Omission> {};

TEST_P(OmittedCallbackTest, TheDeviceStillStartsStopsAndGoes) {
    const Omission& c = GetParam();
    setSetting(SUPPORT_TEST_OMIT_CALLBACKS_NAME, c.omit);
    setSetting(SUPPORT_TEST_FAIL_START_NAME, static_cast<ULONG>(c.failStart));
    const int node = plugIn();
    EXPECT_EQ(system.lastStartStatus(node), c.failStart);
    if (NT_SUCCESS(c.failStart)) {
        EXPECT_EQ(visibleInterfaces(), 1u);
        EXPECT_EQ(system.sendPnp(node, IRP_MN_START_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(system.stop(node), STATUS_SUCCESS);
        EXPECT_EQ(system.start(node), STATUS_SUCCESS);
    }
    EXPECT_EQ(system.remove(node), STATUS_SUCCESS);
    EXPECT_EQ(events(), c.events);
    EXPECT_EQ(visibleInterfaces(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Callbacks, OmittedCallbackTest, ::testing::ValuesIn(kOmissions),
                         [](const auto& info) { return std::string(info.param.name); });

// A device that registers its interface only once started is visible at once; the library
// refuses a second registration and one it cannot tie to a device or a class. A device that
// never registers stays invisible and goes cleanly.
TEST_F(SupportTest, AnInterfaceRegisteredWhileStartedIsVisibleAtOnce) {
    setSetting(SUPPORT_TEST_REGISTER_LATE_NAME, 1);
    const int silent = plugIn();
    const int node = plugIn();
    EXPECT_EQ(visibleInterfaces(), 0u);
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(system.kernel().createFile(system.functionalDevice(node), u"", &file),
              STATUS_SUCCESS);
    Handle handle(system.kernel(), file);
    struct Case {
        ULONG how;
        NTSTATUS status;
        size_t visible;
    };
    const Case cases[] = {
        {SUPPORT_TEST_REGISTER_NO_CLASS, STATUS_INVALID_PARAMETER, 0},
        {SUPPORT_TEST_REGISTER_NO_EXTENSION, STATUS_INVALID_PARAMETER, 0},
        {SUPPORT_TEST_REGISTER_FOREIGN, STATUS_INVALID_PARAMETER, 0},
        {SUPPORT_TEST_REGISTER_OWN, STATUS_SUCCESS, 1},
        {SUPPORT_TEST_REGISTER_OWN, STATUS_OBJECT_NAME_COLLISION, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(
            handle.deviceIoControl(IOCTL_SUPPORT_TEST_REGISTER, &c.how, sizeof c.how, nullptr, 0)
                .status,
            c.status)
            << "registration " << c.how;
        EXPECT_EQ(visibleInterfaces(), c.visible);
    }
    handle.close();
    EXPECT_EQ(system.remove(silent), STATUS_SUCCESS);
    EXPECT_EQ(system.remove(node), STATUS_SUCCESS);
    EXPECT_EQ(visibleInterfaces(), 0u);
}

TEST_F(SupportTest, RemoveWaitsForEveryHolderOfTheRemoveLock) {
    const int node = plugIn();
    Handle handle = open();
    ASSERT_EQ(control(handle, IOCTL_SUPPORT_TEST_PROBE_LOCK), STATUS_SUCCESS);
    ASSERT_EQ(control(handle, IOCTL_SUPPORT_TEST_HOLD_LOCK), STATUS_SUCCESS);

    NTSTATUS removeStatus = STATUS_PENDING;
    std::thread remover([&] { removeStatus = system.remove(node); });
    ASSERT_TRUE(waitUntilRemovalBegan(handle));
    // The driver's part of the device is still there: removal waits for the lock.
    EXPECT_EQ(events(), (Events{"StartDevice"}));
    // Requests other components send meanwhile, a power request or a query of the device, are
    // refused.
    POWER_STATE d0{};
    d0.DeviceState = PowerDeviceD0;
    EXPECT_EQ(system.sendPower(node, IRP_MN_SET_POWER, DevicePowerState, d0),
              STATUS_DELETE_PENDING);
    EXPECT_EQ(system.sendPnp(node, IRP_MN_QUERY_CAPABILITIES), STATUS_DELETE_PENDING);
    EXPECT_EQ(control(handle, IOCTL_SUPPORT_TEST_DROP_LOCK), STATUS_SUCCESS);
    remover.join();

    EXPECT_EQ(removeStatus, STATUS_SUCCESS);
    EXPECT_EQ(events(), (Events{"StartDevice", "StopDevice", "RemoveDevice"}));
}

TEST_F(SupportTest, PowerRequestsGoDownToTheBus) {
    const int node = plugIn();
    POWER_STATE d0{};
    d0.DeviceState = PowerDeviceD0;
    EXPECT_EQ(system.sendPower(node, IRP_MN_SET_POWER, DevicePowerState, d0), STATUS_SUCCESS);
    const auto requests = bus->requests(pdo);
    EXPECT_NE(std::find(requests.begin(), requests.end(),
                        TestBus::Request{IRP_MJ_POWER, IRP_MN_SET_POWER}),
              requests.end());
}

TEST_F(SupportTest, OtherPlugAndPlayRequestsGoDownUnchanged) {
    const int node = plugIn();
    for (UCHAR minor : {IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_QUERY_BUS_INFORMATION}) {
        system.sendPnp(node, minor);
        const auto minors = bus->pnpMinors(pdo);
        EXPECT_NE(std::find(minors.begin(), minors.end(), minor), minors.end())
            << "minor function " << int(minor);
    }
    EXPECT_EQ(events(), (Events{"StartDevice"}));
}

TEST_F(SupportTest, EveryStopStepReachesTheBus) {
    const int node = plugIn();
    ASSERT_EQ(system.stop(node), STATUS_SUCCESS);
    ASSERT_EQ(system.start(node), STATUS_SUCCESS);
    ASSERT_EQ(system.surpriseRemove(node), STATUS_SUCCESS);
    ASSERT_EQ(system.remove(node), STATUS_SUCCESS);
    EXPECT_EQ(
        bus->pnpMinors(pdo),
        (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE,
                            IRP_MN_START_DEVICE, IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
}

}  // namespace
}  // namespace sim
