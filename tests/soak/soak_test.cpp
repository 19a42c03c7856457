// The soak: Plug and Play cycles one after the other (stop and start, surprise removal, unplug and
// plug, port cycle), each while reads and writes with checked data run on every endpoint, every
// device-control request, selections and cancels are sent, and allocations fail at random. At the
// end it prints what it did and fails on any request lost, completed twice (a bug check of the
// model), answered with an undocumented status or wrong data, any leak or hang.
//
// Its length comes from the environment: VAVEDU_SOAK_SECONDS (default 15, the bounded run of the
// suite), VAVEDU_SOAK_MIN_CYCLES (default 0), VAVEDU_SOAK_SEED (default 1).
#include "tests/driver/driver_fixture.hpp"
#include "tests/soak/soak_traffic.hpp"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

namespace vavedu::soak {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr double kAllocationFailureRate = 0.005;

long environment(const char* name, long fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::strtol(value, nullptr, 10) : fallback;
}

enum class Action { StopStart, SurpriseRemoval, UnplugAndPlug, PortCycle, Count };
constexpr const char* kActionNames[] = {"stop and start", "surprise removal", "unplug and plug",
                                        "port cycle"};

class Soak : public test::DriverTest {
  protected:
    void SetUp() override {
        system.kernel().setHangLimit(30s);
        ASSERT_EQ(loadDriver(), STATUS_SUCCESS);
        baseline = counters();
    }

    Shared shared() { return {system, soakCounters, ledger}; }

    // Random allocation failures on or off.
    void lowResources(bool on, uint32_t seed) {
        system.kernel().setFaultPolicy(on ? sim::FaultPolicy::random(kAllocationFailureRate, seed)
                                          : sim::FaultPolicy::none());
    }
    uint64_t injectedFailures() {
        uint64_t failed = 0;
        for (uint64_t count : counters().failed)
            failed += count;
        return failed;
    }

    // Plugs an instrument in and starts it; false (and the device gone again) when it did not
    // start.
    bool plugIn() {
        node = attachOnly(std::make_unique<sim::usb::InstrumentModel>());
        if (system.start(node) >= 0 && system.lastStartStatus(node) >= 0)
            return true;
        ADD_FAILURE() << "an instrument did not start";
        system.remove(node);
        bus.unplug(pdo(node));
        node = -1;
        return false;
    }

    // Surprise removal, then removal on a thread of its own while the traffic (which holds the
    // remove lock with its requests) cancels what is pending and ends; the device leaves the bus
    // before or after.
    void takeAway(Traffic* traffic, bool unplugFirst) {
        PDEVICE_OBJECT device = pdo(node);
        if (unplugFirst)
            bus.unplug(device);
        NTSTATUS surprise = system.surpriseRemove(node);
        EXPECT_EQ(surprise, STATUS_SUCCESS) << sim::statusName(surprise);
        NTSTATUS removed = STATUS_PENDING;
        std::thread remover([&] { removed = system.remove(node); });
        if (traffic != nullptr)
            traffic->stop();
        remover.join();
        EXPECT_EQ(removed, STATUS_SUCCESS) << sim::statusName(removed);
        if (!unplugFirst)
            bus.unplug(device);
        node = -1;
    }

    void stopAndStart(Traffic& traffic, std::mt19937& random) {
        if (system.stop(node) < 0)
            return;  // refused: the device stays started
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        if (system.start(node) >= 0 && system.lastStartStatus(node) >= 0)
            return;
        // The start failed for want of memory: the device is removed, as the Plug and Play
        // manager removes a device whose start failed.
        ++startFailures;
        traffic.stop();
        lowResources(false, 0);
        NTSTATUS removed = system.remove(node);
        EXPECT_EQ(removed, STATUS_SUCCESS) << sim::statusName(removed);
        bus.unplug(pdo(node));
        node = -1;
    }

    // IOCTL_BULK_RESET_PORT from a handle of its own, once the reads and writes have ended (an
    // application cancels its transfers before it resets the port: the reset empties the
    // device) while device control goes on. The port is reset in place (the handles stay valid)
    // or cycled (the device leaves and comes back as a new device, and the handles opened before
    // fail): either way the device is found again by its interface. Allocations no longer fail
    // by then, so a device that does not come back is a fault.
    void portCycle(Traffic& traffic, const std::u16string& path) {
        lowResources(false, 0);
        traffic.stopIo();
        sim::Handle handle;
        if (system.open(path, &handle) >= 0) {
            sim::AppResult result =
                handle.deviceIoControl(IOCTL_BULK_RESET_PORT, nullptr, 0, nullptr, 0);
            ++soakCounters.requests;
            soakCounters.outcome(result.status);
            if (!isDocumentedOutcome(result.status))
                soakCounters.fault("the port cycle ended with " + sim::statusName(result.status));
            handle.close();
        }
        traffic.stop();  // a cycled device's removal waits for its requests
        EXPECT_TRUE(system.waitForPlugAndPlay()) << "the port cycle did not end";
        node = findStartedNode();
    }

    // The started device, once any re-enumeration has ended; -1 when the device is gone (its
    // AddDevice or start failed for want of memory after a port cycle: it is removed).
    int findStartedNode() {
        const auto until = Clock::now() + 10s;
        while (Clock::now() < until) {
            for (int i = system.nodeCount() - 1; i >= 0; --i) {
                const sim::DeviceState state = system.state(i);
                if (state == sim::DeviceState::Started && interfaceVisible(i))
                    return i;
                if (state == sim::DeviceState::StartFailed ||
                    state == sim::DeviceState::AddFailed) {
                    ++startFailures;
                    node = i;
                    system.remove(i);
                    bus.unplug(pdo(i));
                    return -1;
                }
            }
            std::this_thread::sleep_for(1ms);
        }
        std::string states;
        for (int i = 0; i < system.nodeCount(); ++i)
            states += std::string(" ") + sim::toString(system.state(i));
        ADD_FAILURE() << "the device did not come back after the port cycle; nodes:" << states;
        return -1;
    }

