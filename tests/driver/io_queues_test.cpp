// Reads and writes: admission against the interface table, the queue of each endpoint, cancel of
// waiting requests, and requests that outlive a change of the table.
#include "tests/driver/driver_fixture.hpp"

#include <chrono>

namespace vavedu::test {
namespace {

using namespace std::chrono_literals;
using sim::usb::CompletionMode;
using sim::usb::ConfigurationBuilder;
using sim::usb::EndpointType;
using sim::usb::HeldCompletion;
using sim::usb::HeldUrb;

class Queues : public DriverTest {
  protected:
    void SetUp() override { ASSERT_EQ(loadDriver(), STATUS_SUCCESS); }
    void plugTheInstrument() { node = plugInstrument(); }

    void hold(uint8_t endpoint) {
        bus.setEndpointCompletionMode(pdo(node), endpoint, CompletionMode::Held);
    }
    // The URBs held on one endpoint, oldest first.
    std::vector<HeldUrb> heldOn(uint8_t endpoint) const {
        std::vector<HeldUrb> held;
        for (const HeldUrb& urb : bus.heldUrbs()) {
            if (urb.endpoint == endpoint)
                held.push_back(urb);
        }
        return held;
    }
    HeldUrb onlyHeldOn(uint8_t endpoint) {
        auto held = heldOn(endpoint);
        EXPECT_EQ(held.size(), 1u) << "held on endpoint " << int(endpoint);
        return held.empty() ? HeldUrb{} : held.front();
    }
    // Completes the one URB held on an IN endpoint with `bytes` bytes of data.
    void deliver(uint8_t endpoint, size_t bytes) {
        HeldUrb urb = onlyHeldOn(endpoint);
        ASSERT_TRUE(bus.completeHeld(urb.id, {USBD_STATUS_SUCCESS, pattern(bytes), std::nullopt}));
    }
    void accept(uint8_t endpoint) {
        HeldUrb urb = onlyHeldOn(endpoint);
        ASSERT_TRUE(bus.completeHeld(urb.id, {}));
    }

    NTSTATUS selectConfiguration(sim::Handle& handle, uint8_t value) {
        return ioctl(handle, IOCTL_BULK_SELECT_CONFIGURATION, {&value, 1}, 0).status;
    }
    NTSTATUS selectInterface(sim::Handle& handle, uint8_t number, uint8_t alternate) {
        uint8_t input[2] = {number, alternate};
        return ioctl(handle, IOCTL_BULK_SELECT_INTERFACE, input, 0).status;
    }
    static NTSTATUS statusOf(std::unique_ptr<sim::UserRequest>& request) {
        auto result = request->waitFor(10s);
        EXPECT_TRUE(result.has_value()) << "the request did not complete";
        return result ? result->status : STATUS_PENDING;
    }

