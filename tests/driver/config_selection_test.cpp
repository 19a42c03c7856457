// Configuration and interface selection on the model, through the device-control requests, with
// the interface table they fill seen through reads, writes and pipe resets.
#include "tests/driver/driver_fixture.hpp"

#include <atomic>
#include <chrono>
#include <thread>

using namespace std::chrono_literals;

namespace vavedu::test {
namespace {

using sim::usb::CompletionMode;
using sim::usb::ConfigurationBuilder;
using sim::usb::EndpointType;
using sim::usb::Fault;

class SelectionTest : public DriverTest {
  protected:
    void SetUp() override {
        ASSERT_EQ(loadDriver(), STATUS_SUCCESS);
        node = plugInstrument();
        control = open(node);
    }

    NTSTATUS selectConfiguration(uint8_t value) {
        return ioctl(control, IOCTL_BULK_SELECT_CONFIGURATION, {&value, 1}, 0).status;
    }
    NTSTATUS selectInterface(uint8_t number, uint8_t alternate) {
        uint8_t input[2] = {number, alternate};
        return ioctl(control, IOCTL_BULK_SELECT_INTERFACE, input, 0).status;
    }
    NTSTATUS resetPipe(uint8_t pipe, uint8_t interface) {
        uint8_t input[4] = {pipe, interface, 0, 0};
        return ioctl(control, IOCTL_BULK_RESET_PIPE, input, 0).status;
    }
    // A write of `length` bytes on a pipe, its status.
    NTSTATUS writeTo(std::u16string_view suffix, size_t length) {
        sim::Handle handle;
        NTSTATUS status = open(node, suffix, &handle);
        if (status < 0)
            return status;
        Bytes data(length, 0x33);
        return handle.write(data.data(), (ULONG)data.size()).status;
    }
    // Starts a read of the loopback IN pipe that the bus holds, so its queue is busy.
    std::unique_ptr<sim::UserRequest> holdRead(sim::Handle& in, Bytes& buffer) {
        bus.setBulkCompletionMode(CompletionMode::Held);
        auto read = in.readAsync(buffer.data(), (ULONG)buffer.size());
        EXPECT_TRUE(bus.waitForHeld(1));
        return read;
    }
    void releaseReads() {
        for (const auto& held : bus.heldUrbs()) {
            bus.completeHeld(held.id, sim::usb::HeldCompletion{USBD_STATUS_SUCCESS, {9}, {}});
        }
        bus.setBulkCompletionMode(CompletionMode::Async);
    }

