// The trace and the capture format, on their own.
#include "sim/usb/capture.hpp"
#include "sim/usb/trace.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace sim::usb {
namespace {

uint32_t le32(const Bytes& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
uint16_t le16(const Bytes& b, size_t at) {
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

TEST(UsbPcapPacket, ControlSubmissionCarriesTheSetupPacketThenOutData) {
    TraceRecord r;
    r.irpId = 0x1122334455667788ull;
    r.busNumber = 1;
    r.deviceAddress = 2;
    r.function = URB_FUNCTION_VENDOR_DEVICE;
    r.endpoint = 0x00;
    r.kind = TransferKind::Control;
    r.usbdStatus = USBD_STATUS_SUCCESS;
    r.setup = SetupPacket{0x40, 0x02, 0x1234, 0x0005, 3};
    const Bytes out = {0xAA, 0xBB, 0xCC};
    const Bytes p = usbPcapPacket(r, out);
    ASSERT_EQ(p.size(), 28u + 8 + 3);
    EXPECT_EQ(le16(p, 0), 28);
    EXPECT_EQ(le32(p, 2), 0x55667788u);
    EXPECT_EQ(le32(p, 6), 0x11223344u);
    EXPECT_EQ(le32(p, 10), 0u);
    EXPECT_EQ(le16(p, 14), URB_FUNCTION_VENDOR_DEVICE);
    EXPECT_EQ(p[16], 0) << "submission";
    EXPECT_EQ(le16(p, 17), 1);
    EXPECT_EQ(le16(p, 19), 2);
    EXPECT_EQ(p[21], 0x00);
    EXPECT_EQ(p[22], 2) << "control";
    EXPECT_EQ(le32(p, 23), 11u);
    EXPECT_EQ(p[27], 0) << "setup stage";
    EXPECT_EQ(Bytes(p.begin() + 28, p.begin() + 36),
              (Bytes{0x40, 0x02, 0x34, 0x12, 0x05, 0x00, 3, 0}));
    EXPECT_EQ(Bytes(p.begin() + 36, p.end()), out);
}

TEST(UsbPcapPacket, BulkCompletionHasTheShortHeader) {
    TraceRecord r;
    r.completion = true;
    r.irpId = 7;
    r.deviceAddress = 1;
    r.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    r.endpoint = 0x81;
    r.kind = TransferKind::Bulk;
    r.usbdStatus = USBD_STATUS_STALL_PID;
    const Bytes in = {1, 2, 3, 4};
    const Bytes p = usbPcapPacket(r, in);
    ASSERT_EQ(p.size(), 27u + 4);
    EXPECT_EQ(le16(p, 0), 27);
    EXPECT_EQ(le32(p, 10), static_cast<uint32_t>(USBD_STATUS_STALL_PID));
    EXPECT_EQ(p[16], 1) << "completion";
    EXPECT_EQ(p[21], 0x81);
    EXPECT_EQ(p[22], 3);
    EXPECT_EQ(le32(p, 23), 4u);
    r.kind = TransferKind::None;
    EXPECT_EQ(usbPcapPacket(r, {})[22], 0xFE);
}

TEST(PcapWriter, WritesTheClassicHeaderAndRecords) {
    const auto path = std::filesystem::temp_directory_path() / "vavedu-usb-writer-test.pcap";
    {
        PcapWriter writer(path);
        TraceRecord r;
        r.kind = TransferKind::Bulk;
        writer.write(r, Bytes{9, 9});
        EXPECT_EQ(writer.packets(), 1u);
    }
    std::ifstream in(path, std::ios::binary);
    Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(file.size(), 24u + 16 + 27 + 2);
    EXPECT_EQ(le32(file, 0), 0xA1B2C3D4u);
    EXPECT_EQ(le32(file, 20), kLinkTypeUsbPcap);
    EXPECT_EQ(le32(file, 24 + 8), 29u);
    std::filesystem::remove(path);
}

TEST(UrbTrace, KeepsTheFirstBytesAndPrintsOneLinePerRecord) {
    UrbTrace trace;
    trace.setDataLimit(4);
    TraceRecord r;
    r.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    r.endpoint = 0x01;
    r.kind = TransferKind::Bulk;
    r.requestedLength = 6;
    Bytes seen;
    trace.addListener([&](const TraceRecord&, std::span<const uint8_t> data) {
        seen.assign(data.begin(), data.end());
    });
    trace.record(r, Bytes{1, 2, 3, 4, 5, 6});
    r.completion = true;
    r.usbdStatus = USBD_STATUS_SUCCESS;
    r.ntStatus = STATUS_SUCCESS;
    r.actualLength = 6;
    trace.record(r, {});
    auto records = trace.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].data, (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(records[0].dataLength, 6u);
    EXPECT_EQ(seen.size(), 0u) << "the listener saw the completion last";
    std::ostringstream out;
    trace.print(out);
    const std::string text = out.str();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
    EXPECT_NE(text.find("BULK_OR_INTERRUPT_TRANSFER ep 0x01 bulk"), std::string::npos) << text;
    EXPECT_NE(text.find("len 6/6 ok"), std::string::npos) << text;
}

}  // namespace
}  // namespace sim::usb
