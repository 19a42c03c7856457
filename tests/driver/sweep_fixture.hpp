// The scenarios the fault sweeps share: each starts from a state built without faults (prepare),
// runs one operation of the driver (operate), and can be retried. The low-resource sweep fails
// every allocation site of an operation in turn, the bus-fault sweep every URB.
#pragma once

#include "tests/driver/driver_fixture.hpp"

#include <functional>
#include <string>
#include <vector>

namespace vavedu::test {

class SweepFixture;

struct SweepScenario {
    const char* name;
    // Builds the state the operation starts from; runs without faults.
    std::function<void(SweepFixture&)> prepare;
    // The operation under test; returns the status its caller (application or Plug and Play
    // manager) sees.
    std::function<NTSTATUS(SweepFixture&)> operate;
    // What the operation may report with an allocation site failing: the driver's status for low
    // resources, or success where the driver absorbs the failure.
    std::vector<NTSTATUS> outcomes = {STATUS_INSUFFICIENT_RESOURCES};
    // After a run with a fault, without faults: fails the test when the driver's state is not
    // one its failure paths leave. May be empty.
    std::function<void(SweepFixture&, NTSTATUS)> checkAfter = {};
    // The retry without faults; the operation again when empty.
    std::function<NTSTATUS(SweepFixture&)> retry = {};
    // The operation reports success whatever became of its URBs.
    bool absorbsBusFaults = false;
};

// The scenarios of both sweeps.
const std::vector<SweepScenario>& sweepScenarios();
// Test names from scenarios.
std::string sweepScenarioName(const ::testing::TestParamInfo<SweepScenario>& info);
// Writes one report per scenario into `directory`, so the runs of the suite (one process per
// test) can be summed up.
void writeSweepReport(const std::string& directory, const std::string& scenario,
                      const std::string& text);

class SweepFixture : public DriverTest, public ::testing::WithParamInterface<SweepScenario> {
  public:
    // The scenarios are plain functions of the fixture.
    using DriverTest::bus;
    using DriverTest::interfaceVisible;
    using DriverTest::ioctl;
    using DriverTest::lastUsbdStatus;
    using DriverTest::loadDriver;
    using DriverTest::open;
    using DriverTest::pdo;
    using DriverTest::system;

    // ---- building blocks of the scenarios
    void load();
    void loadAndPlug();
    NTSTATUS addAndStart();
    void openControl();
    // IOCTL_BULK_RESET_PORT cycles the port: the instrument comes back as a new device node,
    // which the scenario works on from then on (its start, or its interface, may have failed
    // for low resources).
    NTSTATUS cyclePort();
    // The retry of a cycle: on a fresh device when the one that came back cannot be opened.
    NTSTATUS cyclePortAgain();
    void openPipes();
    NTSTATUS addDevice();
    NTSTATUS selectConfiguration(uint8_t value);
    NTSTATUS selectInterface(uint8_t number, uint8_t alternate);
    NTSTATUS write(size_t length);
    // Reads the `length` bytes the preparation wrote into the loopback (all of them while
    // exactReads).
    NTSTATUS read(size_t length = 100);
    NTSTATUS writeWithZeroLengthPacket();
    NTSTATUS getDescriptor(uint8_t type);
    NTSTATUS resetPipe(uint8_t pipeIndex = 1, uint8_t interfaceIndex = 0);
    NTSTATUS controlRequest(const SETUP_PACKET& packet, ULONG outputLength);
    // A close always completes (the driver has no cleanup routine, so the cleanup's status is
    // not the close's).
    NTSTATUS closeFirstHandle();
    // The driver is unconfigured: a pipe of configuration 1 refuses I/O.
    void expectUnconfigured();

    // Closes every handle and takes the device away (removal, then the device leaves the bus),
    // so the next run starts from the loaded driver.
    void tearDownDevice();
    void tearDown();
    void expectNothingOutstanding(const sim::AllocationCounters& baseline, const std::string& when);

    int node = -1;                         // the device the operations work on: the last added
    std::vector<int> nodes;                // every device node added
    std::vector<PDEVICE_OBJECT> attached;  // every device plugged into the bus
    sim::Handle control, out, in;
    uint32_t writes = 0;
    bool exactReads = true;  // a read must return all the preparation wrote
};

}  // namespace vavedu::test
