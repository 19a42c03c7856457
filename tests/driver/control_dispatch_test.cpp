// The device-control requests: their buffer length rules, what each reports, and the requests
// that talk to the device (descriptors, resets, selections).
#include "tests/driver/driver_fixture.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace vavedu::test {
namespace {

using namespace std::chrono_literals;
using sim::usb::CompletionMode;
using sim::usb::Fault;
using sim::usb::ntStatusForUsbd;

class DeviceControl : public DriverTest {
  protected:
    void SetUp() override {
        ASSERT_EQ(loadDriver(), STATUS_SUCCESS);
        node = plugInstrument();
        handle = open(node);
    }
    static ULONG ulongOf(const Bytes& bytes) {
        ULONG value = 0;
        if (bytes.size() >= 4)
            std::memcpy(&value, bytes.data(), 4);
        return value;
    }

    int node = -1;
    sim::Handle handle;
};

// A request whose input or output length must be exactly N: N - 1 and N + 1 are refused.
struct ExactLength {
    const char* name;
    ULONG code;
    bool input;  // the rule is on the input length, else on the output length
    ULONG length;
    Bytes validInput;  // what the exact case sends (its first `length` bytes, for input rules)
    ULONG outputForInputRules;
};

const ExactLength kExactLengths[] = {
    {"GET_DRIVER_VERSION", IOCTL_BULK_GET_DRIVER_VERSION, false, 4, {}, 0},
    {"GET_DESCRIPTOR", IOCTL_BULK_GET_DESCRIPTOR, true, 4, {1, 0, 0, 0}, 18},
    {"RESET_PIPE", IOCTL_BULK_RESET_PIPE, true, 4, {1, 0, 0, 0}, 0},
    {"GET_LAST_USBD_STATUS", IOCTL_BULK_GET_LAST_USBD_STATUS, false, 4, {}, 0},
    {"GET_RESERVED_VALUE", IOCTL_BULK_GET_RESERVED_VALUE, false, 4, {}, 0},
    {"ZERO_LENGTH_PACKET_MODE", IOCTL_BULK_ZERO_LENGTH_PACKET_MODE, true, 4, {2, 0, 0, 0}, 4},
    {"SELECT_CONFIGURATION", IOCTL_BULK_SELECT_CONFIGURATION, true, 1, {1}, 0},
    {"SELECT_INTERFACE", IOCTL_BULK_SELECT_INTERFACE, true, 2, {0, 0}, 0},
    {"SET_SETUP_PACKET", IOCTL_BULK_SET_SETUP_PACKET, true, 8, {0x80, 6, 0, 1, 0, 0, 18, 0}, 0},
};

TEST_F(DeviceControl, ExactLengthsAreRefusedOneByteShortAndOneByteLong) {
    for (const ExactLength& c : kExactLengths) {
        for (ULONG length : {c.length - 1, c.length + 1, c.length}) {
            SCOPED_TRACE(std::string(c.name) + " length " + std::to_string(length));
            Bytes input = c.validInput;
            input.resize(c.input ? length : 0, 0);
            ULONG output = c.input ? c.outputForInputRules : length;
            sim::AppResult result = ioctl(handle, c.code, input, output);
            if (length == c.length) {
                EXPECT_EQ(result.status, STATUS_SUCCESS) << sim::statusName(result.status);
            } else {
                EXPECT_EQ(result.status, STATUS_INVALID_BUFFER_SIZE)
                    << sim::statusName(result.status);
                EXPECT_EQ(result.information, 0u);
            }
        }
    }
}

TEST_F(DeviceControl, FixedValuesAndTheirInformation) {
    Bytes out;
    sim::AppResult result = ioctl(handle, IOCTL_BULK_GET_DRIVER_VERSION, Bytes(16, 0xEE), 4, &out);
    EXPECT_EQ(result.information, 4u);
    EXPECT_EQ(hex(out), "0000000c");
    EXPECT_EQ(ioctl(handle, IOCTL_BULK_GET_DRIVER_VERSION, {}, 8).status,
              STATUS_INVALID_BUFFER_SIZE);
    result = ioctl(handle, IOCTL_BULK_GET_RESERVED_VALUE, Bytes{1, 2, 3}, 4, &out);
    EXPECT_EQ(result.information, 4u);
    EXPECT_EQ(hex(out), "00000000");
    result = ioctl(handle, IOCTL_BULK_GET_LAST_USBD_STATUS, {}, 4, &out);
    EXPECT_EQ(result.information, 4u);
}

TEST_F(DeviceControl, TheUsbdiVersionNeedsEightBytesOrMore) {
    Bytes out;
    EXPECT_EQ(ioctl(handle, IOCTL_BULK_GET_USBDI_VERSION, {}, 7).status,
              STATUS_INVALID_BUFFER_SIZE);
    sim::AppResult result = ioctl(handle, IOCTL_BULK_GET_USBDI_VERSION, {}, 8, &out);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 8u);
    Bytes eight = out;
    result = ioctl(handle, IOCTL_BULK_GET_USBDI_VERSION, {}, 16, &out);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 8u);
    EXPECT_EQ(out, eight);
    EXPECT_NE(ulongOf(eight), 0u);
}