    int node = -1;
    sim::Handle control;
};

TEST_F(SelectionTest, ABusyQueueRefusesEverySelectionValueZeroToo) {
    sim::Handle in = open(node, u"\\PIPE_1");
    Bytes buffer(64);
    auto read = holdRead(in, buffer);
    EXPECT_EQ(selectConfiguration(1), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(selectConfiguration(0), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(selectConfiguration(2), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(bus.configuration(pdo(node)), 1);
    releaseReads();
    EXPECT_EQ(read->wait().status, STATUS_SUCCESS);
    EXPECT_EQ(selectConfiguration(2), STATUS_SUCCESS);
}

TEST_F(SelectionTest, AnUnknownValueChangesNothing) {
    EXPECT_EQ(selectConfiguration(7), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(writeTo(u"\\PIPE_0", 16), STATUS_SUCCESS);
}

TEST_F(SelectionTest, ValueZeroUnconfigures) {
    EXPECT_EQ(selectConfiguration(0), STATUS_SUCCESS);
    EXPECT_EQ(bus.configuration(pdo(node)), 0);
    EXPECT_EQ(writeTo(u"\\PIPE_0", 16), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(resetPipe(0, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(selectInterface(0, 1), STATUS_DEVICE_CONFIGURATION_ERROR)
        << "no configuration is selected, though the cached one has the setting";
}

TEST_F(SelectionTest, TheSecondConfigurationHasOnePipe) {
    ASSERT_EQ(selectConfiguration(2), STATUS_SUCCESS);
    EXPECT_EQ(bus.configuration(pdo(node)), 2);
    EXPECT_EQ(writeTo(u"\\PIPE_1", 16), STATUS_INVALID_PARAMETER) << "only pipe 0 exists";
    EXPECT_EQ(writeTo(u"\\PIPE_0\\INTERFACE_1", 16), STATUS_INVALID_DEVICE_STATE)
        << "interface 1 of configuration 1 must be gone";
    EXPECT_EQ(resetPipe(0, 1), STATUS_INVALID_PARAMETER);
}

TEST_F(SelectionTest, OnlyAlternateSettingZeroIsTakenAtConfiguration) {
    EXPECT_EQ(bus.alternateSetting(pdo(node), 0), 0);
    // With 512-byte packets a 64-byte write is no multiple of the packet size: no ZLP.
    LONG on = 1;
    ASSERT_EQ(
        ioctl(control, IOCTL_BULK_ZERO_LENGTH_PACKET_MODE, {reinterpret_cast<uint8_t*>(&on), 4}, 0)
            .status,
        STATUS_SUCCESS);
    ASSERT_EQ(writeTo(u"\\PIPE_0", 64), STATUS_SUCCESS);
    EXPECT_EQ(completedOnEndpoint(0x01).size(), 1u);
}

TEST_F(SelectionTest, AFailingSelectionLeavesTheDriverUnconfigured) {
    bus.injectControlFault(pdo(node), USB_REQUEST_SET_CONFIGURATION, Fault::of(Fault::Kind::Stall));
    EXPECT_LT(selectConfiguration(2), 0);
    EXPECT_EQ(lastUsbdStatus(control), (ULONG)USBD_STATUS_STALL_PID);
    EXPECT_EQ(writeTo(u"\\PIPE_0", 16), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(selectConfiguration(1), STATUS_SUCCESS);
    EXPECT_EQ(writeTo(u"\\PIPE_0", 16), STATUS_SUCCESS);
}

TEST_F(SelectionTest, InterfaceSelectionRefusesOnlyABusyPipeOfTheCurrentSetting) {
    sim::Handle in = open(node, u"\\PIPE_1");
    Bytes buffer(64);
    auto read = holdRead(in, buffer);
    EXPECT_EQ(selectInterface(0, 1), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(selectInterface(1, 0), STATUS_SUCCESS) << "interface 1 is idle";
    releaseReads();
    EXPECT_EQ(read->wait().status, STATUS_SUCCESS);
    EXPECT_EQ(selectInterface(0, 1), STATUS_SUCCESS);
}

TEST_F(SelectionTest, AlternateSettingOneHas64BytePackets) {
    ASSERT_EQ(selectInterface(0, 1), STATUS_SUCCESS);
    EXPECT_EQ(bus.alternateSetting(pdo(node), 0), 1);
    LONG on = 1;
    ASSERT_EQ(
        ioctl(control, IOCTL_BULK_ZERO_LENGTH_PACKET_MODE, {reinterpret_cast<uint8_t*>(&on), 4}, 0)
            .status,
        STATUS_SUCCESS);
    ASSERT_EQ(writeTo(u"\\PIPE_0", 64), STATUS_SUCCESS);
    std::vector<sim::usb::TraceRecord> stages = completedOnEndpoint(0x01);
    ASSERT_EQ(stages.size(), 2u) << "64 bytes are one whole packet: a zero-length packet follows";
    EXPECT_EQ(stages[1].requestedLength, 0u);
}

TEST_F(SelectionTest, SelectingTheSettingInForceAgainSucceeds) {
    EXPECT_EQ(selectInterface(0, 0), STATUS_SUCCESS);
    EXPECT_EQ(selectInterface(0, 0), STATUS_SUCCESS);
    EXPECT_EQ(writeTo(u"\\PIPE_0", 16), STATUS_SUCCESS);
}

TEST_F(SelectionTest, InterfaceSelectionRefusals) {
    struct Case {
        uint8_t number, alternate;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {0, 5, STATUS_INVALID_PARAMETER},   // no such setting
        {3, 0, STATUS_INVALID_PARAMETER},   // no such interface
        {10, 0, STATUS_INVALID_PARAMETER},  // beyond the interface table
        {255, 1, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(selectInterface(c.number, c.alternate), c.expected)
            << "interface " << int(c.number) << " setting " << int(c.alternate);
    }
    EXPECT_EQ(writeTo(u"\\PIPE_0", 16), STATUS_SUCCESS) << "nothing changed";
}

TEST_F(SelectionTest, AFailingInterfaceRequestLeavesTheEntryEmpty) {
    bus.injectControlFault(pdo(node), USB_REQUEST_SET_INTERFACE, Fault::of(Fault::Kind::Stall));
    EXPECT_LT(selectInterface(0, 1), 0);
    EXPECT_EQ(writeTo(u"\\PIPE_0", 16), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(writeTo(u"\\PIPE_0\\INTERFACE_1", 16), STATUS_SUCCESS) << "interface 1 untouched";
    EXPECT_EQ(selectInterface(0, 0), STATUS_SUCCESS);
    EXPECT_EQ(writeTo(u"\\PIPE_0", 16), STATUS_SUCCESS);
}

TEST_F(SelectionTest, PipeResetChecksItsIndexes) {
    EXPECT_EQ(resetPipe(0, 0), STATUS_SUCCESS);
    EXPECT_EQ(resetPipe(1, 1), STATUS_SUCCESS);
    EXPECT_EQ(resetPipe(2, 0), STATUS_INVALID_PARAMETER) << "pipe index equal to NumberOfPipes";
    EXPECT_EQ(resetPipe(0, 2), STATUS_INVALID_PARAMETER) << "interface index equal to the count";
}

// Devices of the tests' own making for the table's limits.
class CustomSelectionTest : public DriverTest {
  protected:
    void SetUp() override { ASSERT_EQ(loadDriver(), STATUS_SUCCESS); }
    // "\PIPE_p\INTERFACE_i"
    static std::u16string pipeName(int pipe, int interface) {
        std::string name =
            "\\PIPE_" + std::to_string(pipe) + "\\INTERFACE_" + std::to_string(interface);
        return std::u16string(name.begin(), name.end());
    }
};

// A configuration that announces more interfaces than it has: the bus refuses a selection that
// does not name every interface announced, so the device does not start.
TEST_F(CustomSelectionTest, MoreInterfacesAnnouncedThanPresent) {
    Bytes config = ConfigurationBuilder(1)
                       .interface(0, 0, 0xFF)
                       .endpoint(0x01, EndpointType::Bulk, 512)
                       .interface(1, 0, 0xFF)
                       .endpoint(0x02, EndpointType::Bulk, 512)
                       .build();
    config[4] = 3;  // bNumInterfaces says three
    int node =
        plug(std::make_unique<ScriptedDevice>(testDeviceDescriptor(1), std::vector<Bytes>{config}));
    EXPECT_EQ(system.lastStartStatus(node), STATUS_UNSUCCESSFUL);
    const auto selections = completed(URB_FUNCTION_SELECT_CONFIGURATION);
    ASSERT_FALSE(selections.empty());
    EXPECT_EQ(selections.back().usbdStatus, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
    EXPECT_FALSE(interfaceVisible(node));
}

// Twelve interfaces, in either order: the selection names all twelve, the table keeps numbers 0
// to 9, each in its own entry, and numbers 10 and 11 are refused.
TEST_F(CustomSelectionTest, OnlyInterfacesNumberedBelowTenAreKept) {
    for (bool descending : {false, true}) {
        SCOPED_TRACE(descending ? "descending" : "ascending");
        ConfigurationBuilder builder(1);
        for (int i = 0; i < 12; i++) {
            uint8_t number = (uint8_t)(descending ? 11 - i : i);
            builder.interface(number, 0, 0xFF).endpoint(number + 1, EndpointType::Bulk, 512);
        }
        int node = plug(std::make_unique<ScriptedDevice>(testDeviceDescriptor(1),
                                                         std::vector<Bytes>{builder.build()}));
        ASSERT_EQ(system.lastStartStatus(node), STATUS_SUCCESS);
        sim::Handle control = open(node);
        for (uint8_t number : {0, 1, 9, 10, 11}) {
            SCOPED_TRACE(number);
            NTSTATUS expected = number < 10 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
            sim::Handle handle;
            EXPECT_EQ(open(node, pipeName(0, number), &handle), expected);
            if (number < 10) {
                bus.trace().clear();
                Bytes data(8, 1);
                EXPECT_EQ(handle.write(data.data(), 8).status, STATUS_SUCCESS);
                EXPECT_EQ(stageLengths(number + 1), std::vector<uint32_t>{8});
            }
            uint8_t reset[4] = {0, number, 0, 0};
            EXPECT_EQ(ioctl(control, IOCTL_BULK_RESET_PIPE, reset, 0).status, expected);
            uint8_t select[2] = {number, 0};
            EXPECT_EQ(ioctl(control, IOCTL_BULK_SELECT_INTERFACE, select, 0).status, expected);
        }
        system.remove(node);
    }
}

// Interfaces numbered 1 and 3: entry n holds interface n for every request that names it.
TEST_F(CustomSelectionTest, InterfacesNumberedWithGapsKeepTheirNumbers) {
    Bytes descriptors = testDeviceDescriptor(1);
    Bytes config = ConfigurationBuilder(1)
                       .interface(1, 0, 0xFF)
                       .endpoint(0x01, EndpointType::Bulk, 512)
                       .endpoint(0x81, EndpointType::Bulk, 512)
                       .interface(3, 0, 0xFF)
                       .endpoint(0x03, EndpointType::Bulk, 512)
                       .endpoint(0x83, EndpointType::Bulk, 512)
                       .interface(3, 1, 0xFF)
                       .endpoint(0x03, EndpointType::Bulk, 64)
                       .endpoint(0x83, EndpointType::Bulk, 64)
                       .build();
    descriptors.insert(descriptors.end(), config.begin(), config.end());
    int node = plug(std::make_unique<sim::usb::RawDescriptorModel>(descriptors));
    ASSERT_EQ(system.lastStartStatus(node), STATUS_SUCCESS);
    sim::Handle control = open(node);
    struct Case {
        uint8_t interface;
        NTSTATUS status;
        uint8_t endpoint;  // of the write, when it succeeds
    };
    const Case cases[] = {
        {1, STATUS_SUCCESS, 0x01},
        {3, STATUS_SUCCESS, 0x03},
        {0, STATUS_INVALID_DEVICE_STATE, 0},
        {2, STATUS_INVALID_DEVICE_STATE, 0},
    };
    // Before and after interface 3 gets another setting: interface 1's pipes stay alive.
    for (uint8_t alternate : {0, 1}) {
        uint8_t select[2] = {3, alternate};
        ASSERT_EQ(ioctl(control, IOCTL_BULK_SELECT_INTERFACE, select, 0).status, STATUS_SUCCESS);
        for (const Case& c : cases) {
            SCOPED_TRACE("interface " + std::to_string(c.interface) + " alternate " +
                         std::to_string(alternate));
            sim::Handle out = open(node, pipeName(0, c.interface));
            sim::Handle in = open(node, pipeName(1, c.interface));
            Bytes data = pattern(100), back(512);
            bus.trace().clear();
            EXPECT_EQ(out.write(data.data(), 100).status, c.status);
            if (c.status == STATUS_SUCCESS) {
                EXPECT_EQ(stageLengths(c.endpoint), std::vector<uint32_t>{100});
                EXPECT_EQ(in.read(back.data(), 512).information, 100u);
            }
            uint8_t reset[4] = {0, c.interface, 0, 0};
            EXPECT_EQ(ioctl(control, IOCTL_BULK_RESET_PIPE, reset, 0).status,
                      c.status == STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
        }
    }
}

TEST_F(CustomSelectionTest, ASettingWithoutEndpoints) {
    Bytes config = ConfigurationBuilder(1)
                       .interface(0, 0, 0xFF)
                       .endpoint(0x01, EndpointType::Bulk, 512)
                       .endpoint(0x81, EndpointType::Bulk, 512)
                       .interface(0, 1, 0xFF)
                       .build();
    int node =
        plug(std::make_unique<ScriptedDevice>(testDeviceDescriptor(1), std::vector<Bytes>{config}));
    ASSERT_EQ(system.lastStartStatus(node), STATUS_SUCCESS);
    sim::Handle control = open(node);
    uint8_t selection[2] = {0, 1};
    ASSERT_EQ(ioctl(control, IOCTL_BULK_SELECT_INTERFACE, selection, 0).status, STATUS_SUCCESS);
    sim::Handle pipe = open(node, u"\\PIPE_0");
    Bytes data(8);
    EXPECT_EQ(pipe.write(data.data(), 8).status, STATUS_INVALID_PARAMETER) << "no pipes now";
}

TEST_F(CustomSelectionTest, EveryPipeGetsTheRegistryTransferSize) {
    system.unloadDriver();
    ASSERT_EQ(loadDriver({{std::u16string(kMaxTransferSizeValue), 65536}}), STATUS_SUCCESS);
    int node = plugInstrument();
    for (auto [suffix, endpoint] :
         {std::pair{u"\\PIPE_0", 0x01}, {u"\\PIPE_0\\INTERFACE_1", 0x02}}) {
        sim::Handle handle = open(node, suffix);
        Bytes data(70000, 2);
        ASSERT_EQ(handle.write(data.data(), (ULONG)data.size()).status, STATUS_SUCCESS);
        std::vector<sim::usb::TraceRecord> chunks = completedOnEndpoint((uint8_t)endpoint);
        ASSERT_EQ(chunks.size(), 2u);
        EXPECT_EQ(chunks[0].requestedLength, 65536u);
    }
}

// Every allocation a selection can see fail, one at a time: the failure tables' outcome, nothing
// leaked, and the next attempt succeeds.
class SelectionFaultTest : public SelectionTest {
  protected:
    // The driver's allocation sites reached by `scenario`.
    std::vector<sim::AllocationSite> sitesOf(const std::function<void()>& scenario) {
        system.kernel().resetSitesReached();
        scenario();
        std::vector<sim::AllocationSite> sites;
        for (const auto& site : system.kernel().sitesReached()) {
            if (site.describe().find("libVaVedu") != std::string::npos)
                sites.push_back(site);
        }
        return sites;
    }
};

TEST_F(SelectionFaultTest, ConfigurationSelectionUnderEveryAllocationFailure) {
    auto sites = sitesOf([&] { ASSERT_EQ(selectConfiguration(1), STATUS_SUCCESS); });
    ASSERT_GE(sites.size(), 4u) << "list, request block, request packet, interface copies";
    uint64_t poolBefore = system.kernel().counters().outstandingOf(sim::AllocationKind::Pool);
    for (const sim::AllocationSite& site : sites) {
        system.kernel().setFaultPolicy(sim::FaultPolicy::failSite(site, 1));
        EXPECT_EQ(selectConfiguration(1), STATUS_INSUFFICIENT_RESOURCES) << site.describe();
        system.kernel().setFaultPolicy(sim::FaultPolicy::none());
        EXPECT_EQ(writeTo(u"\\PIPE_0", 4), STATUS_INVALID_DEVICE_STATE)
            << "unconfigured after " << site.describe();
        EXPECT_EQ(selectConfiguration(1), STATUS_SUCCESS) << "retry after " << site.describe();
        EXPECT_EQ(system.kernel().counters().outstandingOf(sim::AllocationKind::Pool), poolBefore);
    }
}

TEST_F(SelectionFaultTest, InterfaceSelectionUnderEveryAllocationFailure) {
    auto sites = sitesOf([&] { ASSERT_EQ(selectInterface(0, 1), STATUS_SUCCESS); });
    ASSERT_GE(sites.size(), 3u) << "request block, request packet, interface copy";
    uint64_t poolBefore = system.kernel().counters().outstandingOf(sim::AllocationKind::Pool);
    for (size_t i = 0; i < sites.size(); i++) {
        system.kernel().setFaultPolicy(sim::FaultPolicy::failSite(sites[i], 1));
        EXPECT_EQ(selectInterface(0, 1), STATUS_INSUFFICIENT_RESOURCES) << sites[i].describe();
        system.kernel().setFaultPolicy(sim::FaultPolicy::none());
        // Without a request block nothing changed; later failures leave the entry empty.
        NTSTATUS expected = i == 0 ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
        EXPECT_EQ(writeTo(u"\\PIPE_0", 4), expected) << sites[i].describe();
        EXPECT_EQ(selectInterface(0, 1), STATUS_SUCCESS) << "retry after " << sites[i].describe();
        EXPECT_EQ(system.kernel().counters().outstandingOf(sim::AllocationKind::Pool), poolBefore);
    }
}

TEST_F(SelectionFaultTest, StartUnderEveryAllocationFailure) {
    uint64_t poolBefore = system.kernel().counters().outstandingOf(sim::AllocationKind::Pool);
    std::vector<sim::AllocationSite> sites;
    auto recorded = sitesOf([&] {
        int other = plugInstrument();
        system.remove(other);
    });
    ASSERT_GE(recorded.size(), 6u) << "device object, requests, cache, selection";
    for (const sim::AllocationSite& site : recorded) {
        system.kernel().setFaultPolicy(sim::FaultPolicy::failSite(site, 1));
        PDEVICE_OBJECT device = bus.attach(std::make_unique<sim::usb::InstrumentModel>());
        int other = -1;
        NTSTATUS added = system.addDevice(device, &other);
        if (added >= 0) {
            NTSTATUS started = system.start(other);
            EXPECT_TRUE(started == STATUS_SUCCESS || started == STATUS_INSUFFICIENT_RESOURCES)
                << sim::statusName(started) << " at " << site.describe();
        } else {
            EXPECT_EQ(added, STATUS_INSUFFICIENT_RESOURCES) << site.describe();
        }
        system.kernel().setFaultPolicy(sim::FaultPolicy::none());
        if (added >= 0)
            system.remove(other);
        EXPECT_EQ(system.kernel().counters().outstandingOf(sim::AllocationKind::Pool), poolBefore)
            << "after " << site.describe() << ": " << system.kernel().leakReport();
    }
}

}  // namespace
// An application thread suspended while its selection waits for the device must not hold up a
// surprise removal, which needs the selection lock to stop the device.
TEST_F(SelectionTest, ASuspendedSelectionDoesNotHoldUpSurpriseRemoval) {
    system.kernel().setHangLimit(std::chrono::seconds(5));
    bus.setControlCompletionMode(CompletionMode::Held);
    std::atomic<sim::ThreadId> selector{0};
    std::thread application([&] {
        selector = sim::currentThreadId();
        selectConfiguration(1);
    });
    ASSERT_TRUE(bus.waitForHeld(1));
    system.kernel().suspendThread(selector);
    // It is stopped in its wait for the device unless it holds the lock in a critical region.
    bool stoppedInsideTheLock = system.kernel().waitUntilSuspended(selector, 200ms);
    bus.setControlCompletionMode(CompletionMode::Inline);
    bus.releaseHeld(bus.heldUrbs().front().id);
    EXPECT_EQ(system.surpriseRemove(node), STATUS_SUCCESS);
    system.kernel().resumeThread(selector);
    application.join();
    EXPECT_FALSE(stoppedInsideTheLock);
    control.close();
    EXPECT_EQ(system.remove(node), STATUS_SUCCESS);
}

}  // namespace vavedu::test
