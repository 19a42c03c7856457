// Control transfers from a stored setup packet: the request block each packet becomes (as the
// bus saw it), the packets refused, the selections carried out by the driver itself, and the
// stored packet being used up by every attempt.
#include "tests/driver/driver_fixture.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vavedu::test {
namespace {

using sim::usb::Fault;
using sim::usb::InstrumentModel;
using sim::usb::ntStatusForUsbd;
using sim::usb::TraceRecord;

SETUP_PACKET packet(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                    uint16_t length) {
    return SETUP_PACKET{type, request, value, index, length};
}

std::string packetText(const SETUP_PACKET& p) {
    char text[64];
    std::snprintf(text, sizeof(text), "%02x %02x %04x %04x %04x", p.bmRequestType, p.bRequest,
                  p.wValue, p.wIndex, p.wLength);
    return text;
}

const char kRefusedLine1[] =
    "Ioctl_ControlReadWrite() (Free build): ParseSetupRequest(): NtStatus: ";
const char kRefusedLine2[] = " - Not submitting request to USBD";

class ControlTransfers : public DriverTest {
  protected:
    void SetUp() override {
        ASSERT_EQ(loadDriver(), STATUS_SUCCESS);
        node = plugInstrument();
        handle = open(node);
        control = open(node);
    }
    // Control requests on the default pipe the driver sent since `from` (submissions).
    std::vector<TraceRecord> controlSubmissionsSince(size_t from) const {
        std::vector<TraceRecord> result;
        auto records = bus.trace().records();
        for (size_t i = from; i < records.size(); ++i) {
            if (!records[i].completion && records[i].ioctl == 0 && !records[i].synthetic &&
                records[i].function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
                result.push_back(records[i]);
            }
        }
        return result;
    }
    // The last two debug lines are the refusal message for `status`.
    void expectRefusalPrinted(NTSTATUS status) {
        auto lines = system.kernel().debugOutput();
        ASSERT_GE(lines.size(), 2u);
        char code[16];
        std::snprintf(code, sizeof(code), "%8.8x", static_cast<unsigned>(status));
        EXPECT_EQ(lines[lines.size() - 2], std::string(kRefusedLine1) + code);
        EXPECT_EQ(lines.back(), kRefusedLine2);
    }
    // The stored packet is used up: another transfer has none.
    void expectNoStoredPacket() {
        sim::AppResult result = ioctl(handle, IOCTL_BULK_CONTROL_TRANSFER, {}, 0);
        EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(result.information, 0u);
    }

