// The driver frame on the model: loading, the registry setting, the banner, device objects, and
// the requests that only pass through.
#include "tests/common/lower_filter.hpp"
#include "tests/driver/driver_fixture.hpp"

#include <usbioctl.h>

#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <regex>
#include <thread>

namespace vavedu::test {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::HasSubstr;

constexpr char kBannerPattern[] =
    "VaVedu\\.SYS version 0C00\\.0000 built [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} "
    "[0-9]{2}:[0-9]{2}:[0-9]{2}";

class FrameTest : public DriverTest {};

TEST_F(FrameTest, LoadPrintsTheLoadMessageThenTheBanner) {
    ASSERT_EQ(loadDriver(), STATUS_SUCCESS);
    std::vector<std::string> lines = system.kernel().debugOutput();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "VaVedu: DriverEntry()");
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(kBannerPattern))) << lines[1];
}

TEST_F(FrameTest, RefusesToLoadWithoutWdm) {
    system.kernel().setWdmVersion(0, 0x90);
    EXPECT_EQ(loadDriver(), STATUS_UNSUCCESSFUL);
    std::vector<std::string> lines = system.kernel().debugOutput();
    ASSERT_EQ(lines.size(), 2u) << "both load messages come before the check";
    EXPECT_EQ(lines[0], "VaVedu: DriverEntry()");
    EXPECT_FALSE(system.driverLoaded());
}

TEST_F(FrameTest, NoPoolForTheRegistryPathFailsTheLoad) {
    system.kernel().setFaultPolicy(sim::FaultPolicy::failNth(1, sim::AllocationKind::Pool));
    EXPECT_EQ(loadDriver(), STATUS_INSUFFICIENT_RESOURCES);
    system.kernel().setFaultPolicy(sim::FaultPolicy::none());
    EXPECT_FALSE(system.driverLoaded());
    // A later load succeeds and the model finds nothing left over at the end.
    EXPECT_EQ(loadDriver(), STATUS_SUCCESS);
}

// The chunk size every pipe gets comes from "MaximumTransferSize": observed as the length of the
// first bulk chunk of a long write.
struct TransferSizeCase {
    const char* name;
    std::optional<ULONG> stored;
    ULONG expectedChunk;
};

class MaximumTransferSizeTest : public DriverTest,
                                public ::testing::WithParamInterface<TransferSizeCase> {};

TEST_P(MaximumTransferSizeTest, SetsTheChunkOfEveryPipe) {
    const TransferSizeCase& c = GetParam();
    std::map<std::u16string, ULONG> values;
    if (c.stored)
        values[std::u16string(kMaxTransferSizeValue)] = *c.stored;
    ASSERT_EQ(loadDriver(values), STATUS_SUCCESS);
    int node = plugInstrument();

    // Interface 1's sink (0x02) swallows whatever is written.
    sim::Handle sink = open(node, u"\\PIPE_0\\INTERFACE_1");
    Bytes data(c.expectedChunk + 1000, 0x5A);
    sim::AppResult result = sink.write(data.data(), (ULONG)data.size());
    ASSERT_EQ(result.status, STATUS_SUCCESS) << sim::statusName(result.status);
    EXPECT_EQ(result.information, data.size());

    std::vector<sim::usb::TraceRecord> chunks = completedOnEndpoint(0x02);
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0].requestedLength, c.expectedChunk);
    EXPECT_EQ(chunks[1].requestedLength, 1000u);
}

INSTANTIATE_TEST_SUITE_P(Registry, MaximumTransferSizeTest,
                         ::testing::Values(TransferSizeCase{"absent", std::nullopt, 16384},
                                           TransferSizeCase{"stored65536", 65536u, 65536},
                                           TransferSizeCase{"zeroKeepsDefault", 0u, 16384},
                                           TransferSizeCase{"hugeIsCapped", 0xFFFFFFFFu, 0x400000}),
                         [](const auto& info) { return std::string(info.param.name); });

// A value of another type is refused by the registry's type check; written by its own type it
// would have overrun the 4-byte setting (the model stops on that).
class AnotherTypeTest : public DriverTest,
                        public ::testing::WithParamInterface<std::pair<ULONG, Bytes>> {};

TEST_P(AnotherTypeTest, KeepsTheDefault) {
    std::u16string key = sim::System::serviceKeyPath(kService);
    system.registry().createKey(key);
    system.registry().setValue(key, kMaxTransferSizeValue, GetParam().first, GetParam().second);
    ASSERT_EQ(system.loadDriver(sim::imageDirectory() / "libVaVedu.so", kService), STATUS_SUCCESS);
    int node = plugInstrument();
    sim::Handle sink = open(node, u"\\PIPE_0\\INTERFACE_1");
    Bytes data(20000, 1);
    ASSERT_EQ(sink.write(data.data(), (ULONG)data.size()).status, STATUS_SUCCESS);
    std::vector<sim::usb::TraceRecord> chunks = completedOnEndpoint(0x02);
    ASSERT_FALSE(chunks.empty());
    EXPECT_EQ(chunks[0].requestedLength, 16384u);
}

