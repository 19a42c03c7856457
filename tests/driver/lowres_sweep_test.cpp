// Low resources, systematically: each scenario runs once to learn every allocation site of the
// driver and the support library it reaches, then once per site with every allocation there
// failing. Each run must end in a failure status the driver reports for low resources (or succeed
// where the driver absorbs the failure), leave a state the failure paths allow, leak nothing, and
// a retry without faults must succeed.
#include "tests/driver/driver_fixture.hpp"

#include <gmock/gmock.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <sstream>

namespace vavedu::test {
namespace {

class LowResourceTest;

struct Scenario {
    const char* name;
    // Builds the state the operation starts from; runs without faults.
    std::function<void(LowResourceTest&)> prepare;
    // The operation under test; returns the status its caller (application or Plug and Play
    // manager) sees.
    std::function<NTSTATUS(LowResourceTest&)> operate;
    // What the operation may report with a site failing: the driver's status for low resources,
    // or success where the driver absorbs the failure.
    std::vector<NTSTATUS> outcomes = {STATUS_INSUFFICIENT_RESOURCES};
    // After the run with a site failing, without faults: fails the test when the driver's state
    // is not one its failure paths leave. May be empty.
    std::function<void(LowResourceTest&, NTSTATUS)> checkAfter = {};
    // The retry without faults; the operation again when empty.
    std::function<NTSTATUS(LowResourceTest&)> retry = {};
};

class LowResourceTest : public DriverTest, public ::testing::WithParamInterface<Scenario> {
  public:
    // The scenarios are plain functions of the fixture.
    using DriverTest::bus;
    using DriverTest::interfaceVisible;
    using DriverTest::ioctl;
    using DriverTest::loadDriver;
    using DriverTest::open;
    using DriverTest::system;

    // ---- building blocks of the scenarios
    void load() { ASSERT_EQ(loadDriver(), STATUS_SUCCESS); }
    void loadAndPlug() {
        load();
        ASSERT_EQ(addDevice(), STATUS_SUCCESS);
        ASSERT_EQ(system.start(node), STATUS_SUCCESS);
    }
    NTSTATUS addAndStart() {
        NTSTATUS status = addDevice();
        return status < 0 ? status : system.start(node);
    }
    void openControl() {
        loadAndPlug();
        control = open(node);
    }
    // IOCTL_BULK_RESET_PORT cycles the port: the instrument comes back as a new device node,
    // which the scenario works on from then on (its start, or its interface, may have failed for
    // low resources).
    NTSTATUS cyclePort() {
        const PDEVICE_OBJECT old = system.pdo(node);
        const NTSTATUS status = ioctl(control, IOCTL_BULK_RESET_PORT, {}, 0).status;
        EXPECT_TRUE(system.waitForPlugAndPlay());
        if (system.nodeCount() - 1 != node) {
            control.close();
            std::erase(attached, old);  // it left the bus
            node = system.nodeCount() - 1;
            nodes.push_back(node);
            attached.push_back(system.pdo(node));
            if (system.state(node) == sim::DeviceState::Started && interfaceVisible(node))
                control = open(node);
        }
        return status;
    }
    // The retry of a cycle: on a fresh device when the one that came back cannot be opened.
    NTSTATUS cyclePortAgain() {
        if (!control.valid()) {
            tearDownDevice();
            EXPECT_EQ(addAndStart(), STATUS_SUCCESS);
            control = open(node);
        }
        return cyclePort();
    }
    void openPipes() {
        openControl();
        out = open(node, u"\\PIPE_0");
        in = open(node, u"\\PIPE_1");
    }