TEST_F(DeviceControl, TheBannerIsTheTextPrintedAtLoad) {
    auto lines = system.kernel().debugOutput();
    auto entry = std::find(lines.begin(), lines.end(), "VaVedu: DriverEntry()");
    ASSERT_NE(entry, lines.end());
    ASSERT_NE(entry + 1, lines.end());
    std::string printed = *(entry + 1) + "\n";
    EXPECT_EQ(printed.rfind("VaVedu.SYS version 0C00.0000 built ", 0), 0u) << printed;

    Bytes out;
    sim::AppResult result = ioctl(handle, IOCTL_BULK_GET_BANNER, {}, 256, &out);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, printed.size());
    EXPECT_EQ(std::string(out.begin(), out.end()), printed);

    result = ioctl(handle, IOCTL_BULK_GET_BANNER, Bytes(40, 1), 10, &out);
    EXPECT_EQ(result.information, 10u);
    EXPECT_EQ(std::string(out.begin(), out.end()), printed.substr(0, 10));

    ULONG exact = static_cast<ULONG>(printed.size());
    result = ioctl(handle, IOCTL_BULK_GET_BANNER, {}, exact, &out);
    EXPECT_EQ(std::string(out.begin(), out.end()), printed);

    result = ioctl(handle, IOCTL_BULK_GET_BANNER, {}, 0);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u);
}

TEST_F(DeviceControl, TheZeroLengthPacketModeIsSetAndQueried) {
    Bytes out;
    sim::AppResult result = zeroLengthPacketMode(handle, 1, 0);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u);
    result = zeroLengthPacketMode(handle, 2, 4, &out);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 4u);
    EXPECT_EQ(ulongOf(out), 1u);
    EXPECT_EQ(zeroLengthPacketMode(handle, 2, 2).status, STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(zeroLengthPacketMode(handle, 2, 0).status, STATUS_INVALID_BUFFER_SIZE);
    for (LONG bad : {3, -1, 0x7FFFFFFF, static_cast<LONG>(0x80000000)}) {
        SCOPED_TRACE(bad);
        result = zeroLengthPacketMode(handle, bad, 4);
        EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(result.information, 0u);
    }
    result = zeroLengthPacketMode(handle, 2, 8, &out);
    EXPECT_EQ(result.information, 4u);
    EXPECT_EQ(ulongOf(out), 1u);  // unchanged by the refused values
    result = zeroLengthPacketMode(handle, 0, 8, &out);
    EXPECT_EQ(result.information, 4u);
    EXPECT_EQ(ulongOf(out), 0u);  // the mode after the change

    // The mode belongs to the device object: it outlives a stop and start.
    ASSERT_EQ(zeroLengthPacketMode(handle, 1, 0).status, STATUS_SUCCESS);
    ASSERT_EQ(system.stop(node), STATUS_SUCCESS);
    ASSERT_EQ(system.start(node), STATUS_SUCCESS);
    zeroLengthPacketMode(handle, 2, 4, &out);
    EXPECT_EQ(ulongOf(out), 1u);
}

TEST_F(DeviceControl, GetDescriptorReadsFromTheDevice) {
    Bytes out;
    sim::AppResult result = ioctl(handle, IOCTL_BULK_GET_DESCRIPTOR, Bytes{1, 0, 0, 0}, 18, &out);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(out, instrument(node).deviceDescriptor());
    result = ioctl(handle, IOCTL_BULK_GET_DESCRIPTOR, Bytes{2, 0, 0, 0}, 9, &out);
    EXPECT_EQ(result.information, 9u);
    Bytes configuration = instrument(node).configurationDescriptor(0);
    configuration.resize(9);
    EXPECT_EQ(out, configuration);
    // A string in a language, and a longer output than the descriptor: the bytes returned.
    result = ioctl(handle, IOCTL_BULK_GET_DESCRIPTOR, Bytes{3, 1, 0x09, 0x04}, 255, &out);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.size(), out[0]);
    auto last = completed(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE).back();
    ASSERT_TRUE(last.setup.has_value());
    EXPECT_EQ(hex(last.setup->bytes()),
              "80060103"
              "0904"
              "ff00");
}