    int node = -1;
    sim::Handle handle, control;
};

// One row of the translation: the packet, the data stage, what the bus received.
struct Translation {
    SETUP_PACKET packet;
    uint16_t function;
    const char* setupOnTheBus;  // hex of the setup packet the bus formed from the block
    uint32_t requested;         // TransferBufferLength of the block
    int transferFlags;          // vendor and class blocks; -1: not looked at
};

const Translation kTranslations[] = {
    {packet(0x00, 1, 1, 0, 0), URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, "0001010000000000", 0, -1},
    {packet(0x00, 3, 1, 0, 0), URB_FUNCTION_SET_FEATURE_TO_DEVICE, "0003010000000000", 0, -1},
    {packet(0x00, 7, 0x0302, 0x0409, 4), URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE, "0007020309040400",
     4, -1},
    {packet(0x01, 1, 0, 1, 0), URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE, "0101000001000000", 0, -1},
    {packet(0x01, 3, 0, 1, 0), URB_FUNCTION_SET_FEATURE_TO_INTERFACE, "0103000001000000", 0, -1},
    {packet(0x02, 1, 0, 0x81, 0), URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, "0201000081000000", 0,
     -1},
    {packet(0x02, 3, 0, 0x01, 0), URB_FUNCTION_SET_FEATURE_TO_ENDPOINT, "0203000001000000", 0, -1},
    {packet(0x20, 5, 0x0300, 0x0002, 4), URB_FUNCTION_CLASS_DEVICE, "2005000302000400", 4, 2},
    {packet(0xA0, 1, 0, 0, 6), URB_FUNCTION_CLASS_DEVICE, "a001000000000600", 6, 3},
    {packet(0x21, 0x0A, 0, 1, 0), URB_FUNCTION_CLASS_INTERFACE, "210a000001000000", 0, 2},
    {packet(0x40, 2, 0, 0, 0), URB_FUNCTION_VENDOR_DEVICE, "4002000000000000", 0, 2},
    {packet(0x40, 0x55, 0x1234, 0x5678, 3), URB_FUNCTION_VENDOR_DEVICE, "4055341278560300", 3, 2},
    {packet(0xC0, 1, 0, 0, 32), URB_FUNCTION_VENDOR_DEVICE, "c001000000002000", 32, 3},
    {packet(0x80, 0, 0, 0, 2), URB_FUNCTION_GET_STATUS_FROM_DEVICE, "8000000000000200", 2, -1},
    {packet(0x80, 0, 0, 0, 4), URB_FUNCTION_GET_STATUS_FROM_DEVICE, "8000000000000200", 2, -1},
    {packet(0x80, 6, 0x0100, 0, 18), URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, "8006000100001200",
     18, -1},
    {packet(0x80, 6, 0x0302, 0x0409, 64), URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
     "8006020309044000", 64, -1},
    {packet(0x80, 8, 0, 0, 1), URB_FUNCTION_GET_CONFIGURATION, "8008000000000100", 1, -1},
    {packet(0x80, 10, 0, 0, 1), URB_FUNCTION_GET_INTERFACE, "810a000000000100", 1, -1},
    {packet(0x80, 12, 0x0007, 0x0003, 2), URB_FUNCTION_VENDOR_DEVICE, "c00c070003000200", 2, 3},
    {packet(0x80, 1, 0, 0, 2), URB_FUNCTION_VENDOR_DEVICE, "c001000000000200", 2, 3},
    {packet(0x81, 0, 0, 1, 2), URB_FUNCTION_GET_STATUS_FROM_INTERFACE, "8100000001000200", 2, -1},
    {packet(0x81, 10, 0, 1, 1), URB_FUNCTION_GET_INTERFACE, "810a000001000100", 1, -1},
    {packet(0x81, 6, 0x0100, 0, 18), URB_FUNCTION_VENDOR_DEVICE, "c106000100001200", 18, 3},
    {packet(0x81, 8, 0, 0, 1), URB_FUNCTION_VENDOR_DEVICE, "c108000000000100", 1, 3},
    {packet(0x82, 0, 0, 0x81, 2), URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, "8200000081000200", 2, -1},
    {packet(0x82, 12, 0, 0x81, 2), URB_FUNCTION_VENDOR_DEVICE, "c20c000081000200", 2, 3},
    {packet(0x82, 10, 0, 0, 1), URB_FUNCTION_VENDOR_DEVICE, "c20a000000000100", 1, 3},
};

TEST_F(ControlTransfers, EachPacketBecomesItsRequestBlock) {
    for (const Translation& t : kTranslations) {
        SCOPED_TRACE(packetText(t.packet));
        bool in = (t.packet.bmRequestType & 0x80) != 0;
        Bytes input = in ? Bytes{} : pattern(t.packet.wLength);
        ULONG output = in ? t.packet.wLength : 0;
        size_t mark = bus.trace().size();
        Bytes out;
        sim::AppResult result = controlTransfer(handle, t.packet, input, output, &out);
        auto sent = controlSubmissionsSince(mark);
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].function, t.function);
        ASSERT_TRUE(sent[0].setup.has_value());
        EXPECT_EQ(hex(sent[0].setup->bytes()), t.setupOnTheBus);
        EXPECT_EQ(sent[0].requestedLength, t.requested);
        if (t.transferFlags >= 0) {
            EXPECT_EQ(sent[0].transferFlags, (uint32_t)t.transferFlags);
        }
        if (!in && t.packet.wLength != 0) {
            EXPECT_EQ(sent[0].data, input);  // the data stage is the input buffer
        }
        // The byte count is what the bus moved (for OUT packets what it sent).
        auto done = completed(t.function).back();
        if (result.status == STATUS_SUCCESS) {
            EXPECT_EQ(result.information, done.actualLength);
            if (in) {
                EXPECT_EQ(out.size(), done.actualLength);
            }
        } else {
            EXPECT_EQ(result.status, ntStatusForUsbd(done.usbdStatus));
            EXPECT_EQ(lastUsbdStatus(control), static_cast<ULONG>(done.usbdStatus));
        }
        expectNoStoredPacket();
    }
}

