// Halts, the pipe requests and the port requests: which side of an endpoint each request clears,
// what a reset pipe does while a transfer waits, a port reset in place against a port cycle, and
// the PASSIVE_LEVEL rule of all of them.
#include "tests/usb/bus_fixture.hpp"

namespace sim::usb::testing {
namespace {

class BusResets : public UsbBusTest {
  public:
    // A pipe request (reset, clear stall, abort) on the pipe of `endpoint`.
    NTSTATUS pipeRequest(USHORT function, uint8_t endpoint, USBD_STATUS* usbd = nullptr) {
        URB urb;
        memset(&urb, 0, sizeof urb);
        urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        urb.UrbHeader.Function = function;
        urb.UrbPipeRequest.PipeHandle = pipe(endpoint);
        const NTSTATUS status = submit(&urb);
        if (usbd != nullptr)
            *usbd = urb.UrbHeader.Status;
        return status;
    }
    NTSTATUS clearFeatureHalt(uint8_t endpoint) {
        URB urb;
        memset(&urb, 0, sizeof urb);
        urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
        urb.UrbHeader.Function = URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT;
        urb.UrbControlFeatureRequest.FeatureSelector = USB_FEATURE_ENDPOINT_STALL;
        urb.UrbControlFeatureRequest.Index = endpoint;
        return submit(&urb);
    }
    std::unique_ptr<Request> pendingRead(URB& urb, uint8_t* buffer, ULONG length) {
        buildBulk(urb, pipe(0x81), buffer, length,
                  USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
        auto request = send(&urb);
        EXPECT_EQ(request->returned, STATUS_PENDING);
        return request;
    }
};

// A stall halts both sides of the endpoint: the device stalls, and the host controller fails
// what comes next with USBD_STATUS_ENDPOINT_HALTED. Each request clears its own side only.
TEST_F(BusResets, EachRequestClearsItsSideOfAHalt) {
    struct Case {
        const char* what;
        USHORT function;  // 0: CLEAR_FEATURE(ENDPOINT_HALT) as a control transfer
        bool deviceHalted, hostHalted;
        USBD_STATUS next;  // the next transfer's
    };
    const Case cases[] = {
        {"CLEAR_FEATURE", 0, false, true, USBD_STATUS_ENDPOINT_HALTED},
        {"clear stall", URB_FUNCTION_SYNC_CLEAR_STALL, false, true, USBD_STATUS_ENDPOINT_HALTED},
        {"reset pipe", URB_FUNCTION_SYNC_RESET_PIPE, true, false, USBD_STATUS_STALL_PID},
        {"reset pipe and clear stall", URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, false, false,
         USBD_STATUS_SUCCESS},
    };
    ASSERT_EQ(selectConfiguration(0), STATUS_SUCCESS);
    uint8_t data[512];
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bus.injectFault(pdo, 0x86, Fault::of(Fault::Kind::Stall));
        ULONG length = 512;
        EXPECT_EQ(transfer(0x86, data, length), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(lastUsbdStatus, USBD_STATUS_STALL_PID);
        length = 512;
        EXPECT_EQ(transfer(0x86, data, length), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(lastUsbdStatus, USBD_STATUS_ENDPOINT_HALTED) << "the host's side refuses it";

        EXPECT_EQ(c.function == 0 ? clearFeatureHalt(0x86) : pipeRequest(c.function, 0x86),
                  STATUS_SUCCESS);
        EXPECT_EQ(bus.halted(pdo, 0x86), c.deviceHalted);
        EXPECT_EQ(bus.hostHalted(pdo, 0x86), c.hostHalted);
        length = 512;
        transfer(0x86, data, length);
        EXPECT_EQ(lastUsbdStatus, c.next);
        ASSERT_EQ(pipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 0x86), STATUS_SUCCESS);
    }
}

// A reset of a pipe with a transfer still at the bus clears the halt but not the host's data
// toggle, and fails busy; the device's toggle went back to DATA0, so the device's next packet
// looks like a repeat to the host and is dropped.
TEST_F(BusResets, ResetPipeWithATransferWaitingFailsBusyAndLosesAPacket) {
    ASSERT_EQ(selectConfiguration(0), STATUS_SUCCESS);
    uint8_t byte = 0xA1;
    ULONG length = 1;
    ASSERT_EQ(transfer(0x01, &byte, length), STATUS_SUCCESS);
    uint8_t in[512];
    length = 512;
    ASSERT_EQ(transfer(0x81, in, length), STATUS_SUCCESS) << "one packet each way: DATA1 next";

    URB read;
    auto pending = pendingRead(read, in, 512);
    USBD_STATUS usbd = 0;
    EXPECT_EQ(pipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 0x81, &usbd),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(usbd, USBD_STATUS_ERROR_BUSY);
    for (uint8_t value : {uint8_t{0xB1}, uint8_t{0xB2}}) {
        length = 1;
        ASSERT_EQ(transfer(0x01, &value, length), STATUS_SUCCESS);
    }
    ASSERT_EQ(pending->wait(), STATUS_SUCCESS);
    ASSERT_EQ(read.UrbBulkOrInterruptTransfer.TransferBufferLength, 1u);
    EXPECT_EQ(in[0], 0xB2) << "the first packet was dropped";
}

// A port reset keeps the device where it was: configuration, alternate settings and handles;
// transfers still at the bus end cancelled; both sides of every endpoint start over.
TEST_F(BusResets, PortResetKeepsTheConfigurationAndTheHandles) {
    ASSERT_EQ(selectConfiguration(0), STATUS_SUCCESS);
    bus.setHalted(pdo, 0x86, true);
    uint8_t in[512];
    URB read;
    auto pending = pendingRead(read, in, 512);
    EXPECT_EQ(send(nullptr, pdo, IOCTL_INTERNAL_USB_RESET_PORT)->wait(), STATUS_SUCCESS);
    EXPECT_EQ(pending->wait(), STATUS_CANCELLED);
    EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_FALSE(bus.halted(pdo, 0x86));
    EXPECT_EQ(bus.portResets(pdo), 1u);
    EXPECT_EQ(instrument().configuration(), 1) << "the hub selects the configuration again";
    uint8_t data[4] = {1, 2, 3, 4};
    ULONG length = 4;
    EXPECT_EQ(transfer(0x01, data, length), STATUS_SUCCESS) << "handles stay valid";
    length = 512;
    EXPECT_EQ(transfer(0x81, in, length), STATUS_SUCCESS);
    EXPECT_EQ(length, 4u) << "no packet lost: both toggles went back to DATA0";
}

// A port cycle is an unplug and a replug: the request completes, transfers at the bus fail as
// the device goes, the old physical device object reaches nothing any more, and the device comes
// back as another one, unconfigured, at another address.
TEST_F(BusResets, PortCycleBringsTheDeviceBackAsAnotherOne) {
    ASSERT_EQ(selectConfiguration(0), STATUS_SUCCESS);
    const uint8_t oldAddress = bus.address(pdo);
    uint8_t in[512];
    URB read;
    auto pending = pendingRead(read, in, 512);
    EXPECT_EQ(send(nullptr, pdo, IOCTL_INTERNAL_USB_CYCLE_PORT)->wait(), STATUS_SUCCESS);
    EXPECT_EQ(pending->wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    ULONG length = 4;
    EXPECT_EQ(transfer(0x01, in, length), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(send(nullptr, pdo, IOCTL_INTERNAL_USB_CYCLE_PORT)->wait(),
              STATUS_DEVICE_NOT_CONNECTED)
        << "the old device object has no port any more";

    ASSERT_TRUE(system.waitForPlugAndPlay());
    std::vector<PDEVICE_OBJECT> devices = bus.devices();
    auto fresh =
        std::find_if(devices.begin(), devices.end(), [&](PDEVICE_OBJECT d) { return d != pdo; });
    ASSERT_NE(fresh, devices.end()) << "the device came back";
    EXPECT_NE(bus.address(*fresh), oldAddress);
    EXPECT_EQ(bus.configuration(*fresh), 0);
    EXPECT_EQ(bus.portResets(*fresh), 0u) << "a cycle is no port reset";
}

// The port and pipe requests are PASSIVE_LEVEL only: Driver Verifier stops a driver that sends
// one at DISPATCH_LEVEL. The request is built at PASSIVE_LEVEL; only the send is raised.
TEST_F(BusResets, PortAndPipeRequestsAbovePassiveLevelStopTheMachine) {
    // The bus's own threads may hold its lock when a child forks: the child starts afresh.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EQ(selectConfiguration(0), STATUS_SUCCESS);
    URB abort;
    memset(&abort, 0, sizeof abort);
    abort.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    abort.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    abort.UrbPipeRequest.PipeHandle = pipe(0x81);
    URB reset = abort;
    reset.UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    const struct {
        ULONG code;
        URB* urb;
    } cases[] = {{IOCTL_INTERNAL_USB_RESET_PORT, nullptr},
                 {IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr},
                 {IOCTL_INTERNAL_USB_SUBMIT_URB, &reset},
                 {IOCTL_INTERNAL_USB_SUBMIT_URB, &abort}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_DEATH(
            {
                KEVENT event;
                KeInitializeEvent(&event, NotificationEvent, FALSE);
                IO_STATUS_BLOCK iosb;
                PIRP irp = IoBuildDeviceIoControlRequest(c.code, pdo, nullptr, 0, nullptr, 0, TRUE,
                                                         &event, &iosb);
                IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = c.urb;
                KIRQL old;
                KeRaiseIrql(DISPATCH_LEVEL, &old);
                IofCallDriver(pdo, irp);
            },
            "0x000000C4 \\(0x00000000000000E5(.|\n)*PASSIVE_LEVEL only");
    }
}

}  // namespace
}  // namespace sim::usb::testing