TEST_F(DeviceControl, TheLastUsbdStatusIsThatOfTheFailingRequest) {
    bus.injectControlFault(pdo(node), USB_REQUEST_GET_DESCRIPTOR, Fault::of(Fault::Kind::Crc));
    sim::AppResult result = ioctl(handle, IOCTL_BULK_GET_DESCRIPTOR, Bytes{1, 0, 0, 0}, 18);
    EXPECT_EQ(result.status, ntStatusForUsbd(USBD_STATUS_CRC));
    EXPECT_EQ(lastUsbdStatus(handle), static_cast<ULONG>(USBD_STATUS_CRC));
    // A string the device does not have: it stalls.
    result = ioctl(handle, IOCTL_BULK_GET_DESCRIPTOR, Bytes{3, 9, 0x09, 0x04}, 64);
    EXPECT_LT(result.status, 0);
    EXPECT_EQ(lastUsbdStatus(handle), static_cast<ULONG>(USBD_STATUS_STALL_PID));
    EXPECT_EQ(ioctl(handle, IOCTL_BULK_GET_DESCRIPTOR, Bytes{1, 0, 0, 0}, 18).status,
              STATUS_SUCCESS);
    EXPECT_EQ(lastUsbdStatus(handle), static_cast<ULONG>(USBD_STATUS_SUCCESS));
}

