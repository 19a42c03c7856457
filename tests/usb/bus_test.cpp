// The USB bus driver through its physical device objects: every URB kind and its validation,
// completion modes, cancel, packets, faults, two devices and unplug.
#include "tests/usb/bus_fixture.hpp"

#include <thread>

namespace sim::usb::testing {
namespace {

using namespace std::chrono_literals;

constexpr USBD_STATUS kUnwritten = 0x12345678;

void buildDescriptorRequest(URB& urb, uint8_t type, uint8_t index, void* buffer, ULONG length) {
    memset(&urb, 0, sizeof urb);
    urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb.UrbHeader.Status = kUnwritten;
    urb.UrbControlDescriptorRequest.DescriptorType = type;
    urb.UrbControlDescriptorRequest.Index = index;
    urb.UrbControlDescriptorRequest.TransferBuffer = buffer;
    urb.UrbControlDescriptorRequest.TransferBufferLength = length;
}

void buildVendor(URB& urb, USHORT function, ULONG flags, UCHAR reserved, UCHAR request,
                 void* buffer, ULONG length) {
    memset(&urb, 0, sizeof urb);
    urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    urb.UrbHeader.Function = function;
    auto& v = urb.UrbControlVendorClassRequest;
    v.TransferFlags = flags;
    v.RequestTypeReservedBits = reserved;
    v.Request = request;
    v.TransferBuffer = buffer;
    v.TransferBufferLength = length;
}

TEST_F(UsbBusTest, DescriptorRequestsAnswerFromTheDevice) {
    uint8_t buffer[256] = {};
    URB urb;
    buildDescriptorRequest(urb, USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, 18);
    auto request = send(&urb);
    EXPECT_EQ(request->returned, STATUS_SUCCESS) << "control requests complete inline";
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 18u);
    EXPECT_EQ(Bytes(buffer, buffer + 18), instrument().deviceDescriptor());

    buildDescriptorRequest(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, buffer, 255);
    EXPECT_EQ(submit(&urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 78u) << "short: all there is";
    buildDescriptorRequest(urb, USB_STRING_DESCRIPTOR_TYPE, 2, buffer, 255);
    EXPECT_EQ(submit(&urb), STATUS_SUCCESS);
    EXPECT_EQ(buffer[1], USB_STRING_DESCRIPTOR_TYPE);
    buildDescriptorRequest(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, 2, buffer, 9);
    EXPECT_EQ(submit(&urb), STATUS_UNSUCCESSFUL) << "no third configuration";
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);