    // After a cycle the device kept: the queues are idle (a selection goes through), the
    // loopback returns what is written, and the sink counted every byte of the writes that
    // succeeded.
    void expectDeviceWorks(uint64_t sunk) {
        sim::Handle control = open(node), out = open(node, u"\\PIPE_0"),
                    in = open(node, u"\\PIPE_1");
        const uint8_t configuration = 1;
        EXPECT_EQ(ioctl(control, IOCTL_BULK_SELECT_CONFIGURATION, {&configuration, 1}, 0).status,
                  STATUS_SUCCESS);
        test::Bytes data = test::pattern(3000, static_cast<uint32_t>(cycles)), back(4096);
        EXPECT_EQ(out.write(data.data(), 3000).information, 3000u);
        sim::AppResult read = in.read(back.data(), 4096);
        EXPECT_EQ(read.status, STATUS_SUCCESS);
        back.resize(read.information);
        EXPECT_EQ(back, data) << "the loopback after the cycle";
        soakCounters.bytesVerified += read.information;
        sim::usb::InstrumentModel& model = instrument(node);
        if (&model != sinkModel) {
            sinkModel = &model;
            sinkBytes = 0;
        }
        sinkBytes += sunk;
        EXPECT_GE(model.bytesSunk(), sinkBytes) << "the sink lost bytes of writes that succeeded";
    }

    // What the driver holds with no device is what it held before the first.
    void expectNothingLeft() {
        const sim::AllocationCounters now = counters();
        for (int kind = 0; kind < sim::kAllocationKinds; ++kind) {
            EXPECT_EQ(now.outstanding[kind], baseline.outstanding[kind])
                << sim::toString(static_cast<sim::AllocationKind>(kind)) << " left after cycle "
                << cycles << "\n"
                << system.kernel().leakReport();
        }
    }

    void runCycle(Action action, std::mt19937& random) {
        if (node < 0 && !plugIn())
            return;
        const std::u16string path = interfacePath(node);
        const uint32_t seed = static_cast<uint32_t>(random());
        Traffic traffic(shared(), path, seed);
        lowResources(true, seed);
        std::this_thread::sleep_for(std::chrono::microseconds(2000 + random() % 28000));
        switch (action) {
            case Action::StopStart:
                stopAndStart(traffic, random);
                break;
            case Action::SurpriseRemoval:
            case Action::UnplugAndPlug:
                takeAway(&traffic, action == Action::UnplugAndPlug);
                break;
            default:
                portCycle(traffic, path);
                break;
        }
        traffic.stop();
        lowResources(false, 0);
        ++cycles;
        ++actions[static_cast<int>(action)];
        if (node < 0)
            expectNothingLeft();
        else
            expectDeviceWorks(traffic.sinkBytes());
    }

    std::string summary(double seconds, uint64_t failures) {
        std::ostringstream text;
        text << "Soak: " << cycles << " Plug and Play cycles in " << int(seconds) << " s (";
        for (int a = 0; a < static_cast<int>(Action::Count); ++a)
            text << (a ? ", " : "") << actions[a] << " " << kActionNames[a];
        text << "), " << soakCounters.requests << " requests, " << soakCounters.bytesVerified
             << " bytes verified, " << soakCounters.cancels << " cancels, " << failures
             << " injected allocation failures (" << startFailures << " starts failed), "
             << soakCounters.lost << " lost, " << soakCounters.bad << " faults\n"
             << "Soak outcomes: " << soakCounters.outcomes() << "\n";
        return text.str();
    }

    sim::AllocationCounters baseline;
    SoakCounters soakCounters;
    LoopbackLedger ledger;
    int node = -1;
    uint64_t cycles = 0, startFailures = 0;
    uint64_t actions[static_cast<int>(Action::Count)] = {};
    const sim::usb::InstrumentModel* sinkModel = nullptr;
    uint64_t sinkBytes = 0;
};

TEST_F(Soak, PlugAndPlayWithIoIoctlsCancelsAndLowResources) {
    const auto length = std::chrono::seconds(environment("VAVEDU_SOAK_SECONDS", 15));
    const long minimumCycles = environment("VAVEDU_SOAK_MIN_CYCLES", 0);
    std::mt19937 random(static_cast<uint32_t>(environment("VAVEDU_SOAK_SEED", 1)));
    const auto start = Clock::now();
    const uint64_t failedBefore = injectedFailures();
    while (Clock::now() - start < length || cycles < static_cast<uint64_t>(minimumCycles)) {
        runCycle(static_cast<Action>(random() % static_cast<int>(Action::Count)), random);
        if (HasFailure())
            break;
    }
    if (node >= 0)
        takeAway(nullptr, false);
    expectNothingLeft();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const std::string text = summary(seconds, injectedFailures() - failedBefore);
    std::cout << text;
    std::filesystem::create_directories(std::filesystem::path(VAVEDU_SOAK_REPORT).parent_path());
    std::ofstream(VAVEDU_SOAK_REPORT) << text;
    EXPECT_EQ(soakCounters.lost, 0u);
    EXPECT_EQ(soakCounters.bad, 0u);
    EXPECT_GE(cycles, static_cast<uint64_t>(minimumCycles));
}

}  // namespace
}  // namespace vavedu::soak
