// Bus faults, systematically: each scenario runs once to learn the URBs it sends (its URB sites),
// then once per site and class of USB failure with that URB failing. Each run must end in the
// status the bus gave the URB (or succeed where the operation absorbs it), report the URB's USBD
// status through IOCTL_BULK_GET_LAST_USBD_STATUS when it was the operation's last, leave a state
// the failure paths allow, leak nothing, and a retry without faults (after a pipe reset where a
// stall halted an endpoint) must succeed.
#include "tests/driver/sweep_fixture.hpp"

#include <gmock/gmock.h>

#include <iostream>
#include <sstream>

namespace vavedu::test {
namespace {

using sim::usb::Fault;

struct FaultClass {
    const char* name;
    Fault fault;
    USBD_STATUS usbd;  // USBD_STATUS_SUCCESS: the class does not fail the URB by itself
};

// Short data: the device ends an IN stage with a short packet of three bytes (OUT stages and URBs
// without data go through).
const FaultClass kFaultClasses[] = {
    {"stall", Fault::of(Fault::Kind::Stall), USBD_STATUS_STALL_PID},
    {"crc", Fault::of(Fault::Kind::Crc), USBD_STATUS_CRC},
    {"timeout", Fault::of(Fault::Kind::Timeout), USBD_STATUS_TIMEOUT},
    {"not-responding", Fault::of(Fault::Kind::NotResponding), USBD_STATUS_DEV_NOT_RESPONDING},
    {"device-gone", Fault::of(Fault::Kind::DeviceGone), USBD_STATUS_DEVICE_GONE},
    {"cancelled", Fault::of(Fault::Kind::Cancelled), USBD_STATUS_CANCELED},
    {"short-data", Fault::shortData(3), USBD_STATUS_SUCCESS},
};

// The endpoints of the instrument's pipes by the driver's pipe and interface index.
struct PipeOfEndpoint {
    uint8_t endpoint, pipeIndex, interfaceIndex;
};
constexpr PipeOfEndpoint kPipes[] = {{0x01, 0, 0}, {0x81, 1, 0}, {0x02, 0, 1}, {0x86, 1, 1}};

class BusFaultTest : public SweepFixture {
  public:
    PDEVICE_OBJECT target() { return node >= 0 ? pdo(node) : nullptr; }
    unsigned accepted() { return bus.urbsAccepted(); }

    // The URBs the scenario's operation sends, one line each.
    std::vector<std::string> learnSites(const SweepScenario& scenario) {
        scenario.prepare(*this);
        const unsigned before = accepted();
        const size_t mark = bus.trace().size();
        NTSTATUS status = scenario.operate(*this);
        EXPECT_EQ(status, STATUS_SUCCESS) << "without faults: " << sim::statusName(status);
        const unsigned count = accepted() - before;
        std::vector<std::string> sites;
        std::vector<sim::usb::TraceRecord> records = bus.trace().records();
        for (size_t i = mark; i < records.size(); ++i) {
            if (!records[i].completion && records[i].ioctl == 0)
                sites.push_back(describeSite(records[i]));
        }
        EXPECT_EQ(sites.size(), count) << "URBs the bus refused in a run without faults";
        sites.resize(count, "URB");
        tearDown();
        return sites;
    }

    static std::string describeSite(const sim::usb::TraceRecord& record) {
        std::ostringstream text;
        text << sim::usb::urbFunctionName(record.function);
        if (record.setup)
            text << " request " << int(record.setup->request);
        else if (record.endpoint != 0)
            text << " ep 0x" << std::hex << int(record.endpoint);
        return text.str();
    }

    // Resets every pipe whose endpoint a failed transfer left halted (the host controller's side
    // or the device's); the retry needs it.
    void resetHaltedPipes() {
        if (target() == nullptr)
            return;
        for (const PipeOfEndpoint& pipe : kPipes) {
            if (!bus.halted(target(), pipe.endpoint) && !bus.hostHalted(target(), pipe.endpoint))
                continue;
            if (!control.valid())
                control = open(node);
            EXPECT_EQ(resetPipe(pipe.pipeIndex, pipe.interfaceIndex), STATUS_SUCCESS);
            EXPECT_FALSE(bus.halted(target(), pipe.endpoint));
            EXPECT_FALSE(bus.hostHalted(target(), pipe.endpoint));
        }
    }

    void expectOutcome(const SweepScenario& scenario, const FaultClass& fault, NTSTATUS status,
                       bool lastOfOperation) {
        std::vector<NTSTATUS> allowed = {sim::usb::ntStatusForUsbd(fault.usbd)};
        if (scenario.absorbsBusFaults)
            allowed.push_back(STATUS_SUCCESS);
        // Short data is no error of the bus; a short descriptor is the driver's to refuse.
        if (fault.usbd == USBD_STATUS_SUCCESS)
            allowed.push_back(STATUS_DEVICE_CONFIGURATION_ERROR);
        EXPECT_THAT(allowed, ::testing::Contains(status)) << sim::statusName(status);
        if (status < 0 && lastOfOperation && control.valid()) {
            EXPECT_EQ(lastUsbdStatus(control), fault.usbd);
        }
    }

    // One run with the URB at `ordinal` of the operation failing.
    void runWithUrbFailing(const SweepScenario& scenario, unsigned ordinal, const FaultClass& fault,
                           const sim::AllocationCounters& baseline) {
        scenario.prepare(*this);
        exactReads = false;  // a URB failing within a read takes its data with it
        const unsigned before = accepted();
        bus.failUrb(ordinal, fault.fault);
        NTSTATUS status = scenario.operate(*this);
        const unsigned sent = accepted() - before;
        EXPECT_GT(sent, ordinal) << "the run did not reach the URB";
        expectOutcome(scenario, fault, status, sent == ordinal + 1);
        if (scenario.checkAfter)
            scenario.checkAfter(*this, status);
        resetHaltedPipes();
        NTSTATUS retried = scenario.retry ? scenario.retry(*this) : scenario.operate(*this);
        EXPECT_EQ(retried, STATUS_SUCCESS) << "retry: " << sim::statusName(retried);
        exactReads = true;
        tearDown();
        expectNothingOutstanding(baseline, "after the run");
    }
};

TEST_P(BusFaultTest, EveryUrbFailingWithEachStatus) {
    const SweepScenario& scenario = GetParam();
    sim::AllocationCounters baseline = counters();
    std::vector<std::string> sites = learnSites(scenario);
    expectNothingOutstanding(baseline, "after the run without faults");

    std::ostringstream report;
    report << "scenario " << scenario.name << ": " << sites.size() << " URB sites, "
           << sites.size() * std::size(kFaultClasses) << " outcomes\n";
    for (unsigned ordinal = 0; ordinal < sites.size(); ++ordinal) {
        report << "  " << scenario.name << " #" << ordinal << " " << sites[ordinal] << "\n";
        for (const FaultClass& fault : kFaultClasses) {
            SCOPED_TRACE(std::string("URB #") + std::to_string(ordinal) + " " + sites[ordinal] +
                         " failing with " + fault.name);
            runWithUrbFailing(scenario, ordinal, fault, baseline);
            if (HasFatalFailure())
                return;
        }
    }
    std::cout << report.str();
    writeSweepReport(VAVEDU_BUS_FAULT_REPORTS, scenario.name, report.str());
}

INSTANTIATE_TEST_SUITE_P(Scenarios, BusFaultTest, ::testing::ValuesIn(sweepScenarios()),
                         sweepScenarioName);

}  // namespace
}  // namespace vavedu::test