    bus.injectControlFault(pdo, USB_REQUEST_GET_DESCRIPTOR, Fault::shortDescriptor(5));
    buildDescriptorRequest(urb, USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, 18);
    EXPECT_EQ(submit(&urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 5u) << "fewer bytes than asked";
}

TEST_F(UsbBusTest, SelectConfigurationFillsHandlesAndKeepsTransferSizes) {
    ASSERT_EQ(selectConfiguration(0, 16384), STATUS_SUCCESS);
    EXPECT_EQ(bus.configuration(pdo), 1);
    EXPECT_EQ(instrument().configuration(), 1);
    EXPECT_NE(configurationHandle[pdo], nullptr);
    const auto& p = pipes[pdo];
    ASSERT_EQ(p.size(), 4u);
    EXPECT_EQ(p.at(0x81).MaximumPacketSize, 512);
    EXPECT_EQ(p.at(0x81).PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(p.at(0x86).MaximumTransferSize, 16384u) << "the driver's value is kept";
    EXPECT_NE(p.at(0x01).PipeHandle, p.at(0x81).PipeHandle);
    auto completions = bus.trace().completions();
    ASSERT_FALSE(completions.empty());
    ASSERT_TRUE(completions.back().setup);
    EXPECT_EQ(completions.back().setup->bytes(),
              (std::array<uint8_t, 8>{0x00, 0x09, 1, 0, 0, 0, 0, 0}))
        << "recorded as the SET_CONFIGURATION it causes";

    // Unconfigure: a whole URB with a null descriptor.
    URB urb = {};
    urb.UrbHeader.Length = sizeof(URB);
    urb.UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    EXPECT_EQ(submit(&urb), STATUS_SUCCESS);
    EXPECT_EQ(bus.configuration(pdo), 0);
    ULONG length = 4;
    uint8_t data[4];
    EXPECT_EQ(transfer(0x01, data, length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(lastUsbdStatus, USBD_STATUS_INVALID_PIPE_HANDLE)
        << "handles die with the configuration";
}

TEST_F(UsbBusTest, SelectInterfaceSwitchesPipesAndRetiresOldHandles) {
    ASSERT_EQ(selectConfiguration(0), STATUS_SUCCESS);
    const auto oldIn = pipe(0x81);
    URB block = {};  // room for the whole union; the request says 56 + 24 per pipe
    auto* urb = &block;
    urb->UrbHeader.Length = 56 + 2 * 24;
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
    auto& select = urb->UrbSelectInterface;
    select.ConfigurationHandle = configurationHandle[pdo];
    select.Interface.Length = 3 * 24;
    select.Interface.InterfaceNumber = 0;
    select.Interface.AlternateSetting = 1;
    select.Interface.Pipes[0].MaximumTransferSize = 4096;
    select.Interface.Pipes[1].MaximumTransferSize = 4096;
    ASSERT_EQ(submit(urb), STATUS_SUCCESS);
    EXPECT_EQ(select.Interface.NumberOfPipes, 2u);
    EXPECT_EQ(select.Interface.Pipes[1].EndpointAddress, 0x81);
    EXPECT_EQ(select.Interface.Pipes[1].MaximumPacketSize, 64);
    EXPECT_EQ(select.Interface.Pipes[1].MaximumTransferSize, 4096u);
    EXPECT_EQ(bus.alternateSetting(pdo, 0), 1);

    URB bulk;
    uint8_t data[8];
    buildBulk(bulk, oldIn, data, 8, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    EXPECT_EQ(submit(&bulk), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bulk.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
    uint8_t samples[512];
    ULONG length = 512;
    EXPECT_EQ(transfer(0x86, samples, length), STATUS_SUCCESS)
        << "the other interface keeps its pipes";
}

// ---- validation, table-driven: each case spoils one thing of a good URB.

struct BadUrb {
    const char* what;
    std::function<void(URB& urb, UsbBusTest& test, uint8_t* buffer)> build;
    USBD_STATUS usbd;
    NTSTATUS nt;
};

class UrbValidation : public UsbBusTest, public ::testing::WithParamInterface<BadUrb> {};

TEST_P(UrbValidation, FailsWithThePlatformsStatus) {
    ASSERT_EQ(selectConfiguration(0), STATUS_SUCCESS);
    uint8_t buffer[64] = {};
    URB urb;
    memset(&urb, 0, sizeof urb);
    GetParam().build(urb, *this, buffer);
    urb.UrbHeader.Status = kUnwritten;
    const size_t before = bus.trace().size();
    EXPECT_EQ(submit(&urb), GetParam().nt);
    EXPECT_EQ(urb.UrbHeader.Status, GetParam().usbd) << "Hdr.Status is always written";
    EXPECT_EQ(bus.trace().size(), before + 2) << "submission and completion recorded";
}

void goodBulkIn(URB& urb, UsbBusTest& test, uint8_t* buffer) {
    UsbBusTest::buildBulk(urb, test.pipe(0x81), buffer, 64,
                          USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
}

const BadUrb kBadUrbs[] = {
    {"unknown function",
     [](URB& u, auto&, auto*) {
         u.UrbHeader.Length = sizeof u;
         u.UrbHeader.Function = 0x99;
     },
     USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER},
    {"isochronous transfer",
     [](URB& u, auto&, auto*) {
         u.UrbHeader.Length = sizeof u;
         u.UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
     },
     USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER},
    {"bulk header too short",
     [](URB& u, auto& t, auto* b) {
         goodBulkIn(u, t, b);
         u.UrbHeader.Length = 127;
     },
     USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
    {"bulk unknown pipe",
     [](URB& u, auto& t, auto* b) {
         goodBulkIn(u, t, b);
         u.UrbBulkOrInterruptTransfer.PipeHandle = (void*)0x1234;
     },
     USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER},
    {"bulk IN flag on an OUT pipe",
     [](URB& u, auto& t, auto* b) {
         goodBulkIn(u, t, b);
         u.UrbBulkOrInterruptTransfer.PipeHandle = t.pipe(0x01);
     },
     USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
    {"bulk OUT flag on an IN pipe",
     [](URB& u, auto& t, auto* b) {
         goodBulkIn(u, t, b);
         u.UrbBulkOrInterruptTransfer.TransferFlags = USBD_SHORT_TRANSFER_OK;
     },
     USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
    {"bulk without buffer or MDL",
     [](URB& u, auto& t, auto* b) {
         goodBulkIn(u, t, b);
         u.UrbBulkOrInterruptTransfer.TransferBuffer = nullptr;
     },
     USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
    {"bulk above what the stack takes in one request",
     [](URB& u, auto& t, auto* b) {
         goodBulkIn(u, t, b);
         u.UrbBulkOrInterruptTransfer.TransferBufferLength = UsbBus::kMaxTransferSize + 1;
     },
     USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
    {"descriptor header too short",
     [](URB& u, auto&, auto* b) {
         buildDescriptorRequest(u, 1, 0, b, 18);
         u.UrbHeader.Length = 135;
     },
     USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
    {"descriptor without buffer",
     [](URB& u, auto&, auto*) { buildDescriptorRequest(u, 1, 0, nullptr, 18); },
     USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
    {"get status into 1 byte",
     [](URB& u, auto&, auto* b) {
         u.UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);
         u.UrbHeader.Function = URB_FUNCTION_GET_STATUS_FROM_DEVICE;
         u.UrbControlGetStatusRequest.TransferBuffer = b;
         u.UrbControlGetStatusRequest.TransferBufferLength = 1;
     },
     USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
    {"vendor request without its buffer",
     [](URB& u, auto&, auto*) { buildVendor(u, URB_FUNCTION_VENDOR_DEVICE, 3, 0, 1, nullptr, 8); },
     USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
    {"reset pipe header too short",
     [](URB& u, auto& t, auto*) {
         u.UrbHeader.Length = 39;
         u.UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
         u.UrbPipeRequest.PipeHandle = t.pipe(0x81);
     },
     USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
    {"reset pipe unknown pipe",
     [](URB& u, auto&, auto*) {
         u.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
         u.UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
         u.UrbPipeRequest.PipeHandle = (void*)0x40;
     },
     USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER},
    {"unconfigure with only the select-configuration length",
     [](URB& u, auto&, auto*) {
         u.UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
         u.UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
     },
     USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
    {"select interface without configuration handle",
     [](URB& u, auto&, auto*) {
         u.UrbHeader.Length = 104;
         u.UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
         u.UrbSelectInterface.Interface.Length = 72;
         u.UrbSelectInterface.Interface.AlternateSetting = 1;
     },
     USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
    {"select interface header too short for its pipes",
     [](URB& u, auto& t, auto*) {
         u.UrbHeader.Length = 56 + 24;
         u.UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
         u.UrbSelectInterface.ConfigurationHandle = t.configurationHandle[t.pdo];
         u.UrbSelectInterface.Interface.Length = 72;
         u.UrbSelectInterface.Interface.AlternateSetting = 1;
     },
     USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
    {"select interface record too short",
     [](URB& u, auto& t, auto*) {
         u.UrbHeader.Length = 104;
         u.UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
         u.UrbSelectInterface.ConfigurationHandle = t.configurationHandle[t.pdo];
         u.UrbSelectInterface.Interface.Length = 48;
         u.UrbSelectInterface.Interface.AlternateSetting = 1;
     },
     USBD_STATUS_BUFFER_TOO_SMALL, STATUS_UNSUCCESSFUL},
    {"select interface with an unknown pipe flag",
     [](URB& u, auto& t, auto*) {
         u.UrbHeader.Length = 104;
         u.UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
         u.UrbSelectInterface.ConfigurationHandle = t.configurationHandle[t.pdo];
         u.UrbSelectInterface.Interface.Length = 72;
         u.UrbSelectInterface.Interface.AlternateSetting = 1;
         u.UrbSelectInterface.Interface.Pipes[1].PipeFlags = 0x10;
     },
     USBD_STATUS_INAVLID_PIPE_FLAGS, STATUS_UNSUCCESSFUL},
    {"select interface with a setting the configuration lacks",
     [](URB& u, auto& t, auto*) {
         u.UrbHeader.Length = 104;
         u.UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
         u.UrbSelectInterface.ConfigurationHandle = t.configurationHandle[t.pdo];
         u.UrbSelectInterface.Interface.Length = 72;
         u.UrbSelectInterface.Interface.AlternateSetting = 7;
     },
     USBD_STATUS_INTERFACE_NOT_FOUND, STATUS_UNSUCCESSFUL},
    {"raw control transfer without the default-pipe flag",
     [](URB& u, auto&, auto* b) {
         u.UrbHeader.Length = sizeof(struct _URB_CONTROL_TRANSFER);
         u.UrbHeader.Function = URB_FUNCTION_CONTROL_TRANSFER;
         u.UrbControlTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
         u.UrbControlTransfer.TransferBuffer = b;
         u.UrbControlTransfer.TransferBufferLength = 18;
         const uint8_t setup[8] = {0x80, USB_REQUEST_GET_DESCRIPTOR, 0, 1, 0, 0, 18, 0};
         memcpy(u.UrbControlTransfer.SetupPacket, setup, 8);
     },
     USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER},
};

INSTANTIATE_TEST_SUITE_P(Bad, UrbValidation, ::testing::ValuesIn(kBadUrbs), [](const auto& info) {
    std::string name;
    for (const char* c = info.param.what; *c; ++c) {
        if (std::isalnum(static_cast<unsigned char>(*c)))
            name += *c;
    }
    return name;
});

// The stack neither checks nor changes MaximumTransferSize; the limit of a request is its own.
TEST_F(UsbBusTest, MaximumTransferSizeIsNeitherCheckedNorChanged) {
    for (ULONG asked : {ULONG{100}, ULONG{USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE}}) {
        SCOPED_TRACE(asked);
        ASSERT_EQ(selectConfiguration(0, asked), STATUS_SUCCESS);
        EXPECT_EQ(pipes[pdo].at(0x01).MaximumTransferSize, asked);
        std::vector<uint8_t> data(4096);
        ULONG length = 4096;
        EXPECT_EQ(transfer(0x01, data.data(), length), STATUS_SUCCESS) << "above the value asked";
        length = 4096;
        EXPECT_EQ(transfer(0x81, data.data(), length), STATUS_SUCCESS);
    }
}

// ---- the other control kinds

TEST_F(UsbBusTest, StandardControlKindsFormTheirSetupPackets) {
    ASSERT_EQ(selectConfiguration(0), STATUS_SUCCESS);
    uint8_t buffer[8] = {};
    struct Case {
        USHORT function;
        USHORT index;
        std::array<uint8_t, 8> setup;
        Bytes reply;
    };
    const Case cases[] = {
        {URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0, {0x80, 0, 0, 0, 0, 0, 2, 0}, {0, 0}},
        {URB_FUNCTION_GET_STATUS_FROM_INTERFACE, 1, {0x81, 0, 0, 0, 1, 0, 2, 0}, {0, 0}},
        {URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, 0x81, {0x82, 0, 0, 0, 0x81, 0, 2, 0}, {0, 0}},
        {URB_FUNCTION_GET_CONFIGURATION, 0, {0x80, 8, 0, 0, 0, 0, 1, 0}, {1}},
        {URB_FUNCTION_GET_INTERFACE, 1, {0x81, 10, 0, 0, 1, 0, 1, 0}, {0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.function);
        URB urb;
        memset(&urb, 0, sizeof urb);
        urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);
        urb.UrbHeader.Function = c.function;
        urb.UrbControlGetStatusRequest.TransferBuffer = buffer;
        urb.UrbControlGetStatusRequest.TransferBufferLength = static_cast<ULONG>(c.reply.size());
        if (c.function == URB_FUNCTION_GET_INTERFACE)
            urb.UrbControlGetInterfaceRequest.Interface = c.index;
        else if (c.function != URB_FUNCTION_GET_CONFIGURATION)
            urb.UrbControlGetStatusRequest.Index = c.index;
        EXPECT_EQ(submit(&urb), STATUS_SUCCESS);
        EXPECT_EQ(urb.UrbControlGetStatusRequest.TransferBufferLength, c.reply.size());
        EXPECT_EQ(Bytes(buffer, buffer + c.reply.size()), c.reply);
        EXPECT_EQ(bus.trace().records().back().setup->bytes(), c.setup);
    }
}

// A raw control transfer whose wLength asks for more than its buffer holds gets what fits: the
// bus never writes past TransferBufferLength.
TEST_F(UsbBusTest, StandardAnswersToARawControlTransferStayWithinItsBuffer) {
    struct Case {
        std::array<uint8_t, 8> setup;
        ULONG length;
    };
    const Case cases[] = {
        {{0x80, USB_REQUEST_GET_DESCRIPTOR, 0, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18, 0}, 4},
        {{0x80, USB_REQUEST_GET_STATUS, 0, 0, 0, 0, 2, 0}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setup[1]);
        uint8_t buffer[32];
        memset(buffer, 0xEE, sizeof buffer);
        URB urb;
        memset(&urb, 0, sizeof urb);
        urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_TRANSFER);
        urb.UrbHeader.Function = URB_FUNCTION_CONTROL_TRANSFER;
        auto& control = urb.UrbControlTransfer;
        control.TransferFlags =
            USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK | USBD_DEFAULT_PIPE_TRANSFER;
        control.TransferBuffer = c.length != 0 ? buffer : nullptr;
        control.TransferBufferLength = c.length;
        memcpy(control.SetupPacket, c.setup.data(), c.setup.size());
        EXPECT_EQ(submit(&urb), STATUS_SUCCESS);
        EXPECT_EQ(control.TransferBufferLength, c.length);
        EXPECT_EQ(std::count(buffer + c.length, std::end(buffer), 0xEE), 32 - c.length)
            << "nothing written past the buffer";
    }
}

TEST_F(UsbBusTest, VendorRequestsFormTheSetupPacketFromKindFlagsAndReservedBits) {
    char version[64] = {};
    URB urb;
    buildVendor(urb, URB_FUNCTION_VENDOR_DEVICE,
                USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0,
                InstrumentModel::kRequestFirmwareVersion, version, sizeof version);
    EXPECT_EQ(submit(&urb), STATUS_SUCCESS);
    EXPECT_EQ(std::string(version, urb.UrbControlVendorClassRequest.TransferBufferLength),
              InstrumentModel::kFirmwareVersion);
    EXPECT_EQ(bus.trace().records().back().setup->requestType, 0xC0);

    // The close request as the driver builds it: reserved bits 0x40, no data.
    buildVendor(urb, URB_FUNCTION_VENDOR_DEVICE, USBD_SHORT_TRANSFER_OK, 0x40, 0, nullptr, 0);
    EXPECT_EQ(submit(&urb), STATUS_SUCCESS);
    EXPECT_EQ(instrument().closeRequests(), 1u);
    EXPECT_EQ(bus.trace().records().back().setup->bytes(),
              (std::array<uint8_t, 8>{0x40, 0, 0, 0, 0, 0, 0, 0}));

    // A standard IN request the client turned into a vendor one with recipient bits 2.
    buildVendor(urb, URB_FUNCTION_VENDOR_DEVICE,
                USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 2, 12, version, 2);
    EXPECT_EQ(submit(&urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(bus.trace().records().back().setup->requestType, 0xC2);

    buildVendor(urb, URB_FUNCTION_CLASS_INTERFACE, USBD_SHORT_TRANSFER_OK, 0, 5, nullptr, 0);
    EXPECT_EQ(submit(&urb), STATUS_UNSUCCESSFUL) << "the instrument has no class requests";
    EXPECT_EQ(bus.trace().records().back().setup->requestType, 0x21);
}

// ---- bulk packets

TEST_F(UsbBusTest, LoopbackEndsReadsAtShortPacketsAndZeroLengthPackets) {
    ASSERT_EQ(selectConfiguration(0), STATUS_SUCCESS);
    struct Case {
        ULONG written, asked, expected;
    };
    for (const Case c : {Case{700, 16384, 700}, Case{512, 16384, 512}, Case{1024, 512, 512},
                         Case{100, 512, 100}}) {
        SCOPED_TRACE(c.written);
        std::vector<uint8_t> out(c.written), in(c.asked);
        for (size_t i = 0; i < out.size(); ++i)
            out[i] = static_cast<uint8_t>(i * 7 + c.written);
        ULONG length = c.written;
        ASSERT_EQ(transfer(0x01, out.data(), length), STATUS_SUCCESS);
        EXPECT_EQ(length, c.written);
        length = c.asked;
        ASSERT_EQ(transfer(0x81, in.data(), length), STATUS_SUCCESS);
        EXPECT_EQ(length, c.expected);
        EXPECT_TRUE(std::equal(in.begin(), in.begin() + length, out.begin()));
        while (instrument().loopbackWaiting() != 0) {  // drain what is left
            length = c.asked;
            transfer(0x81, in.data(), length);
        }
    }
    ULONG zero = 0;
    EXPECT_EQ(transfer(0x01, nullptr, zero), STATUS_SUCCESS);
    EXPECT_EQ(instrument().zeroLengthPacketsReceived(), 1u) << "a zero-length packet is an event";
}

TEST_F(UsbBusTest, ReadingLessThanAPacketOverruns) {
    ASSERT_EQ(selectConfiguration(0), STATUS_SUCCESS);
    uint8_t data[512] = {};
    ULONG length = 512;
    ASSERT_EQ(transfer(0x01, data, length), STATUS_SUCCESS);
    length = 100;
    EXPECT_EQ(transfer(0x81, data, length), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(lastUsbdStatus, USBD_STATUS_DATA_OVERRUN);
    EXPECT_EQ(length, 100u);
}

TEST_F(UsbBusTest, ShortPacketWithoutShortTransferOkIsAnError) {
    ASSERT_EQ(selectConfiguration(0), STATUS_SUCCESS);
    uint8_t data[1024] = {};
    ULONG length = 10;
    ASSERT_EQ(transfer(0x01, data, length), STATUS_SUCCESS);
    URB urb;
    buildBulk(urb, pipe(0x81), data, 1024, USBD_TRANSFER_DIRECTION_IN);
    EXPECT_EQ(submit(&urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_ERROR_SHORT_TRANSFER);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);
}

// A device that sends whole IN transfers at once: `sends` bytes of a counting pattern.
class WholeTransferSource : public LoopbackModel {
  public:
    explicit WholeTransferSource(size_t sends) : sends_(sends) {}
    std::optional<size_t> bulkInTransfer(uint8_t, uint16_t, std::span<uint8_t> buffer) override {
        const size_t n = std::min(sends_, buffer.size());
        for (size_t i = 0; i < n; ++i)
            buffer[i] = static_cast<uint8_t>(i);
        return n;
    }

  private:
    size_t sends_;
};

TEST_F(UsbBusTest, WholeInTransfersOfAModelEndAtTheirShortPacket) {
    struct Case {
        size_t sends;
        ULONG flags, asked;
        NTSTATUS status;
        USBD_STATUS usbd;
        ULONG moved;
    };
    const ULONG in = USBD_TRANSFER_DIRECTION_IN;
    for (const Case c : {
             Case{4096, in | USBD_SHORT_TRANSFER_OK, 2048, STATUS_SUCCESS, USBD_STATUS_SUCCESS,
                  2048},
             Case{700, in | USBD_SHORT_TRANSFER_OK, 2048, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 700},
             Case{700, in, 2048, STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_SHORT_TRANSFER, 700},
         }) {
        SCOPED_TRACE(c.sends);
        PDEVICE_OBJECT source = bus.attach(std::make_unique<WholeTransferSource>(c.sends));
        ASSERT_EQ(selectConfiguration(0, 16384, source), STATUS_SUCCESS);
        std::vector<uint8_t> data(c.asked, 0xEE);
        URB urb;
        buildBulk(urb, pipe(0x81, source), data.data(), c.asked, c.flags);
        EXPECT_EQ(submit(&urb, source), c.status);
        EXPECT_EQ(urb.UrbHeader.Status, c.usbd);
        EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, c.moved);
        EXPECT_EQ(data[c.moved - 1], static_cast<uint8_t>(c.moved - 1));
        if (c.moved < c.asked) {
            EXPECT_EQ(data[c.moved], 0xEE) << "nothing past what the device sent";
        }
        EXPECT_EQ(bus.trace().completions().back().actualLength, c.moved);
    }
}

TEST_F(UsbBusTest, TransfersThroughAnMdlAreMappedAndChecked) {
    ASSERT_EQ(selectConfiguration(0), STATUS_SUCCESS);
    std::vector<uint8_t> data(1000, 0x5A);
    PMDL mdl = IoAllocateMdl(data.data(), 1000, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    URB urb;
    buildBulk(urb, pipe(0x01), nullptr, 1000, USBD_SHORT_TRANSFER_OK);
    urb.UrbBulkOrInterruptTransfer.TransferBufferMDL = mdl;
    EXPECT_EQ(submit(&urb), STATUS_SUCCESS);
    EXPECT_EQ(instrument().loopbackWaiting(), 1000u);
    buildBulk(urb, pipe(0x01), nullptr, 1001, USBD_SHORT_TRANSFER_OK);
    urb.UrbBulkOrInterruptTransfer.TransferBufferMDL = mdl;
    EXPECT_EQ(submit(&urb), STATUS_INVALID_PARAMETER) << "the MDL is shorter than the length";
    IoFreeMdl(mdl);
}

// ---- completion modes

TEST_F(UsbBusTest, InlineModeCompletesBeforeIofCallDriverReturns) {
    bus.setBulkCompletionMode(CompletionMode::Inline);
    ASSERT_EQ(selectConfiguration(0), STATUS_SUCCESS);
    uint8_t data[16] = {1, 2, 3};
    URB urb;
    buildBulk(urb, pipe(0x01), data, 16, USBD_SHORT_TRANSFER_OK);
    auto request = send(&urb);
    EXPECT_EQ(request->returned, STATUS_SUCCESS);
    EXPECT_EQ(request->iosb.Status, STATUS_SUCCESS);
}

TEST_F(UsbBusTest, AsyncModePendsThenCompletes) {
    ASSERT_EQ(selectConfiguration(0), STATUS_SUCCESS);
    uint8_t data[16] = {};
    URB urb;
    buildBulk(urb, pipe(0x01), data, 16, USBD_SHORT_TRANSFER_OK);
    auto request = send(&urb);
    EXPECT_EQ(request->returned, STATUS_PENDING) << "bulk is asynchronous by default";
    EXPECT_EQ(request->wait(), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 16u);
}

TEST_F(UsbBusTest, HeldModeWaitsForTheTest) {
    ASSERT_EQ(selectConfiguration(0), STATUS_SUCCESS);
    bus.setEndpointCompletionMode(pdo, 0x81, CompletionMode::Held);
    uint8_t data[512] = {};
    URB urb;
    buildBulk(urb, pipe(0x81), data, 512, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    auto request = send(&urb);
    ASSERT_EQ(request->returned, STATUS_PENDING);
    ASSERT_TRUE(bus.waitForHeld(1));
    auto held = bus.heldUrbs();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].endpoint, 0x81);
    EXPECT_EQ(held[0].length, 512u);
    EXPECT_TRUE(held[0].in);
    EXPECT_FALSE(KeReadStateEvent(&request->event));
    ASSERT_TRUE(bus.completeHeld(held[0].id, {USBD_STATUS_SUCCESS, Bytes{9, 8, 7}, std::nullopt}));
    EXPECT_EQ(request->wait(), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
    EXPECT_EQ(data[0], 9);
    EXPECT_FALSE(bus.completeHeld(held[0].id, {})) << "not held any more";

    // A held URB completed with an error status, and one let through to the device.
    request = send(&urb);
    ASSERT_TRUE(bus.waitForHeld(1));
    bus.completeHeld(bus.heldUrbs()[0].id, {USBD_STATUS_CRC, {}, 0});
    EXPECT_EQ(request->wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CRC);
    ULONG length = 5;
    ASSERT_EQ(transfer(0x01, data, length), STATUS_SUCCESS);
    buildBulk(urb, pipe(0x81), data, 512, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    request = send(&urb);
    ASSERT_TRUE(bus.waitForHeld(1));
    bus.releaseHeld(bus.heldUrbs()[0].id);
    EXPECT_EQ(request->wait(), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 5u);
}

TEST_F(UsbBusTest, PendingUrbsAreCancellable) {
    ASSERT_EQ(selectConfiguration(0), STATUS_SUCCESS);
    uint8_t data[512];
    for (CompletionMode mode :
         {CompletionMode::Held, CompletionMode::Async, CompletionMode::Inline}) {
        SCOPED_TRACE(static_cast<int>(mode));
        bus.setEndpointCompletionMode(pdo, 0x81, mode);
        URB urb;
        buildBulk(urb, pipe(0x81), data, 512, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
        auto request = send(&urb);  // nothing waiting: held, or NAKed by the device
        ASSERT_EQ(request->returned, STATUS_PENDING);
        std::this_thread::sleep_for(20ms);
        EXPECT_FALSE(KeReadStateEvent(&request->event));
        EXPECT_TRUE(IoCancelIrp(request->irp));
        EXPECT_EQ(request->wait(), STATUS_CANCELLED);
        EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
        EXPECT_EQ(bus.pendingCount(), 0u);
    }
}

TEST_F(UsbBusTest, NakedReadCompletesWhenDataArrives) {
    ASSERT_EQ(selectConfiguration(0), STATUS_SUCCESS);
    uint8_t in[512];
    URB urb;
    buildBulk(urb, pipe(0x81), in, 512, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    auto request = send(&urb);
    ASSERT_EQ(request->returned, STATUS_PENDING);
    uint8_t out[3] = {4, 5, 6};
    ULONG length = 3;
    ASSERT_EQ(transfer(0x01, out, length), STATUS_SUCCESS);
    EXPECT_EQ(request->wait(), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
    EXPECT_EQ(in[2], 6);
}

TEST_F(UsbBusTest, SteppedControllerCompletesOnlyWhenTheTestStepsIt) {
    ASSERT_EQ(selectConfiguration(0), STATUS_SUCCESS);
    bus.setStepped(true);
    uint8_t in[512];
    URB read;
    buildBulk(read, pipe(0x81), in, 512, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    auto reading = send(&read);
    ASSERT_EQ(reading->returned, STATUS_PENDING);
    EXPECT_EQ(bus.step(), 0u) << "no data: the read waits";

    uint8_t out[3] = {4, 5, 6};
    URB write;
    buildBulk(write, pipe(0x01), out, 3, 0);
    bus.injectFault(pdo, 0x01, Fault::delayed(1h));
    auto writing = send(&write);
    ASSERT_EQ(writing->returned, STATUS_PENDING);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(bus.pendingCount(), 2u) << "no thread completes them";

    // A step completes on this thread (the events are set when it returns); the delay ends at
    // the step, and the read has its data in the same pass.
    EXPECT_EQ(bus.step(), 2u);
    EXPECT_TRUE(KeReadStateEvent(&writing->event));
    EXPECT_TRUE(KeReadStateEvent(&reading->event));
    EXPECT_EQ(reading->wait(), STATUS_SUCCESS);
    EXPECT_EQ(in[2], 6);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    // A wait of this thread runs the queue through the kernel's wait hook.
    system.kernel().setWaitHook([this] { return bus.step() != 0; });
    ULONG length = 3;
    EXPECT_EQ(transfer(0x01, out, length), STATUS_SUCCESS);
    system.kernel().setWaitHook(nullptr);
}

// ---- stalls and faults

TEST_F(UsbBusTest, InjectedFaultsGiveTheirStatuses) {
    ASSERT_EQ(selectConfiguration(0), STATUS_SUCCESS);
    struct Case {
        Fault::Kind kind;
        USBD_STATUS usbd;
        NTSTATUS nt;
    };
    const Case cases[] = {
        {Fault::Kind::Crc, USBD_STATUS_CRC, STATUS_UNSUCCESSFUL},
        {Fault::Kind::Timeout, USBD_STATUS_TIMEOUT, STATUS_UNSUCCESSFUL},
        {Fault::Kind::NotResponding, USBD_STATUS_DEV_NOT_RESPONDING, STATUS_UNSUCCESSFUL},
        {Fault::Kind::DeviceGone, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED},
    };
    uint8_t data[512];
    for (const auto& c : cases) {
        bus.injectFault(pdo, 0x86, Fault::of(c.kind));
        ULONG length = 512;
        EXPECT_EQ(transfer(0x86, data, length), c.nt);
        EXPECT_EQ(lastUsbdStatus, c.usbd);
        EXPECT_EQ(length, 0u);
        URB reset;
        memset(&reset, 0, sizeof reset);
        reset.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        reset.UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE;
        reset.UrbPipeRequest.PipeHandle = pipe(0x86);
        EXPECT_EQ(submit(&reset), STATUS_SUCCESS) << "a transfer error halts the host's side";
        bus.injectControlFault(pdo, USB_REQUEST_GET_DESCRIPTOR, Fault::of(c.kind));
        URB urb;
        buildDescriptorRequest(urb, 1, 0, data, 18);
        EXPECT_EQ(submit(&urb), c.nt);
        EXPECT_EQ(urb.UrbHeader.Status, c.usbd);
    }
    ULONG length = 512;
    EXPECT_EQ(transfer(0x86, data, length), STATUS_SUCCESS) << "each fault hit once";

    bus.setBulkCompletionMode(CompletionMode::Inline);
    bus.injectFault(pdo, 0x86, Fault::delayed(30ms));
    URB urb;
    buildBulk(urb, pipe(0x86), data, 512, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    auto request = send(&urb);
    EXPECT_EQ(request->returned, STATUS_PENDING) << "a delay makes even inline mode pend";
    EXPECT_EQ(request->wait(), STATUS_SUCCESS);
}

// ---- devices

TEST_F(UsbBusTest, TwoInstrumentsHaveTheirOwnAddressAndState) {
    PDEVICE_OBJECT second = bus.attach(std::make_unique<InstrumentModel>(u"VV0002"));
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(bus.address(pdo), 1);
    EXPECT_EQ(bus.address(second), 2);
    EXPECT_EQ(bus.instancePath(pdo), u"USB\\VID_1209&PID_0001\\1");
    EXPECT_EQ(bus.instancePath(second), u"USB\\VID_1209&PID_0001\\2");
    ASSERT_EQ(selectConfiguration(0, 16384, pdo), STATUS_SUCCESS);
    ASSERT_EQ(selectConfiguration(1, 16384, second), STATUS_SUCCESS);
    EXPECT_EQ(bus.configuration(pdo), 1);
    EXPECT_EQ(bus.configuration(second), 2);
    uint8_t data[64] = {1};
    ULONG length = 64;
    ASSERT_EQ(transfer(0x01, data, length, pdo), STATUS_SUCCESS);
    EXPECT_EQ(instrument(pdo).loopbackWaiting(), 64u);
    EXPECT_EQ(instrument(second).loopbackWaiting(), 0u);
    uint8_t samples[1024];
    length = 1024;
    EXPECT_EQ(transfer(0x81, samples, length, second), STATUS_SUCCESS)
        << "configuration 2 streams on 0x81";
    EXPECT_EQ(length, 1024u);
    // A handle of one device means nothing to the other.
    URB urb;
    buildBulk(urb, pipe(0x01, pdo), data, 4, USBD_SHORT_TRANSFER_OK);
    EXPECT_EQ(submit(&urb, second), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bus.trace().records().back().deviceAddress, 2);
}

TEST_F(UsbBusTest, UnplugFailsPendingAndNewUrbs) {
    ASSERT_EQ(selectConfiguration(0), STATUS_SUCCESS);
    uint8_t data[512];
    URB pending;
    buildBulk(pending, pipe(0x81), data, 512, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    auto request = send(&pending);
    ASSERT_EQ(request->returned, STATUS_PENDING);
    PDEVICE_OBJECT gone = nullptr;
    bus.onUnplug([&](PDEVICE_OBJECT device) { gone = device; });
    bus.unplug(pdo);
    EXPECT_EQ(gone, pdo);
    EXPECT_EQ(request->wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(pending.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    URB urb;
    buildDescriptorRequest(urb, 1, 0, data, 18);
    EXPECT_EQ(submit(&urb), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(bus.devices().size(), 1u) << "the PDO lives until it is removed";
}

NTSTATUS NTAPI keepIrp(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS sendPnp(PDEVICE_OBJECT pdo, UCHAR minor) {
    PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    auto* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    IoSetCompletionRoutine(irp, keepIrp, nullptr, TRUE, TRUE, TRUE);
    IofCallDriver(pdo, irp);
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

TEST_F(UsbBusTest, RemoveDeletesThePdoOnlyOnceTheDeviceIsUnplugged) {
    EXPECT_EQ(sendPnp(pdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(sendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(sendPnp(pdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(bus.devices().size(), 1u) << "still on its port";
    EXPECT_EQ(sendPnp(pdo, IRP_MN_QUERY_RESOURCES), STATUS_NOT_SUPPORTED) << "not ours: unchanged";
    bus.unplug(pdo);
    EXPECT_TRUE(bus.devices().empty()) << "gone at unplug, as it had been removed";

    PDEVICE_OBJECT second = bus.attach(std::make_unique<LoopbackModel>());
    bus.unplug(second);
    EXPECT_EQ(bus.devices().size(), 1u);
    EXPECT_EQ(sendPnp(second, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(sendPnp(second, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(bus.devices().size(), 1u)
        << "kept until the removal has gone through the whole stack: drivers above detach last";
    bus.removed(second);
    EXPECT_TRUE(bus.devices().empty());
}

TEST_F(UsbBusTest, RawDescriptorModelWorksOnTheBus) {
    Bytes bytes = InstrumentModel().deviceDescriptor();
    bytes[17] = 1;
    const Bytes config = LoopbackModel(64).configurationDescriptor(0);
    bytes.insert(bytes.end(), config.begin(), config.end());
    PDEVICE_OBJECT raw = bus.attach(std::make_unique<RawDescriptorModel>(bytes));
    ASSERT_EQ(selectConfiguration(0, 4096, raw), STATUS_SUCCESS);
    std::vector<uint8_t> out(150, 0x33), in(4096);
    ULONG length = 150;
    ASSERT_EQ(transfer(0x01, out.data(), length, raw), STATUS_SUCCESS);
    length = 4096;
    ASSERT_EQ(transfer(0x81, in.data(), length, raw), STATUS_SUCCESS);
    EXPECT_EQ(length, 150u);
    EXPECT_EQ(in[149], 0x33);
}

// Interface 0 announces two endpoints but has one: the client's record has room for two pipes,
// the stack writes back the length of one, and interface 1's record is still found after it.
TEST_F(UsbBusTest, ARecordWithRoomForMorePipesThanTheSettingHasKeepsTheNextRecord) {
    Bytes bytes = InstrumentModel().deviceDescriptor();
    bytes[17] = 1;
    const Bytes config = {9, 2, 41, 0, 2, 1, 0, 0x80, 50,                       // 2 interfaces
                          9, 4, 0, 0, 2, 0xFF, 0, 0, 0, 7, 5, 0x81, 2, 64, 0, 0,  // 1 of 2 endpoints
                          9, 4, 1, 0, 1, 0xFF, 0, 0, 0, 7, 5, 0x02, 2, 64, 0, 0};
    bytes.insert(bytes.end(), config.begin(), config.end());
    PDEVICE_OBJECT raw = bus.attach(std::make_unique<RawDescriptorModel>(bytes));
    ASSERT_EQ(selectConfiguration(0, 4096, raw), STATUS_SUCCESS);
    EXPECT_EQ(bus.configuration(raw), 1);
    EXPECT_NE(pipes[raw].at(0x02).PipeHandle, nullptr) << "the second interface was opened";
}

TEST_F(UsbBusTest, InterruptEndpointsMoveDataAsInterruptTransfers) {
    Bytes bytes = deviceDescriptor(0x0200, 0, 64, 0x1209, 0x7A02, 0x0100, 0, 0, 0, 1);
    const Bytes config = ConfigurationBuilder(1)
                             .interface(0, 0, 0x03)
                             .endpoint(0x83, EndpointType::Interrupt, 8, 4)
                             .build();
    bytes.insert(bytes.end(), config.begin(), config.end());
    PDEVICE_OBJECT raw = bus.attach(std::make_unique<RawDescriptorModel>(bytes));
    ASSERT_EQ(selectConfiguration(0, 4096, raw), STATUS_SUCCESS);
    EXPECT_EQ(pipes[raw].at(0x83).PipeType, UsbdPipeTypeInterrupt);
    EXPECT_EQ(pipes[raw].at(0x83).Interval, 4);
    uint8_t data[8];
    ULONG length = 8;
    ASSERT_EQ(transfer(0x83, data, length, raw), STATUS_SUCCESS);
    EXPECT_EQ(length, 8u);
    EXPECT_EQ(bus.trace().records().back().kind, TransferKind::Interrupt);
}

TEST_F(UsbBusTest, AbortPipeCancelsItsPendingTransfers) {
    ASSERT_EQ(selectConfiguration(0), STATUS_SUCCESS);
    uint8_t data[512];
    URB read;
    buildBulk(read, pipe(0x81), data, 512, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    auto pending = send(&read);
    ASSERT_EQ(pending->returned, STATUS_PENDING);
    URB abort;
    memset(&abort, 0, sizeof abort);
    abort.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    abort.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    abort.UrbPipeRequest.PipeHandle = pipe(0x81);
    EXPECT_EQ(submit(&abort), STATUS_SUCCESS);
    EXPECT_EQ(pending->wait(), STATUS_CANCELLED);
    EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(bus.pendingCount(), 0u);
}

TEST_F(UsbBusTest, TraceRecordsEveryUrbWithItsData) {
    ASSERT_EQ(selectConfiguration(0), STATUS_SUCCESS);
    bus.trace().clear();
    uint8_t out[5] = {1, 2, 3, 4, 5};
    ULONG length = 5;
    ASSERT_EQ(transfer(0x01, out, length), STATUS_SUCCESS);
    uint8_t in[512];
    length = 512;
    ASSERT_EQ(transfer(0x81, in, length), STATUS_SUCCESS);
    auto records = bus.trace().records();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_FALSE(records[0].completion);
    EXPECT_EQ(records[0].endpoint, 0x01);
    EXPECT_EQ(records[0].transferFlags, ULONG{USBD_SHORT_TRANSFER_OK});
    EXPECT_EQ(records[0].data, Bytes(out, out + 5));
    EXPECT_TRUE(records[1].completion);
    EXPECT_EQ(records[1].irpId, records[0].irpId);
    EXPECT_EQ(records[1].actualLength, 5u);
    EXPECT_EQ(records[3].endpoint, 0x81);
    EXPECT_EQ(records[3].requestedLength, 512u);
    EXPECT_EQ(records[3].actualLength, 5u);
    EXPECT_EQ(records[3].data, Bytes(out, out + 5)) << "IN data on the completion";
    EXPECT_EQ(records[3].ntStatus, STATUS_SUCCESS);
}

}  // namespace
}  // namespace sim::usb::testing