TEST_F(ControlTransfers, TheDeviceDescriptorThroughASetupPacket) {
    Bytes out;
    sim::AppResult result = controlTransfer(handle, packet(0x80, 6, 0x0100, 0, 18), {}, 18, &out);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 18u);
    EXPECT_EQ(out, instrument(node).deviceDescriptor());
    // The firmware version, a vendor IN request of the instrument.
    result = controlTransfer(
        handle, packet(0xC0, InstrumentModel::kRequestFirmwareVersion, 0, 0, 64), {}, 64, &out);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(std::string(out.begin(), out.end()), InstrumentModel::kFirmwareVersion);
    // GET_STATUS asks for 2 bytes even when the packet names more.
    result = controlTransfer(handle, packet(0x80, 0, 0, 0, 4), {}, 4, &out);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 2u);
    // Vendor OUT requests act on the device.
    result = controlTransfer(
        handle, packet(0x40, InstrumentModel::kRequestStopAcquisition, 0, 0, 0), {}, 0);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_FALSE(instrument(node).acquiring());
}

TEST_F(ControlTransfers, AnOutPacketWithoutDataSendsANullBuffer) {
    size_t mark = bus.trace().size();
    sim::AppResult result = controlTransfer(handle, packet(0x40, 2, 0, 0, 0), {}, 0);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u);
    auto sent = controlSubmissionsSince(mark);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].transferFlags, (uint32_t)USBD_SHORT_TRANSFER_OK);
    EXPECT_EQ(sent[0].requestedLength, 0u);
    EXPECT_TRUE(instrument(node).acquiring());
}

