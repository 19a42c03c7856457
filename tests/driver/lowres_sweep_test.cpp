// Low resources, systematically: each scenario runs once to learn every allocation site of the
// driver and the support library it reaches, then once per site with every allocation there
// failing. Each run must end in a failure status the driver reports for low resources (or succeed
// where the driver absorbs the failure), leave a state the failure paths allow, leak nothing, and
// a retry without faults must succeed.
#include "tests/driver/sweep_fixture.hpp"

#include <gmock/gmock.h>

#include <iostream>
#include <sstream>

namespace vavedu::test {
namespace {

class LowResourceTest : public SweepFixture {
  public:
    // The driver's and the support library's allocation sites the scenario reaches.
    std::vector<sim::AllocationSite> learnSites(const SweepScenario& scenario) {
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

    void runWithSiteFailing(const SweepScenario& scenario, const sim::AllocationSite& site,
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
};

TEST_P(LowResourceTest, EveryAllocationSiteFailing) {
    const SweepScenario& scenario = GetParam();
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
    writeSweepReport(VAVEDU_LOW_RESOURCE_REPORTS, scenario.name, report.str());
}

INSTANTIATE_TEST_SUITE_P(Scenarios, LowResourceTest, ::testing::ValuesIn(sweepScenarios()),
                         sweepScenarioName);

}  // namespace
}  // namespace vavedu::test