    int node = -1;
};

TEST_F(Queues, AdmissionRefusesRequestsTheTableCannotCarry) {
    plugTheInstrument();
    struct Case {
        const char16_t* name;
        bool read;
        NTSTATUS status;
    };
    const Case cases[] = {
        {u"\\PIPE_5", true, STATUS_INVALID_PARAMETER},  // beyond the interface's two pipes
        {u"\\PIPE_5", false, STATUS_INVALID_PARAMETER},
        {u"\\PIPE_2", false, STATUS_INVALID_PARAMETER},
        {u"\\PIPE_0", true, STATUS_INVALID_PARAMETER},   // a read on an OUT pipe
        {u"\\PIPE_1", false, STATUS_INVALID_PARAMETER},  // a write on an IN pipe
        {u"\\PIPE_1\\INTERFACE_1", false, STATUS_INVALID_PARAMETER},
        {u"\\PIPE_0\\INTERFACE_2", false, STATUS_INVALID_DEVICE_STATE},  // no such interface
        {u"\\PIPE_0\\INTERFACE_9", true, STATUS_INVALID_DEVICE_STATE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(sim::toUtf8(c.name) + (c.read ? " read" : " write"));
        sim::Handle handle = open(node, c.name);
        Bytes buffer(64);
        for (ULONG length : {0u, 64u}) {
            sim::AppResult result =
                c.read ? handle.read(buffer.data(), length) : handle.write(buffer.data(), length);
            EXPECT_EQ(result.status, c.status) << sim::statusName(result.status);
            EXPECT_EQ(result.information, 0u);
        }
    }
    EXPECT_TRUE(completed(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).empty());
}

TEST_F(Queues, AnUnconfiguredOrStoppedDeviceRefusesData) {
    plugTheInstrument();
    sim::Handle in = open(node, u"\\PIPE_1");
    sim::Handle out = open(node, u"\\PIPE_0");
    uint8_t byte = 0;
    ASSERT_EQ(selectConfiguration(in, 0), STATUS_SUCCESS);
    EXPECT_EQ(in.read(&byte, 1).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(out.write(&byte, 1).status, STATUS_INVALID_DEVICE_STATE);
    ASSERT_EQ(selectConfiguration(in, 1), STATUS_SUCCESS);
    EXPECT_EQ(out.write(&byte, 1).status, STATUS_SUCCESS);
    ASSERT_EQ(system.stop(node), STATUS_SUCCESS);
    EXPECT_EQ(in.read(&byte, 1).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(out.write(&byte, 0).status, STATUS_INVALID_DEVICE_STATE);
    ASSERT_EQ(system.start(node), STATUS_SUCCESS);
    EXPECT_EQ(out.write(&byte, 1).status, STATUS_SUCCESS);
}

TEST_F(Queues, AnUnnamedHandleWritesPipe0AndReadsPipe1) {
    plugTheInstrument();
    sim::Handle handle = open(node);
    Bytes data = pattern(300);
    EXPECT_EQ(handle.write(data.data(), 300).information, 300u);
    Bytes back(512);
    sim::AppResult result = handle.read(back.data(), 512);
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    back.resize(result.information);
    EXPECT_EQ(back, data);
    EXPECT_EQ(stageLengths(0x01), std::vector<uint32_t>{300});
    EXPECT_EQ(stageLengths(0x81), std::vector<uint32_t>{512});
}

// Interface 0 of this device has two OUT pipes: pipe 1, which unnamed handles read, is no IN pipe.
TEST_F(Queues, AnUnnamedHandleCannotReadWhenPipe1IsAnOutPipe) {
    Bytes config = ConfigurationBuilder(1)
                       .interface(0, 0, 0xFF)
                       .endpoint(0x01, EndpointType::Bulk, 512)
                       .endpoint(0x02, EndpointType::Bulk, 512)
                       .build();
    node =
        plug(std::make_unique<ScriptedDevice>(testDeviceDescriptor(1), std::vector<Bytes>{config}));
    ASSERT_EQ(system.lastStartStatus(node), STATUS_SUCCESS);
    sim::Handle handle = open(node);
    Bytes buffer(16);
    EXPECT_EQ(handle.read(buffer.data(), 16).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(handle.write(buffer.data(), 16).status, STATUS_SUCCESS);
    EXPECT_EQ(handle.read(buffer.data(), 0).status, STATUS_INVALID_PARAMETER);
}

// With a packet size of 0 the zero-length-packet rule would divide by zero: such pipes take no I/O.
TEST_F(Queues, PipesWithoutAPacketSizeAreRefused) {
    Bytes config = ConfigurationBuilder(1)
                       .interface(0, 0, 0xFF)
                       .endpoint(0x01, EndpointType::Bulk, 0)
                       .endpoint(0x81, EndpointType::Bulk, 0)
                       .build();
    node =
        plug(std::make_unique<ScriptedDevice>(testDeviceDescriptor(1), std::vector<Bytes>{config}));
    ASSERT_EQ(system.lastStartStatus(node), STATUS_SUCCESS);
    sim::Handle handle = open(node);
    Bytes buffer(1024);
    ASSERT_EQ(zeroLengthPacketMode(handle, 1).status, STATUS_SUCCESS);
    EXPECT_EQ(handle.write(buffer.data(), 1024).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(handle.write(buffer.data(), 0).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(handle.read(buffer.data(), 1024).status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(completed(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).empty());
}

// A read running on 0x81 keeps queue 17 busy: selections that touch it are refused, others not.
TEST_F(Queues, AReadOn0x81KeepsItsQueueBusy) {
    plugTheInstrument();
    hold(0x81);
    sim::Handle in = open(node, u"\\PIPE_1");
    sim::Handle control = open(node);
    Bytes buffer(512);
    auto read = in.readAsync(buffer.data(), 512);
    ASSERT_TRUE(bus.waitForHeld(1));
    EXPECT_EQ(selectConfiguration(control, 1), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(selectConfiguration(control, 0), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(selectInterface(control, 0, 1), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(selectInterface(control, 1, 0), STATUS_SUCCESS);
    // The OUT endpoint of the same number has a queue of its own.
    Bytes data = pattern(64);
    EXPECT_EQ(control.write(data.data(), 64).status, STATUS_SUCCESS);
    deliver(0x81, 512);
    EXPECT_EQ(statusOf(read), STATUS_SUCCESS);
    EXPECT_EQ(selectConfiguration(control, 1), STATUS_SUCCESS);
}

TEST_F(Queues, AWriteOn0x02KeepsItsQueueBusy) {
    plugTheInstrument();
    hold(0x02);
    sim::Handle sink = open(node, u"\\PIPE_0\\INTERFACE_1");
    sim::Handle stream = open(node, u"\\PIPE_1\\INTERFACE_1");
    Bytes data = pattern(4096);
    auto write = sink.writeAsync(data.data(), 4096);
    ASSERT_TRUE(bus.waitForHeld(1));
    EXPECT_EQ(selectInterface(stream, 1, 0), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(selectConfiguration(stream, 1), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(selectInterface(stream, 0, 1), STATUS_SUCCESS);
    Bytes samples(1024);
    EXPECT_EQ(stream.read(samples.data(), 1024).information, 1024u);  // queue 22 runs meanwhile
    accept(0x02);
    EXPECT_EQ(statusOf(write), STATUS_SUCCESS);
    EXPECT_EQ(selectInterface(stream, 1, 0), STATUS_SUCCESS);
}

TEST_F(Queues, OneRequestPerEndpointAtATimeWhileEndpointsRunInParallel) {
    plugTheInstrument();
    hold(0x81);
    hold(0x01);
    sim::Handle first = open(node, u"\\PIPE_1");
    sim::Handle second = open(node, u"\\PIPE_1");
    sim::Handle out = open(node, u"\\PIPE_0");
    Bytes a(512), b(512), data = pattern(512);
    auto readA = first.readAsync(a.data(), 512);
    auto readB = second.readAsync(b.data(), 512);
    auto write = out.writeAsync(data.data(), 512);
    ASSERT_TRUE(bus.waitForHeld(2));
    EXPECT_EQ(heldOn(0x81).size(), 1u);  // the second read waits in the queue
    EXPECT_EQ(heldOn(0x01).size(), 1u);  // while the write runs beside it
    uint64_t firstUrb = heldOn(0x81).front().id;
    deliver(0x81, 512);
    EXPECT_EQ(statusOf(readA), STATUS_SUCCESS);
    EXPECT_FALSE(readB->completed());
    ASSERT_EQ(heldOn(0x81).size(), 1u);
    EXPECT_NE(heldOn(0x81).front().id, firstUrb);
    deliver(0x81, 100);
    EXPECT_EQ(readB->wait().information, 100u);
    accept(0x01);
    EXPECT_EQ(write->wait().information, 512u);
}

TEST_F(Queues, CancellingAWaitingRequestEndsOnlyThatOne) {
    plugTheInstrument();
    hold(0x81);
    sim::Handle in = open(node, u"\\PIPE_1");
    Bytes a(512), b(512), c(512);
    auto readA = in.readAsync(a.data(), 512);
    auto readB = in.readAsync(b.data(), 512);
    auto readC = in.readAsync(c.data(), 512);
    ASSERT_TRUE(bus.waitForHeld(1));
    EXPECT_TRUE(readB->cancel());
    auto cancelled = readB->waitFor(5s);
    ASSERT_TRUE(cancelled.has_value());
    EXPECT_EQ(cancelled->status, STATUS_CANCELLED);
    EXPECT_EQ(cancelled->information, 0u);
    EXPECT_FALSE(readA->completed());
    EXPECT_FALSE(readC->completed());
    deliver(0x81, 512);
    EXPECT_EQ(readA->wait().information, 512u);
    deliver(0x81, 200);
    EXPECT_EQ(readC->wait().information, 200u);
    EXPECT_EQ(stageLengths(0x81).size(), 2u);
}

// On a handle without a name a read and a write are outstanding at once: every later chunk of the
// read still goes to the pipe the read was admitted for, not to the write's.
TEST_F(Queues, AReadAndAWriteOutstandingOnAnUnnamedHandleKeepTheirPipes) {
    plugTheInstrument();
    hold(0x81);
    sim::Handle handle = open(node);
    Bytes buffer(40000);
    auto read = handle.readAsync(buffer.data(), 40000);
    ASSERT_TRUE(bus.waitForHeld(1));
    Bytes data = pattern(100);
    EXPECT_EQ(handle.write(data.data(), 100).information, 100u);
    deliver(0x81, 16384);
    deliver(0x81, 16384);
    deliver(0x81, 7232);
    auto result = read->waitFor(5s);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->status, STATUS_SUCCESS);
    EXPECT_EQ(result->information, 40000u);
    EXPECT_EQ(stageLengths(0x81), (std::vector<uint32_t>{16384, 16384, 7232}));
    EXPECT_EQ(stageLengths(0x01), std::vector<uint32_t>{100});
}

// The support library stalls the queues from query-stop until the stop is cancelled, so requests
// wait there while a selection changes the table under them.
class QueuedAcrossSelection : public Queues {
  protected:
    void SetUp() override {
        Queues::SetUp();
        plugTheInstrument();
        hold(0x81);
        hold(0x01);
        in = open(node, u"\\PIPE_1");
        out = open(node, u"\\PIPE_0");
        control = open(node);
        runningRead = in.readAsync(readBuffer.data(), 512);
        waitingRead = in.readAsync(readBuffer.data() + 512, 512);
        runningWrite = out.writeAsync(writeData.data(), 512);
        waitingWrite = out.writeAsync(writeData.data() + 512, 512);
        ASSERT_TRUE(bus.waitForHeld(2));
        ASSERT_EQ(system.queryStop(node), STATUS_SUCCESS);
        deliver(0x81, 512);
        accept(0x01);
        ASSERT_EQ(statusOf(runningRead), STATUS_SUCCESS);
        ASSERT_EQ(statusOf(runningWrite), STATUS_SUCCESS);
        ASSERT_TRUE(bus.heldUrbs().empty());  // the others wait in their stalled queues
    }

    sim::Handle in, out, control;
    Bytes readBuffer = Bytes(1024);
    Bytes writeData = pattern(1024);
    std::unique_ptr<sim::UserRequest> runningRead, waitingRead, runningWrite, waitingWrite;
};

// In configuration 2 pipe 1 of interface 0 is gone and pipe 0 is the IN endpoint 0x81: neither
// waiting request may run, and their queues must go on.
TEST_F(QueuedAcrossSelection, RequestsWhosePipeWentAwayFailAndTheirQueuesGoOn) {
    ASSERT_EQ(selectConfiguration(control, 2), STATUS_SUCCESS);
    size_t stagesBefore = completed(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).size();
    ASSERT_EQ(system.cancelStop(node), STATUS_SUCCESS);
    EXPECT_EQ(statusOf(waitingRead), STATUS_NOINTERFACE);
    EXPECT_EQ(statusOf(waitingWrite), STATUS_NOINTERFACE);
    EXPECT_TRUE(bus.heldUrbs().empty());
    EXPECT_EQ(completed(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).size(), stagesBefore);

    ASSERT_EQ(selectConfiguration(control, 1), STATUS_SUCCESS);  // no queue was left busy
    bus.setEndpointCompletionMode(pdo(node), 0x81, CompletionMode::Async);
    bus.setEndpointCompletionMode(pdo(node), 0x01, CompletionMode::Async);
    Bytes data = pattern(700, 9), back(1024);
    EXPECT_EQ(out.write(data.data(), 700).information, 700u);
    EXPECT_EQ(in.read(back.data(), 1024).information, 700u);
}

// Another alternate setting of the same endpoints: the waiting read runs on the new pipe.
TEST_F(QueuedAcrossSelection, AnAlternateSettingChangedWhileARequestWaits) {
    ASSERT_EQ(selectInterface(control, 0, 1), STATUS_SUCCESS);
    ASSERT_EQ(system.cancelStop(node), STATUS_SUCCESS);
    ASSERT_TRUE(bus.waitForHeld(2));
    deliver(0x81, 64);
    accept(0x01);
    EXPECT_EQ(waitingRead->wait().information, 64u);
    EXPECT_EQ(waitingWrite->wait().information, 512u);
}

// The cancel routine hands the request to the queue it waits in, though the table is empty now.
TEST_F(QueuedAcrossSelection, CancelAfterTheDeviceWasUnconfigured) {
    ASSERT_EQ(selectConfiguration(control, 0), STATUS_SUCCESS);
    EXPECT_TRUE(waitingRead->cancel());
    EXPECT_TRUE(waitingWrite->cancel());
    EXPECT_EQ(statusOf(waitingRead), STATUS_CANCELLED);
    EXPECT_EQ(statusOf(waitingWrite), STATUS_CANCELLED);
    ASSERT_EQ(system.cancelStop(node), STATUS_SUCCESS);
    EXPECT_EQ(selectConfiguration(control, 1), STATUS_SUCCESS);
}

// An alternate setting whose endpoint has no packet size, selected while a read waits for that
// endpoint: the read fails without reaching the bus, as its admission would have refused it.
TEST_F(Queues, AWaitingReadWhosePipeLostItsPacketSizeFails) {
    Bytes config = ConfigurationBuilder(1)
                       .interface(0, 0, 0xFF)
                       .endpoint(0x81, EndpointType::Bulk, 512)
                       .interface(0, 1, 0xFF)
                       .endpoint(0x81, EndpointType::Bulk, 0)
                       .build();
    node =
        plug(std::make_unique<ScriptedDevice>(testDeviceDescriptor(1), std::vector<Bytes>{config}));
    hold(0x81);
    sim::Handle in = open(node, u"\\PIPE_0");
    sim::Handle control = open(node);
    Bytes buffer(1024);
    auto running = in.readAsync(buffer.data(), 512);
    auto waiting = in.readAsync(buffer.data() + 512, 512);
    ASSERT_TRUE(bus.waitForHeld(1));
    ASSERT_EQ(system.queryStop(node), STATUS_SUCCESS);
    deliver(0x81, 512);
    ASSERT_EQ(statusOf(running), STATUS_SUCCESS);
    ASSERT_EQ(selectInterface(control, 0, 1), STATUS_SUCCESS);
    ASSERT_EQ(system.cancelStop(node), STATUS_SUCCESS);
    EXPECT_EQ(statusOf(waiting), STATUS_NOINTERFACE);
    EXPECT_TRUE(bus.heldUrbs().empty());
    EXPECT_EQ(completedOnEndpoint(0x81).size(), 1u);
}

// A read that completes after the device stopped finds no interface entry: it still ends, and
// its queue goes on, so the next start can select the configuration and run the next read.
TEST_F(Queues, ARequestCompletingAfterStopLetsItsQueueGoOn) {
    plugTheInstrument();
    hold(0x81);
    sim::Handle in = open(node, u"\\PIPE_1");
    Bytes a(512), b(512);
    auto running = in.readAsync(a.data(), 512);
    auto waiting = in.readAsync(b.data(), 512);
    ASSERT_TRUE(bus.waitForHeld(1));
    ASSERT_EQ(system.stop(node), STATUS_SUCCESS);
    deliver(0x81, 300);
    auto result = running->waitFor(5s);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->status, STATUS_SUCCESS);
    EXPECT_EQ(result->information, 300u);
    ASSERT_EQ(system.start(node), STATUS_SUCCESS);
    ASSERT_TRUE(bus.waitForHeld(1));
    deliver(0x81, 200);
    EXPECT_EQ(waiting->wait().information, 200u);
}

}  // namespace
}  // namespace vavedu::test