INSTANTIATE_TEST_SUITE_P(
    Registry, AnotherTypeTest,
    ::testing::Values(std::pair{ULONG{REG_SZ}, Bytes{'6', 0, '5', 0, '5', 0, '3', 0, '6', 0, 0, 0}},
                      std::pair{ULONG{REG_BINARY}, Bytes{0, 0, 1, 0, 0, 0, 0, 0}}),
    [](const auto& info) { return info.param.first == REG_SZ ? "string" : "longBinary"; });

TEST_F(FrameTest, AttachFailureLeavesNoDeviceObject) {
    ASSERT_EQ(loadDriver(), STATUS_SUCCESS);
    PDEVICE_OBJECT device = bus.attach(std::make_unique<sim::usb::InstrumentModel>());
    uint64_t devicesBefore =
        system.kernel().counters().outstandingOf(sim::AllocationKind::DeviceObject);
    system.kernel().refuseAttachTo(device);
    int node = -1;
    EXPECT_EQ(system.addDevice(device, &node), STATUS_DEVICE_REMOVED);
    EXPECT_EQ(system.kernel().counters().outstandingOf(sim::AllocationKind::DeviceObject),
              devicesBefore);
    EXPECT_EQ(system.driverObject()->DeviceObject, nullptr);
}

// Beside a support library that takes no device in: AddDevice fails with the library's status and
// leaves neither a device object nor an attachment behind.
TEST_F(FrameTest, SupportLibraryRefusalLeavesNoDeviceObject) {
    system.registry().createKey(sim::System::serviceKeyPath(kService));
    std::filesystem::path image =
        std::filesystem::path(VAVEDU_REFUSING_SUPPORT_DIR) / "libVaVedu.so";
    ASSERT_EQ(system.loadDriver(image, kService), STATUS_SUCCESS);
    PDEVICE_OBJECT device = bus.attach(std::make_unique<sim::usb::InstrumentModel>());
    sim::AllocationCounters before = counters();
    int node = -1;
    EXPECT_EQ(system.addDevice(device, &node), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(system.driverObject()->DeviceObject, nullptr);
    EXPECT_EQ(system.kernel().topOfStack(device), device) << "detached again";
    sim::AllocationCounters after = counters();
    for (auto kind : {sim::AllocationKind::DeviceObject, sim::AllocationKind::Pool}) {
        EXPECT_EQ(after.outstandingOf(kind), before.outstandingOf(kind)) << sim::toString(kind);
    }
}

TEST_F(FrameTest, NoDeviceObjectFailsAddDeviceWithItsStatus) {
    ASSERT_EQ(loadDriver(), STATUS_SUCCESS);
    PDEVICE_OBJECT device = bus.attach(std::make_unique<sim::usb::InstrumentModel>());
    system.kernel().setFaultPolicy(sim::FaultPolicy::failNth(1, sim::AllocationKind::DeviceObject));
    int node = -1;
    EXPECT_EQ(system.addDevice(device, &node), STATUS_INSUFFICIENT_RESOURCES);
    system.kernel().setFaultPolicy(sim::FaultPolicy::none());
    EXPECT_EQ(system.driverObject()->DeviceObject, nullptr);
}

TEST_F(FrameTest, TwoInstrumentsKeepTheirOwnState) {
    ASSERT_EQ(loadDriver(), STATUS_SUCCESS);
    int first = plugInstrument();
    int second = plugInstrument();
    EXPECT_NE(system.functionalDevice(first), system.functionalDevice(second));
    EXPECT_NE(interfacePath(first), interfacePath(second));

    sim::Handle control = open(second);
    uint8_t configuration = 2;
    ASSERT_EQ(ioctl(control, IOCTL_BULK_SELECT_CONFIGURATION, {&configuration, 1}, 0).status,
              STATUS_SUCCESS);
    EXPECT_EQ(bus.configuration(pdo(first)), 1);
    EXPECT_EQ(bus.configuration(pdo(second)), 2);

    // The first still moves data on its configuration 1 loopback.
    sim::Handle out = open(first, u"\\PIPE_0");
    sim::Handle in = open(first, u"\\PIPE_1");
    Bytes data = {1, 2, 3, 4};
    ASSERT_EQ(out.write(data.data(), 4).status, STATUS_SUCCESS);
    Bytes back(16);
    sim::AppResult read = in.read(back.data(), (ULONG)back.size());
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(read.information, 4u);
}

// An internal device control request sent by the application side with an unknown code: passed
// down, the bus answers it. Once removal has begun the remove lock refuses it.
TEST_F(FrameTest, PassDownStopsOnceRemovalHasBegun) {
    ASSERT_EQ(loadDriver(), STATUS_SUCCESS);
    int node = plugInstrument();
    sim::Handle handle = open(node, u"\\PIPE_1");

    constexpr ULONG kUnknownInternal = 0x00220FFF;
    auto before = system.kernel().deviceIoControl(handle.fileObject(), kUnknownInternal, nullptr, 0,
                                                  nullptr, 0, true);
    EXPECT_NE(before->wait().status, STATUS_DELETE_PENDING);

    // A read waits at the bus and keeps the remove lock, so removal waits for it.
    bus.setBulkCompletionMode(sim::usb::CompletionMode::Held);
    Bytes buffer(64);
    auto read = handle.readAsync(buffer.data(), (ULONG)buffer.size());
    ASSERT_TRUE(bus.waitForHeld(1));
    std::thread remover([&] { system.remove(node); });

    NTSTATUS refused = STATUS_SUCCESS;
    for (int attempt = 0; attempt < 5000 && refused != STATUS_DELETE_PENDING; attempt++) {
        size_t traced = bus.trace().size();
        auto request = system.kernel().deviceIoControl(handle.fileObject(), kUnknownInternal,
                                                       nullptr, 0, nullptr, 0, true);
        sim::IoResult result = request->wait();
        refused = result.status;
        if (refused == STATUS_DELETE_PENDING) {
            EXPECT_EQ(result.information, 0u);
            EXPECT_EQ(bus.trace().size(), traced) << "a refused request never goes down";
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    EXPECT_EQ(refused, STATUS_DELETE_PENDING);

    for (const auto& held : bus.heldUrbs()) {
        bus.completeHeld(held.id, sim::usb::HeldCompletion{USBD_STATUS_SUCCESS, {1, 2, 3}, {}});
    }
    read->wait();
    remover.join();
}

// A lower filter between the driver and the bus, as a filter driver of the system may be: the
// requests the driver only passes through arrive there unchanged, and what the driver waits for
// below it is waited for also when the driver below answers later.
class FilteredFrameTest : public FrameTest {
  protected:
    int plugThroughFilter() {
        PDEVICE_OBJECT device = bus.attach(std::make_unique<sim::usb::InstrumentModel>());
        filter.attachTo(device);
        return system.plugIn(device);
    }
    static bool isPortReset(const IO_STACK_LOCATION& stack) {
        return stack.MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
               stack.Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_CYCLE_PORT;
    }

    sim::LowerFilter& filter = system.addBus(std::make_unique<sim::LowerFilter>(system.kernel()));
};

TEST_F(FilteredFrameTest, SystemAndInternalControlRequestsGoDownUnchanged) {
    ASSERT_EQ(loadDriver(), STATUS_SUCCESS);
    int node = plugThroughFilter();
    sim::Handle handle = open(node);
    constexpr ULONG kUnknownInternal = 0x00220FFF;
    constexpr UCHAR kQueryAllData = 0x00;  // IRP_MN_QUERY_ALL_DATA, a WMI request
    system.kernel()
        .deviceIoControl(handle.fileObject(), kUnknownInternal, nullptr, 0, nullptr, 0, true)
        ->wait();
    system.kernel()
        .systemRequest(system.kernel().topOfStack(pdo(node)),
                       [&](PIRP, PIO_STACK_LOCATION stack) {
                           stack->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
                           stack->MinorFunction = kQueryAllData;
                       })
        ->wait();
    const auto requests = filter.requests();
    EXPECT_THAT(requests, Contains(sim::LowerFilter::Request{IRP_MJ_INTERNAL_DEVICE_CONTROL, 0,
                                                             kUnknownInternal}));
    EXPECT_THAT(requests,
                Contains(sim::LowerFilter::Request{IRP_MJ_SYSTEM_CONTROL, kQueryAllData, 0}));
}

// The start waits until the driver below has started the device, and the port cycle request
// returns only once the cycle below is done.
TEST_F(FilteredFrameTest, TheDriverWaitsForRequestsThatPendBelowIt) {
    ASSERT_EQ(loadDriver(), STATUS_SUCCESS);
    filter.pendIf([](const IO_STACK_LOCATION& stack) {
        return (stack.MajorFunction == IRP_MJ_PNP && stack.MinorFunction == IRP_MN_START_DEVICE) ||
               isPortReset(stack);
    });
    int node = plugThroughFilter();
    ASSERT_EQ(system.lastStartStatus(node), STATUS_SUCCESS);
    EXPECT_EQ(bus.configuration(pdo(node)), 1);

    sim::Handle handle = open(node);
    filter.hold();
    std::atomic<bool> returned = false;
    sim::AppResult result;
    std::thread caller([&] {
        result = ioctl(handle, IOCTL_BULK_RESET_PORT, {}, 0);
        returned = true;
    });
    auto cycled = [&] {
        const auto records = bus.trace().records();
        return std::any_of(records.begin(), records.end(), [](const auto& record) {
            return record.ioctl == IOCTL_INTERNAL_USB_CYCLE_PORT;
        });
    };
    ASSERT_TRUE(filter.waitForPended(2));
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(returned) << "the request returned before the cycle below was done";
    EXPECT_FALSE(cycled());
    filter.release();
    caller.join();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_TRUE(cycled());
    ASSERT_TRUE(system.waitForPlugAndPlay());
    EXPECT_EQ(system.state(node), sim::DeviceState::Removed) << "the instrument left and came back";
}

}  // namespace
}  // namespace vavedu::test