// The data stage must be exactly the buffer of the packet's direction.
TEST_F(ControlTransfers, TheBufferOfThePacketsDirectionMustMatchWLength) {
    struct Case {
        SETUP_PACKET packet;
        ULONG input, output;
    };
    const Case cases[] = {
        {packet(0x80, 6, 0x0100, 0, 18), 0, 64}, {packet(0x80, 6, 0x0100, 0, 18), 0, 17},
        {packet(0x80, 6, 0x0100, 0, 18), 18, 0}, {packet(0x80, 6, 0x0100, 0, 18), 0, 19},
        {packet(0x40, 2, 0, 0, 4), 3, 0},        {packet(0x40, 2, 0, 0, 4), 5, 4},
        {packet(0x40, 2, 0, 0, 0), 1, 0},        {packet(0x03, 0, 0, 0, 1), 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(packetText(c.packet) + " in " + std::to_string(c.input) + " out " +
                     std::to_string(c.output));
        size_t mark = bus.trace().size();
        size_t lines = system.kernel().debugOutput().size();
        sim::AppResult result = controlTransfer(handle, c.packet, Bytes(c.input, 1), c.output);
        EXPECT_EQ(result.status, STATUS_INVALID_BUFFER_SIZE);
        EXPECT_EQ(result.information, 0u);
        EXPECT_TRUE(controlSubmissionsSince(mark).empty());
        EXPECT_EQ(system.kernel().debugOutput().size(), lines);  // nothing printed
        expectNoStoredPacket();
    }
}

std::vector<uint8_t> refusedRequestTypes() {
    std::vector<uint8_t> types;
    auto range = [&](int from, int to) {
        for (int t = from; t <= to; ++t)
            types.push_back(static_cast<uint8_t>(t));
    };
    range(0x03, 0x1F);
    range(0x22, 0x3F);
    range(0x41, 0x7F);
    range(0x83, 0x9F);
    range(0xA1, 0xBF);
    range(0xC1, 0xFF);
    return types;
}

TEST_F(ControlTransfers, PacketsOutsideTheTableAreRefused) {
    std::vector<SETUP_PACKET> refused;
    for (uint8_t type : refusedRequestTypes())
        refused.push_back(packet(type, 0, 0, 0, 0));
    // Standard requests from host to device that the table does not name for the recipient.
    for (uint8_t request : {0, 2, 4, 5, 6, 8, 10, 11, 12, 0xFF}) {
        refused.push_back(packet(0x00, request, 0, 0, 0));
    }
    for (uint8_t request : {0, 2, 6, 7, 9, 10, 12})
        refused.push_back(packet(0x01, request, 0, 0, 0));
    for (uint8_t request : {0, 2, 7, 9, 11, 12})
        refused.push_back(packet(0x02, request, 0, 0, 0));
    for (const SETUP_PACKET& p : refused) {
        SCOPED_TRACE(packetText(p));
        size_t mark = bus.trace().size();
        sim::AppResult result = controlTransfer(handle, p, {}, 0);
        EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(result.information, 0u);
        EXPECT_TRUE(controlSubmissionsSince(mark).empty());
        expectRefusalPrinted(STATUS_INVALID_PARAMETER);
        expectNoStoredPacket();
    }
}

// GET_STATUS always asks the bus for two bytes: with a smaller data stage they would not fit.
TEST_F(ControlTransfers, GetStatusWithLessThanTwoBytesIsRefused) {
    for (uint8_t type : {0x80, 0x81, 0x82}) {
        for (uint16_t length : {0, 1}) {
            SCOPED_TRACE(std::to_string(type) + " wLength " + std::to_string(length));
            size_t mark = bus.trace().size();
            sim::AppResult result =
                controlTransfer(handle, packet(type, 0, 0, 0, length), {}, length);
            EXPECT_EQ(result.status, STATUS_INVALID_BUFFER_SIZE);
            EXPECT_EQ(result.information, 0u);
            EXPECT_TRUE(controlSubmissionsSince(mark).empty());
            expectNoStoredPacket();
        }
    }
}

// The I/O manager copies the byte count into the caller's output buffer: an OUT transfer never
// reports more than that buffer holds.
TEST_F(ControlTransfers, AnOutTransferNeverReportsMoreThanTheOutputBuffer) {
    Bytes data = pattern(8);
    sim::AppResult result = controlTransfer(handle, packet(0x40, 2, 0, 0, 8), data, 0);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 8u);  // no output buffer: the bytes sent
    result = controlTransfer(handle, packet(0x40, 2, 0, 0, 8), data, 4);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 4u);
    result = controlTransfer(handle, packet(0x40, 2, 0, 0, 8), data, 1);
    EXPECT_EQ(result.information, 1u);
    result = controlTransfer(handle, packet(0x40, 2, 0, 0, 8), data, 8);
    EXPECT_EQ(result.information, 8u);
    EXPECT_EQ(completed(URB_FUNCTION_VENDOR_DEVICE).back().requestedLength, 8u);
    // An output pointer of length 0 receives the byte count too: it must be 0.
    setSetupPacket(handle, packet(0x40, 2, 0, 0, 8));
    uint8_t none[1];
    result = handle.deviceIoControl(IOCTL_BULK_CONTROL_TRANSFER, data.data(), 8, none, 0);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u);
}