// Nothing was read when no request packet could be built, so no byte is reported.
TEST_F(DeviceControl, GetDescriptorWithoutARequestPacketReportsNoBytes) {
    system.kernel().setFaultPolicy(sim::FaultPolicy::failNth(1, sim::AllocationKind::Irp));
    sim::AppResult result = ioctl(handle, IOCTL_BULK_GET_DESCRIPTOR, Bytes{1, 0, 0, 0}, 18);
    system.kernel().setFaultPolicy(sim::FaultPolicy::none());
    EXPECT_EQ(result.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(result.information, 0u);
}

TEST_F(DeviceControl, ThePortCycleThatCannotBeSentStillSucceeds) {
    system.kernel().setFaultPolicy(sim::FaultPolicy::failNth(1, sim::AllocationKind::Irp));
    EXPECT_EQ(ioctl(handle, IOCTL_BULK_RESET_PORT, {}, 0).status, STATUS_SUCCESS);
    system.kernel().setFaultPolicy(sim::FaultPolicy::none());
    ASSERT_TRUE(system.waitForPlugAndPlay());
    EXPECT_EQ(system.state(node), sim::DeviceState::Started) << "nothing was cycled";
}

TEST_F(DeviceControl, ThePortCycleSucceedsWhenTheDeviceIsGone) {
    bus.unplug(pdo(node));
    EXPECT_EQ(ioctl(handle, IOCTL_BULK_RESET_PORT, {}, 0).status, STATUS_SUCCESS);
    Bytes data = pattern(8);
    EXPECT_LT(handle.write(data.data(), 8).status, 0) << "the device is gone";
}

TEST_F(DeviceControl, ResetPipeChecksItsIndexes) {
    struct Case {
        uint8_t pipe, interface;
        NTSTATUS status;
    };
    const Case cases[] = {
        {0, 0, STATUS_SUCCESS},
        {1, 1, STATUS_SUCCESS},
        {2, 0, STATUS_INVALID_PARAMETER},  // pipe index = NumberOfPipes
        {0, 2, STATUS_INVALID_PARAMETER},  // interface index = InterfaceCount
        {0, 9, STATUS_INVALID_PARAMETER},
        {0, 10, STATUS_INVALID_PARAMETER},
        {0xFF, 0xFF, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.pipe) + " of " + std::to_string(c.interface));
        size_t before = completed(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL).size();
        sim::AppResult result =
            ioctl(handle, IOCTL_BULK_RESET_PIPE, Bytes{c.pipe, c.interface, 0xAB, 0xCD}, 0);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(completed(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL).size(),
                  before + (c.status == STATUS_SUCCESS ? 1 : 0));
    }
    ASSERT_EQ(ioctl(handle, IOCTL_BULK_SELECT_CONFIGURATION, Bytes{0}, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(ioctl(handle, IOCTL_BULK_RESET_PIPE, Bytes{0, 0, 0, 0}, 0).status,
              STATUS_INVALID_PARAMETER);
}

TEST_F(DeviceControl, ResetPipeClearsAStall) {
    bus.setHalted(pdo(node), 0x81, true);
    EXPECT_EQ(ioctl(handle, IOCTL_BULK_RESET_PIPE, Bytes{1, 0, 0, 0}, 0).status, STATUS_SUCCESS);
    EXPECT_FALSE(bus.halted(pdo(node), 0x81));
}

TEST_F(DeviceControl, SelectionsReachTheDevice) {
    EXPECT_EQ(ioctl(handle, IOCTL_BULK_SELECT_CONFIGURATION, Bytes{2}, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(bus.configuration(pdo(node)), 2);
    EXPECT_EQ(ioctl(handle, IOCTL_BULK_SELECT_CONFIGURATION, Bytes{7}, 0).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ioctl(handle, IOCTL_BULK_SELECT_CONFIGURATION, Bytes{1}, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(ioctl(handle, IOCTL_BULK_SELECT_INTERFACE, Bytes{0, 1}, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(bus.alternateSetting(pdo(node), 0), 1);
    EXPECT_LT(ioctl(handle, IOCTL_BULK_SELECT_INTERFACE, Bytes{0, 5}, 0).status, 0);
    EXPECT_LT(ioctl(handle, IOCTL_BULK_SELECT_INTERFACE, Bytes{12, 0}, 0).status, 0);
}

TEST_F(DeviceControl, UnknownCodesAndOtherMethodsOrAccessAreRefused) {
    const ULONG codes[] = {
        VAVEDU_BULK_CTL_CODE(11),
        VAVEDU_BULK_CTL_CODE(0x7FF),
        VAVEDU_BULK_CTL_CODE(0x842),
        VAVEDU_BULK_CTL_CODE(0x83F),
        0x00220001,  // GET_DRIVER_VERSION, METHOD_IN_DIRECT
        0x00220002,
        0x00220003,  // METHOD_OUT_DIRECT, METHOD_NEITHER
        0x00224000,
        0x00228004,  // FILE_READ_ACCESS, FILE_WRITE_ACCESS
        0x0022C010,
        0x00222101,
        0x00222107,
        0x00230000,
        0x00020000,  // other device types
        0x80220000,
    };
    for (ULONG code : codes) {
        SCOPED_TRACE(code);
        Bytes out(16);
        sim::AppResult result = handle.deviceIoControl(code, out.data(), 8, out.data(), 16);
        EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(result.information, 0u);
    }
}

// A read holds the remove lock while it runs, so removal waits for it; meanwhile every
// device-control request is refused at once.
TEST_F(DeviceControl, TheRemoveLockRefusesRequestsOnceRemovalHasBegun) {
    bus.setEndpointCompletionMode(pdo(node), 0x81, CompletionMode::Held);
    sim::Handle in = open(node, u"\\PIPE_1");
    sim::Handle closedDuringRemoval = open(node);
    Bytes buffer(512);
    auto read = in.readAsync(buffer.data(), 512);
    ASSERT_TRUE(bus.waitForHeld(1));
    NTSTATUS removeStatus = STATUS_PENDING;
    std::thread remover([&] { removeStatus = system.remove(node); });

    sim::AppResult result;
    auto deadline = std::chrono::steady_clock::now() + 10s;
    do {
        result = ioctl(handle, IOCTL_BULK_GET_DRIVER_VERSION, {}, 4);
        if (result.status == STATUS_SUCCESS)
            std::this_thread::sleep_for(1ms);
    } while (result.status == STATUS_SUCCESS && std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(result.status, STATUS_DELETE_PENDING) << sim::statusName(result.status);
    EXPECT_EQ(result.information, 0u);
    const uint8_t packet[8] = {0x80, 6, 0, 1, 0, 0, 18, 0};
    EXPECT_EQ(ioctl(handle, IOCTL_BULK_SET_SETUP_PACKET, packet, 0).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(ioctl(handle, IOCTL_BULK_GET_DESCRIPTOR, Bytes{1, 0, 0, 0}, 18).status,
              STATUS_DELETE_PENDING);
    EXPECT_EQ(ioctl(handle, 0x0022FFFC, {}, 0).status, STATUS_DELETE_PENDING);
    // The first close finds removal under way: no close request goes to the leaving device.
    closedDuringRemoval.close();
    EXPECT_EQ(instrument(node).closeRequests(), 0u);
    EXPECT_TRUE(completed(URB_FUNCTION_VENDOR_DEVICE).empty());

    auto held = bus.heldUrbs();
    ASSERT_EQ(held.size(), 1u);
    bus.completeHeld(held.front().id, {USBD_STATUS_SUCCESS, pattern(512), std::nullopt});
    EXPECT_EQ(read->wait().information, 512u);
    remover.join();
    EXPECT_EQ(removeStatus, STATUS_SUCCESS);
}

// Two threads with requests that wait for the device do not get in each other's way.
TEST_F(DeviceControl, ConcurrentRequestsOnOneDevice) {
    auto work = [this] {
        sim::Handle own = open(node);
        for (int i = 0; i < 50; ++i) {
            Bytes out;
            EXPECT_EQ(ioctl(own, IOCTL_BULK_GET_DESCRIPTOR, Bytes{1, 0, 0, 0}, 18, &out).status,
                      STATUS_SUCCESS);
            EXPECT_EQ(out.size(), 18u);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
}

}  // namespace
}  // namespace vavedu::test
