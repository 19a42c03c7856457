// IOCTL_BULK_RESET_PORT cycles the instrument's port through the bus: the request completes, the
// reads and writes at the bus or waiting in the driver's queues fail as the device goes, open
// handles end there, nothing is left behind, and the instrument comes back as a new device that
// applications find again through its interface.
#include "tests/driver/driver_fixture.hpp"

#include <usbioctl.h>

#include <thread>

namespace vavedu::test {
namespace {

using namespace std::chrono_literals;

class PortCycle : public DriverTest {
  protected:
    void SetUp() override {
        ASSERT_EQ(loadDriver(), STATUS_SUCCESS);
        node = plugInstrument();
        baseline = counters();
    }
    static NTSTATUS statusOf(std::unique_ptr<sim::UserRequest>& request) {
        auto result = request->waitFor(10s);
        EXPECT_TRUE(result.has_value()) << "the request did not complete";
        return result ? result->status : STATUS_PENDING;
    }
    bool waitForPendingUrbs(size_t count) {
        for (int i = 0; i < 1000 && bus.pendingCount() < count; ++i)
            std::this_thread::sleep_for(1ms);
        return bus.pendingCount() >= count;
    }

    int node = -1;
    sim::AllocationCounters baseline;
};

TEST_F(PortCycle, HandlesEndRequestsFailAndTheInstrumentComesBack) {
    sim::Handle control = open(node);
    sim::Handle in = open(node, u"\\PIPE_1");
    Bytes first(512), second(512);
    auto atTheBus = in.readAsync(first.data(), 512);  // the loopback is empty: it waits there
    auto queued = in.readAsync(second.data(), 512);   // behind it in the driver's queue
    ASSERT_TRUE(waitForPendingUrbs(1));

    const sim::AppResult cycle = ioctl(control, IOCTL_BULK_RESET_PORT, {}, 0);
    EXPECT_EQ(cycle.status, STATUS_SUCCESS);
    EXPECT_EQ(cycle.information, 0u);
    EXPECT_LT(statusOf(atTheBus), 0) << "the read at the bus fails as the device goes";
    EXPECT_LT(statusOf(queued), 0) << "the queued read fails with it";
    ASSERT_TRUE(system.waitForPlugAndPlay());
    bool cycled = false;
    for (const auto& record : bus.trace().records())
        cycled = cycled || record.ioctl == IOCTL_INTERNAL_USB_CYCLE_PORT;
    EXPECT_TRUE(cycled) << "the bus got the port cycle";
    EXPECT_EQ(bus.portResets(pdo(node)), 0u) << "a cycle, not a reset in place";

    Bytes data = pattern(64);
    EXPECT_LT(control.write(data.data(), 64).status, 0) << "the old handle ended";
    EXPECT_EQ(system.state(node), sim::DeviceState::Removed);
    control.close();
    in.close();

    const int fresh = system.nodeCount() - 1;
    ASSERT_NE(fresh, node) << "the instrument was enumerated again";
    EXPECT_EQ(system.state(fresh), sim::DeviceState::Started);
    EXPECT_NE(system.functionalDevice(fresh), nullptr);
    EXPECT_EQ(system.interfacePaths(interfaceGuid()).size(), 1u);
    sim::Handle again = open(fresh);
    Bytes back(64);
    EXPECT_EQ(again.write(data.data(), 64).information, 64u);
    EXPECT_EQ(again.read(back.data(), 64).information, 64u);
    EXPECT_EQ(back, data);
    again.close();
    const sim::AllocationCounters now = counters();
    for (auto kind :
         {sim::AllocationKind::Pool, sim::AllocationKind::Mdl, sim::AllocationKind::Irp}) {
        EXPECT_EQ(now.outstandingOf(kind), baseline.outstandingOf(kind))
            << sim::toString(kind) << " left\n"
            << system.kernel().leakReport();
    }
}

}  // namespace
}  // namespace vavedu::test