TEST_F(ControlTransfers, SetConfigurationIsCarriedOutByTheDriver) {
    size_t mark = bus.trace().size();
    sim::AppResult result = controlTransfer(handle, packet(0x00, 9, 2, 0, 0), {}, 0);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(bus.configuration(pdo(node)), 2);
    auto sent = controlSubmissionsSince(mark);
    ASSERT_EQ(sent.size(), 1u);  // only the selection, no SET_CONFIGURATION block of its own
    EXPECT_EQ(sent[0].function, URB_FUNCTION_SELECT_CONFIGURATION);
    expectNoStoredPacket();

    // The pipes follow: configuration 2 streams on 0x81 through pipe 0.
    sim::Handle stream = open(node, u"\\PIPE_0");
    Bytes samples(512);
    EXPECT_EQ(stream.read(samples.data(), 512).information, 512u);

    result = controlTransfer(handle, packet(0x00, 9, 5, 0, 0), {}, 0);
    EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER);
    expectRefusalPrinted(STATUS_INVALID_PARAMETER);
    result = controlTransfer(handle, packet(0x00, 9, 0x0101, 0, 0), {}, 0);  // the low byte
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(bus.configuration(pdo(node)), 1);
}

// The selection refuses to run under a transfer in progress; its status is the transfer's.
TEST_F(ControlTransfers, SetConfigurationIsRefusedWhileAReadRuns) {
    bus.setEndpointCompletionMode(pdo(node), 0x81, sim::usb::CompletionMode::Held);
    sim::Handle in = open(node, u"\\PIPE_1");
    Bytes buffer(512);
    auto read = in.readAsync(buffer.data(), 512);
    ASSERT_TRUE(bus.waitForHeld(1));
    size_t mark = bus.trace().size();
    sim::AppResult result = controlTransfer(handle, packet(0x00, 9, 1, 0, 0), {}, 0);
    EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_STATE);
    expectRefusalPrinted(STATUS_INVALID_DEVICE_STATE);
    EXPECT_TRUE(controlSubmissionsSince(mark).empty());
    expectNoStoredPacket();
    result = controlTransfer(handle, packet(0x01, 11, 1, 0, 0), {}, 0);
    EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_STATE);
    ASSERT_TRUE(bus.completeHeld(bus.heldUrbs().front().id, {USBD_STATUS_SUCCESS, pattern(8), {}}));
    EXPECT_EQ(read->wait().information, 8u);
}

TEST_F(ControlTransfers, SetInterfaceIsCarriedOutByTheDriver) {
    size_t mark = bus.trace().size();
    sim::AppResult result = controlTransfer(handle, packet(0x01, 11, 1, 0, 0), {}, 0);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(bus.alternateSetting(pdo(node), 0), 1);
    auto sent = controlSubmissionsSince(mark);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].function, URB_FUNCTION_SELECT_INTERFACE);

    result = controlTransfer(handle, packet(0x01, 11, 2, 0, 0), {}, 0);  // no setting 2
    EXPECT_LT(result.status, 0);
    expectRefusalPrinted(result.status);
    expectNoStoredPacket();
    result = controlTransfer(handle, packet(0x01, 11, 0, 0x0100, 0), {}, 0);  // interface 0
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(bus.alternateSetting(pdo(node), 0), 0);
}

// Every attempt uses the stored packet up, whatever its outcome.
TEST_F(ControlTransfers, EveryOutcomeConsumesTheStoredPacket) {
    expectNoStoredPacket();  // none stored yet
    ASSERT_EQ(setSetupPacket(handle, packet(0x80, 6, 0x0100, 0, 18)).status, STATUS_SUCCESS);
    EXPECT_EQ(ioctl(handle, IOCTL_BULK_CONTROL_TRANSFER, {}, 18).status, STATUS_SUCCESS);
    expectNoStoredPacket();

    bus.injectControlFault(pdo(node), USB_REQUEST_GET_DESCRIPTOR, Fault::of(Fault::Kind::Stall));
    EXPECT_EQ(controlTransfer(handle, packet(0x80, 6, 0x0100, 0, 18), {}, 18).status,
              ntStatusForUsbd(USBD_STATUS_STALL_PID));
    EXPECT_EQ(lastUsbdStatus(handle), static_cast<ULONG>(USBD_STATUS_STALL_PID));
    expectNoStoredPacket();

    EXPECT_EQ(controlTransfer(handle, packet(0x80, 6, 0x0100, 0, 18), {}, 5).status,
              STATUS_INVALID_BUFFER_SIZE);
    expectNoStoredPacket();
    EXPECT_EQ(controlTransfer(handle, packet(0x23, 0, 0, 0, 0), {}, 0).status,
              STATUS_INVALID_PARAMETER);
    expectNoStoredPacket();
    EXPECT_EQ(controlTransfer(handle, packet(0x00, 9, 1, 0, 0), {}, 0).status, STATUS_SUCCESS);
    expectNoStoredPacket();

    // The packet belongs to the device: another handle's transfer runs it.
    ASSERT_EQ(setSetupPacket(handle, packet(0x80, 8, 0, 0, 1)).status, STATUS_SUCCESS);
    Bytes out;
    EXPECT_EQ(ioctl(control, IOCTL_BULK_CONTROL_TRANSFER, {}, 1, &out).status, STATUS_SUCCESS);
    EXPECT_EQ(out, Bytes{1});
    expectNoStoredPacket();
}

