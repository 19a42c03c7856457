// Pipe handles: the names that choose a handle's pipe and interface, and the vendor request the
// instrument gets at the first close of a handle.
#include "tests/driver/driver_fixture.hpp"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace vavedu::test {
namespace {

using sim::usb::CompletionMode;
using sim::usb::Fault;
using sim::usb::InstrumentModel;

class PipeHandles : public DriverTest {
  protected:
    void SetUp() override {
        ASSERT_EQ(loadDriver(), STATUS_SUCCESS);
        node = plugInstrument();
    }

    // The handle's selector: pipe index in bits 0 to 7, interface index in bits 8 to 15.
    static ULONG_PTR selectorOf(const sim::Handle& handle) {
        return reinterpret_cast<ULONG_PTR>(handle.fileObject()->FsContext);
    }

    // Vendor requests 0 to the device (the close request), submissions only.
    size_t closeRequestsOnTheBus() const {
        size_t count = 0;
        for (const auto& record : bus.trace().records()) {
            if (!record.completion && record.function == URB_FUNCTION_VENDOR_DEVICE &&
                record.setup && record.setup->request == InstrumentModel::kRequestClose) {
                ++count;
            }
        }
        return count;
    }

    int node = -1;
};

struct NameCase {
    const char16_t* name;
    NTSTATUS status;
    ULONG_PTR selector;  // when the open succeeds
};

// The selector encodes pipe | interface << 8.
constexpr NameCase kNames[] = {
    {u"", STATUS_SUCCESS, 0},
    {u"\\PIPE_3", STATUS_SUCCESS, 0x003},
    {u"\\PIPE_2\\INTERFACE_1", STATUS_SUCCESS, 0x102},
    {u"\\INTERFACE_1\\PIPE_2", STATUS_SUCCESS, 0x102},
    {u"\\PIPE_0x1F", STATUS_SUCCESS, 0x01F},
    {u"\\PIPE_31", STATUS_SUCCESS, 0x01F},
    {u"\\PIPE_32", STATUS_INVALID_PARAMETER, 0},
    {u"\\PIPE_0\\INTERFACE_9", STATUS_SUCCESS, 0x900},
    {u"\\PIPE_0\\INTERFACE_10", STATUS_INVALID_PARAMETER, 0},
    {u"\\pipe_3", STATUS_INVALID_PARAMETER, 0},
    {u"\\Pipe_3", STATUS_INVALID_PARAMETER, 0},
    {u"\\PIPE_", STATUS_INVALID_PARAMETER, 0},
    {u"\\INTERFACE_2", STATUS_INVALID_PARAMETER, 0},
    {u"\\PIPE_1\\INTERFACE_", STATUS_SUCCESS, 0x001},
    {u"\\PIPE_1\\interface_1", STATUS_SUCCESS, 0x001},
    {u"\\", STATUS_INVALID_PARAMETER, 0},
    {u"\\SOMETHING", STATUS_INVALID_PARAMETER, 0},
    // The number is read as the platform converts text, base 0.
    {u"\\PIPE_ 7", STATUS_SUCCESS, 0x007},        // leading white space is skipped
    {u"\\PIPE_+4", STATUS_SUCCESS, 0x004},        // a plus sign
    {u"\\PIPE_-1", STATUS_INVALID_PARAMETER, 0},  // a minus makes a huge unsigned number
    {u"\\PIPE_-0", STATUS_SUCCESS, 0x000},
    {u"\\PIPE_0o17", STATUS_SUCCESS, 0x00F},        // octal
    {u"\\PIPE_0b101", STATUS_SUCCESS, 0x005},       // binary
    {u"\\PIPE_0x1f", STATUS_SUCCESS, 0x01F},        // hex digits in either case
    {u"\\PIPE_0X1F", STATUS_SUCCESS, 0x000},        // the prefix is lower case only: "0", then stop
    {u"\\PIPE_0x", STATUS_SUCCESS, 0x000},          // a base prefix without digits
    {u"\\PIPE_12abc", STATUS_SUCCESS, 0x00C},       // trailing text ends the number
    {u"\\PIPE_abc", STATUS_SUCCESS, 0x000},         // no number at all converts to 0
    {u"\\PIPE_4294967297", STATUS_SUCCESS, 0x001},  // wraps modulo 2^32
    {u"\\PIPE_0b2", STATUS_SUCCESS, 0x000},
    {u"\\PIPE_1\\INTERFACE_0x9", STATUS_SUCCESS, 0x901},
    {u"\\PIPE_1\\INTERFACE_-1", STATUS_INVALID_PARAMETER, 0},
    {u"\\PIPE_\\PIPE_4", STATUS_SUCCESS, 0x000},  // the first occurrence whose tail converts
    {u"\\DATA\\PIPE_5", STATUS_SUCCESS, 0x005},   // anywhere in the name
};

TEST_F(PipeHandles, NamesChooseThePipeAndInterface) {
    for (const NameCase& c : kNames) {
        SCOPED_TRACE(sim::toUtf8(c.name));
        sim::Handle handle;
        NTSTATUS status = open(node, c.name, &handle);
        EXPECT_EQ(status, c.status) << sim::statusName(status);
        if (status == STATUS_SUCCESS && c.status == STATUS_SUCCESS) {
            EXPECT_EQ(selectorOf(handle), c.selector);
        }
    }
}

TEST_F(PipeHandles, NamedHandlesMoveDataOnTheirPipe) {
    // Interface 1: pipe 0 is the sink 0x02, pipe 1 the sample stream 0x86.
    sim::Handle sink = open(node, u"\\INTERFACE_1\\PIPE_0");
    sim::Handle stream = open(node, u"\\PIPE_1\\INTERFACE_1");
    Bytes data = pattern(100);
    EXPECT_EQ(sink.write(data.data(), 100).information, 100u);
    EXPECT_EQ(instrument(node).bytesSunk(), 100u);
    Bytes samples(512);
    EXPECT_EQ(stream.read(samples.data(), 512).information, 512u);
    EXPECT_EQ(stageLengths(0x02), std::vector<uint32_t>{100});
    EXPECT_EQ(stageLengths(0x86), std::vector<uint32_t>{512});
}

TEST_F(PipeHandles, APipeBeyondTheInterfaceOpensButCannotMoveData) {
    sim::Handle handle = open(node, u"\\PIPE_31");
    uint8_t byte = 0;
    EXPECT_EQ(handle.read(&byte, 1).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(handle.write(&byte, 1).status, STATUS_INVALID_PARAMETER);
}

TEST_F(PipeHandles, TheFirstCloseSendsOneVendorRequest) {
    {
        sim::Handle a = open(node, u"\\PIPE_0");
        sim::Handle b = open(node, u"\\PIPE_1");
        sim::Handle c = open(node);
        EXPECT_EQ(instrument(node).closeRequests(), 0u);
        a.close();
        EXPECT_EQ(instrument(node).closeRequests(), 1u);
    }
    EXPECT_EQ(instrument(node).closeRequests(), 1u);
    open(node, u"\\PIPE_0").close();
    EXPECT_EQ(instrument(node).closeRequests(), 1u);

    auto vendor = completed(URB_FUNCTION_VENDOR_DEVICE);
    ASSERT_EQ(vendor.size(), 1u);
    ASSERT_TRUE(vendor[0].setup.has_value());
    EXPECT_EQ(hex(vendor[0].setup->bytes()), "4000000000000000");
    EXPECT_EQ(vendor[0].requestedLength, 0u);
    EXPECT_EQ(vendor[0].transferFlags, static_cast<uint32_t>(USBD_SHORT_TRANSFER_OK));
}

// Two first closes at once: the one that claims the request sends it while the other completes
// without a request of its own.
TEST_F(PipeHandles, TwoFirstClosesAtOnceSendOneRequest) {
    sim::Handle a = open(node, u"\\PIPE_0");
    sim::Handle b = open(node, u"\\PIPE_1");
    bus.setControlCompletionMode(CompletionMode::Held);
    std::thread first([&] { a.close(); });
    ASSERT_TRUE(bus.waitForHeld(1));
    std::atomic<bool> secondDone = false;
    std::thread second([&] {
        b.close();
        secondDone = true;
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!secondDone && bus.heldUrbs().size() < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_TRUE(secondDone) << "the second close sent a request of its own";
    bus.setControlCompletionMode(CompletionMode::Inline);
    for (const auto& held : bus.heldUrbs())
        bus.releaseHeld(held.id);
    first.join();
    second.join();
    EXPECT_EQ(closeRequestsOnTheBus(), 1u);
    EXPECT_EQ(instrument(node).closeRequests(), 1u);
}

TEST_F(PipeHandles, TheCloseRequestIsNotRepeatedAfterStopAndStart) {
    open(node).close();
    ASSERT_EQ(system.stop(node), STATUS_SUCCESS);
    ASSERT_EQ(system.start(node), STATUS_SUCCESS);
    open(node).close();
    open(node, u"\\PIPE_1").close();
    EXPECT_EQ(closeRequestsOnTheBus(), 1u);
    EXPECT_EQ(instrument(node).closeRequests(), 1u);
}

TEST_F(PipeHandles, AHandleClosedAfterRemovalSendsNothing) {
    sim::Handle handle = open(node, u"\\PIPE_0");
    ASSERT_EQ(system.remove(node), STATUS_SUCCESS);
    handle.close();
    EXPECT_EQ(closeRequestsOnTheBus(), 0u);
}

TEST_F(PipeHandles, AFailedCloseRequestStillCountsAsSent) {
    sim::Handle watcher = open(node);
    bus.injectControlFault(pdo(node), InstrumentModel::kRequestClose,
                           Fault::of(Fault::Kind::Stall));
    open(node, u"\\PIPE_1").close();
    open(node, u"\\PIPE_1").close();
    EXPECT_EQ(closeRequestsOnTheBus(), 1u);
    EXPECT_EQ(instrument(node).closeRequests(), 0u);  // it never reached the device
    EXPECT_EQ(lastUsbdStatus(watcher), static_cast<ULONG>(USBD_STATUS_STALL_PID));
    watcher.close();
    EXPECT_EQ(closeRequestsOnTheBus(), 1u);
}

TEST_F(PipeHandles, EachDeviceObjectGetsItsOwnCloseRequest) {
    int second = plug(std::make_unique<InstrumentModel>(u"VV0002"));
    open(node).close();
    open(second).close();
    open(node).close();
    EXPECT_EQ(instrument(node).closeRequests(), 1u);
    EXPECT_EQ(instrument(second).closeRequests(), 1u);
}

}  // namespace
}  // namespace vavedu::test