    NTSTATUS addDevice() {
        PDEVICE_OBJECT device = bus.attach(std::make_unique<sim::usb::InstrumentModel>());
        if (device == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
        attached.push_back(device);
        NTSTATUS status = system.addDevice(device, &node);
        nodes.push_back(node);
        return status;
    }
    NTSTATUS selectConfiguration(uint8_t value) {
        return ioctl(control, IOCTL_BULK_SELECT_CONFIGURATION, {&value, 1}, 0).status;
    }
    NTSTATUS selectInterface(uint8_t number, uint8_t alternate) {
        uint8_t selection[2] = {number, alternate};
        return ioctl(control, IOCTL_BULK_SELECT_INTERFACE, selection, 0).status;
    }
    NTSTATUS write(size_t length) {
        Bytes data = pattern(length, ++writes);
        sim::AppResult result = out.write(data.data(), (ULONG)data.size());
        if (result.ok()) {
            EXPECT_EQ(result.information, length);
        }
        return result.status;
    }
    // Reads what the preparation wrote into the loopback.
    NTSTATUS read() {
        Bytes back(512);
        sim::AppResult result = in.read(back.data(), (ULONG)back.size());
        if (result.ok()) {
            EXPECT_EQ(result.information, 100u);
        }
        return result.status;
    }
    NTSTATUS writeWithZeroLengthPacket() {
        EXPECT_EQ(zeroLengthPacketMode(out, 1).status, STATUS_SUCCESS);
        return write(1024);
    }
    NTSTATUS getDescriptor(uint8_t type) {
        VAVEDU_GET_DESCRIPTOR_INPUT input{};
        input.DescriptorType = type;
        const auto* bytes = reinterpret_cast<const uint8_t*>(&input);
        return ioctl(control, IOCTL_BULK_GET_DESCRIPTOR, {bytes, sizeof(input)}, 255).status;
    }
    NTSTATUS resetPipe() {
        VAVEDU_RESET_PIPE_INPUT input{};
        input.PipeIndex = 1;
        const auto* bytes = reinterpret_cast<const uint8_t*>(&input);
        return ioctl(control, IOCTL_BULK_RESET_PIPE, {bytes, sizeof(input)}, 0).status;
    }
    NTSTATUS control_(const SETUP_PACKET& packet, ULONG outputLength) {
        return controlTransfer(control, packet, {}, outputLength).status;
    }
    // A close always completes (the driver has no cleanup routine, so the cleanup's status is
    // not the close's).
    NTSTATUS closeFirstHandle() {
        control.close();
        return STATUS_SUCCESS;
    }

    // The driver is unconfigured: a pipe of configuration 1 refuses I/O.
    void expectUnconfigured() {
        sim::Handle pipe = open(node, u"\\PIPE_0");
        Bytes one = {1};
        EXPECT_EQ(pipe.write(one.data(), 1).status, STATUS_INVALID_DEVICE_STATE);
    }

    // Closes every handle and takes the device away (removal, then the device leaves the bus),
    // so the next run starts from the loaded driver.
    void tearDownDevice() {
        for (sim::Handle* handle : {&out, &in, &control}) {
            if (handle->valid())
                handle->close();
        }
        for (int added : nodes) {
            if (system.state(added) != sim::DeviceState::Removed)
                system.remove(added);
        }
        for (PDEVICE_OBJECT device : attached) {
            bus.unplug(device);
        }
        nodes.clear();
        attached.clear();
        node = -1;
    }
    void tearDown() {
        tearDownDevice();
        if (system.driverLoaded())
            system.unloadDriver();
    }

    // The driver's and the support library's allocation sites the scenario reaches.
    std::vector<sim::AllocationSite> learnSites(const Scenario& scenario) {
        scenario.prepare(*this);
        system.kernel().resetSitesReached();
        NTSTATUS status = scenario.operate(*this);
        EXPECT_EQ(status, STATUS_SUCCESS) << "without faults: " << sim::statusName(status);
        std::vector<sim::AllocationSite> sites;
        for (const sim::AllocationSite& site : system.kernel().sitesReached()) {
            if (site.image == "libVaVedu.so" || site.image == "libZaDar.so") {
                sites.push_back(site);
            }
        }
        tearDown();
        return sites;
    }

    void expectNothingOutstanding(const sim::AllocationCounters& baseline,
                                  const std::string& when) {
        sim::AllocationCounters now = counters();
        for (int kind = 0; kind < sim::kAllocationKinds; kind++) {
            EXPECT_EQ(now.outstanding[kind], baseline.outstanding[kind])
                << sim::toString(static_cast<sim::AllocationKind>(kind)) << " " << when << "\n"
                << system.kernel().leakReport();
        }
    }

    void runWithSiteFailing(const Scenario& scenario, const sim::AllocationSite& site,
                            const sim::AllocationCounters& baseline) {
        SCOPED_TRACE(site.describe());
        scenario.prepare(*this);
        system.kernel().setFaultPolicy(sim::FaultPolicy::failSite(site));
        NTSTATUS status = scenario.operate(*this);
        system.kernel().setFaultPolicy(sim::FaultPolicy::none());
        EXPECT_THAT(scenario.outcomes, ::testing::Contains(status)) << sim::statusName(status);
        if (scenario.checkAfter)
            scenario.checkAfter(*this, status);
        NTSTATUS retried = scenario.retry ? scenario.retry(*this) : scenario.operate(*this);
        EXPECT_EQ(retried, STATUS_SUCCESS) << "retry: " << sim::statusName(retried);
        tearDown();
        expectNothingOutstanding(baseline, "after the run");
    }

    int node = -1;                         // the device the operations work on: the last added
    std::vector<int> nodes;                // every device node added
    std::vector<PDEVICE_OBJECT> attached;  // every device plugged into the bus
    sim::Handle control, out, in;
    uint32_t writes = 0;
};

// One file per scenario, so that the runs of the suite (one process per test) can be summed up.
void writeReport(const std::string& scenario, const std::string& text) {
    std::filesystem::path directory = VAVEDU_LOW_RESOURCE_REPORTS;
    std::filesystem::create_directories(directory);
    std::ofstream(directory / (scenario + ".txt")) << text;
}

TEST_P(LowResourceTest, EveryAllocationSiteFailing) {
    const Scenario& scenario = GetParam();
    sim::AllocationCounters baseline = counters();
    std::vector<sim::AllocationSite> sites = learnSites(scenario);
    expectNothingOutstanding(baseline, "after the run without faults");

    std::ostringstream report;
    report << "scenario " << scenario.name << ": " << sites.size() << " sites\n";
    for (const sim::AllocationSite& site : sites) {
        report << "  " << site.describe() << "\n";
        runWithSiteFailing(scenario, site, baseline);
        if (HasFatalFailure())
            return;
    }
    std::cout << report.str();
    writeReport(scenario.name, report.str());
}

SETUP_PACKET setup(uint8_t requestType, uint8_t request, uint16_t value, uint16_t length) {
    SETUP_PACKET packet{};
    packet.bmRequestType = requestType;
    packet.bRequest = request;
    packet.wValue = value;
    packet.wLength = length;
    return packet;
}

using T = LowResourceTest;
constexpr uint8_t kVendorIn = 0xC0, kVendorOut = 0x40, kStandardOut = 0x00;

const std::vector<NTSTATUS> kAbsorbed = {STATUS_SUCCESS};
const std::vector<NTSTATUS> kFailedOrAbsorbed = {STATUS_INSUFFICIENT_RESOURCES, STATUS_SUCCESS};

void expectUnconfiguredAfterFailure(T& t, NTSTATUS status) {
    if (status < 0)
        t.expectUnconfigured();
}

const Scenario kScenarios[] = {
    {"Load",
     [](T&) {},
     [](T& t) { return t.loadDriver(); },
     {STATUS_INSUFFICIENT_RESOURCES},
     [](T& t, NTSTATUS) { EXPECT_FALSE(t.system.driverLoaded()); }},
    // Without its interface the device is still taken in; the interface comes at the start.
    {"AddDevice", [](T& t) { t.load(); }, [](T& t) { return t.addDevice(); }, kFailedOrAbsorbed,
     [](T& t, NTSTATUS status) {
         if (status < 0) {
             EXPECT_EQ(t.system.driverObject()->DeviceObject, nullptr);
         } else {
             EXPECT_EQ(t.system.start(t.node), STATUS_SUCCESS);
             EXPECT_TRUE(t.interfaceVisible(t.node));
         }
     },
     [](T& t) { return t.addAndStart(); }},
    {"Start",
     [](T& t) {
         t.load();
         ASSERT_EQ(t.addDevice(), STATUS_SUCCESS);
     },
     [](T& t) { return t.system.start(t.node); },
     {STATUS_INSUFFICIENT_RESOURCES},
     [](T& t, NTSTATUS) { EXPECT_FALSE(t.interfaceVisible(t.node)); },
     [](T& t) { return t.addAndStart(); }},
    {"SelectConfiguration1",
     [](T& t) { t.openControl(); },
     [](T& t) { return t.selectConfiguration(1); },
     {STATUS_INSUFFICIENT_RESOURCES},
     expectUnconfiguredAfterFailure},
    {"SelectConfiguration2",
     [](T& t) { t.openControl(); },
     [](T& t) { return t.selectConfiguration(2); },
     {STATUS_INSUFFICIENT_RESOURCES},
     expectUnconfiguredAfterFailure},
    {"SelectInterface0Alternate1", [](T& t) { t.openControl(); },
     [](T& t) { return t.selectInterface(0, 1); }},
    {"SelectInterface1", [](T& t) { t.openControl(); },
     [](T& t) { return t.selectInterface(1, 0); }},
    {"OpenPipe", [](T& t) { t.openControl(); },
     [](T& t) { return t.open(t.node, u"\\PIPE_0", &t.out); }},
    // The first close sends the close request; a failure to send it is not the application's.
    {"FirstClose",
     [](T& t) { t.openControl(); },
     [](T& t) { return t.closeFirstHandle(); },
     kAbsorbed,
     {},
     [](T& t) {
         t.control = t.open(t.node);
         return t.ioctl(t.control, IOCTL_BULK_GET_DRIVER_VERSION, {}, 4).status;
     }},
    {"Write", [](T& t) { t.openPipes(); }, [](T& t) { return t.write(100); }},
    {"WriteOfSeveralChunks", [](T& t) { t.openPipes(); },
     [](T& t) { return t.write(3 * 16384 + 100); }},
    {"WriteWithZeroLengthPacket", [](T& t) { t.openPipes(); },
     [](T& t) { return t.writeWithZeroLengthPacket(); }},
    {"Read",
     [](T& t) {
         t.openPipes();
         ASSERT_EQ(t.write(100), STATUS_SUCCESS);
     },
     [](T& t) { return t.read(); }},
    {"GetDeviceDescriptor", [](T& t) { t.openControl(); },
     [](T& t) { return t.getDescriptor(USB_DEVICE_DESCRIPTOR_TYPE); }},
    {"GetConfigurationDescriptor", [](T& t) { t.openControl(); },
     [](T& t) { return t.getDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE); }},
    {"ResetPipe", [](T& t) { t.openControl(); }, [](T& t) { return t.resetPipe(); }},
    // The port cycle is reported as done whatever became of it, or of the new device.
    {"ResetPort",
     [](T& t) { t.openControl(); },
     [](T& t) { return t.cyclePort(); },
     kAbsorbed,
     {},
     [](T& t) { return t.cyclePortAgain(); }},
    {"VendorControlIn", [](T& t) { t.openControl(); },
     [](T& t) { return t.control_(setup(kVendorIn, 0x01, 0, 64), 64); }},
    {"VendorControlOut", [](T& t) { t.openControl(); },
     [](T& t) { return t.control_(setup(kVendorOut, 0x02, 0, 0), 0); }},
    {"SetConfigurationByControlTransfer",
     [](T& t) { t.openControl(); },
     [](T& t) { return t.control_(setup(kStandardOut, USB_REQUEST_SET_CONFIGURATION, 2, 0), 0); },
     {STATUS_INSUFFICIENT_RESOURCES},
     expectUnconfiguredAfterFailure},
};

INSTANTIATE_TEST_SUITE_P(Scenarios, LowResourceTest, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vavedu::test