TEST_F(ControlTransfers, AStoreOfTheWrongLengthLeavesTheStoredPacketAlone) {
    const uint8_t bad[9] = {0x23, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(ioctl(handle, IOCTL_BULK_SET_SETUP_PACKET, {bad, 7}, 0).status,
              STATUS_INVALID_BUFFER_SIZE);
    expectNoStoredPacket();
    ASSERT_EQ(setSetupPacket(handle, packet(0x80, 8, 0, 0, 1)).status, STATUS_SUCCESS);
    EXPECT_EQ(ioctl(handle, IOCTL_BULK_SET_SETUP_PACKET, {bad, 9}, 0).status,
              STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(ioctl(handle, IOCTL_BULK_SET_SETUP_PACKET, {bad, 7}, 0).status,
              STATUS_INVALID_BUFFER_SIZE);
    Bytes out;
    EXPECT_EQ(ioctl(handle, IOCTL_BULK_CONTROL_TRANSFER, {}, 1, &out).status, STATUS_SUCCESS);
    EXPECT_EQ(out, Bytes{1});  // the packet stored before, GET_CONFIGURATION
}

// The request block is a local: only the request packet of the synchronous submission.
TEST_F(ControlTransfers, AControlTransferAllocatesOnlyItsRequestPacket) {
    for (const SETUP_PACKET& p :
         {packet(0x80, 6, 0x0100, 0, 18), packet(0x40, 2, 0, 0, 8), packet(0x02, 1, 0, 0x81, 0)}) {
        SCOPED_TRACE(packetText(p));
        bool in = (p.bmRequestType & 0x80) != 0;
        auto before = counters();
        sim::AppResult result =
            controlTransfer(handle, p, in ? Bytes{} : pattern(p.wLength), in ? p.wLength : 0);
        auto after = counters();
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(allocatedBetween(before, after, sim::AllocationKind::Pool), 0u);
        EXPECT_EQ(allocatedBetween(before, after, sim::AllocationKind::Mdl), 0u);
        EXPECT_EQ(allocatedBetween(before, after, sim::AllocationKind::Irp), 1u);
    }
}

TEST_F(ControlTransfers, NoRequestPacketMeansInsufficientResources) {
    ASSERT_EQ(setSetupPacket(handle, packet(0x80, 6, 0x0100, 0, 18)).status, STATUS_SUCCESS);
    size_t mark = bus.trace().size();
    system.kernel().setFaultPolicy(sim::FaultPolicy::failNth(1, sim::AllocationKind::Irp));
    sim::AppResult result = ioctl(handle, IOCTL_BULK_CONTROL_TRANSFER, {}, 18);
    system.kernel().setFaultPolicy(sim::FaultPolicy::none());
    EXPECT_EQ(result.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(result.information, 0u);
    EXPECT_TRUE(controlSubmissionsSince(mark).empty());
    expectNoStoredPacket();
}

}  // namespace
}  // namespace vavedu::test
