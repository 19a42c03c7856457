// A capture of a session, read back by tshark: no malformed or warning record, and the decoded
// fields match the trace.
#include "tests/usb/bus_fixture.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace sim::usb::testing {
namespace {

constexpr const char* kTshark = "/usr/bin/tshark";

std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return out;
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
        out.append(buffer, n);
    pclose(pipe);
    return out;
}

std::vector<std::vector<std::string>> rows(const std::string& text) {
    std::vector<std::vector<std::string>> out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, '\t');)
            fields.push_back(cell);
        out.push_back(fields);
    }
    return out;
}

unsigned long number(const std::string& text) {
    return std::strtoul(text.c_str(), nullptr, 0);
}

class Capture : public UsbBusTest {
  protected:
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("vavedu-usb-capture-" + std::to_string(::getpid()) + ".pcap");
    void TearDown() override { std::filesystem::remove(path); }

    // A session after enumeration: selection, bulk both ways, vendor requests, a stall, a reset.
    void session() {
        ASSERT_EQ(selectConfiguration(0), STATUS_SUCCESS);
        bus.trace().clear();
        bus.startCapture(path);
        ASSERT_EQ(selectConfiguration(0), STATUS_SUCCESS);
        std::vector<uint8_t> out(700), in(16384);
        for (size_t i = 0; i < out.size(); ++i)
            out[i] = static_cast<uint8_t>(i);
        ULONG length = 700;
        ASSERT_EQ(transfer(0x01, out.data(), length), STATUS_SUCCESS);
        length = 16384;
        ASSERT_EQ(transfer(0x81, in.data(), length), STATUS_SUCCESS);
        length = 0;
        ASSERT_EQ(transfer(0x01, nullptr, length), STATUS_SUCCESS);
        char version[64];
        URB urb;
        memset(&urb, 0, sizeof urb);
        urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
        urb.UrbHeader.Function = URB_FUNCTION_VENDOR_DEVICE;
        urb.UrbControlVendorClassRequest.TransferFlags =
            USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        urb.UrbControlVendorClassRequest.Request = InstrumentModel::kRequestFirmwareVersion;
        urb.UrbControlVendorClassRequest.TransferBuffer = version;
        urb.UrbControlVendorClassRequest.TransferBufferLength = sizeof version;
        ASSERT_EQ(submit(&urb), STATUS_SUCCESS);
        bus.injectFault(pdo, 0x86, Fault::of(Fault::Kind::Stall));
        length = 512;
        EXPECT_EQ(transfer(0x86, in.data(), length), STATUS_UNSUCCESSFUL);
        memset(&urb, 0, sizeof urb);
        urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        urb.UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
        urb.UrbPipeRequest.PipeHandle = pipe(0x86);
        ASSERT_EQ(submit(&urb), STATUS_SUCCESS);
        bus.stopCapture();
    }
};

TEST_F(Capture, TsharkReadsItCleanlyAndAgreesWithTheTrace) {
    if (!std::filesystem::exists(kTshark))
        GTEST_SKIP() << "tshark is not installed";
    session();
    const std::string quoted = "'" + path.string() + "'";
    const std::string problems =
        run(std::string(kTshark) + " -n -2 -o usb.try_heuristics:FALSE -r " + quoted +
            " -Y '_ws.malformed || _ws.expert.severity >= warning' 2>/dev/null");
    EXPECT_EQ(problems, "");

    const auto decoded =
        rows(run(std::string(kTshark) + " -n -2 -o usb.try_heuristics:FALSE -r " + quoted +
                 " -T fields -e usb.function -e usb.irp_info.direction"
                 " -e usb.endpoint_address -e usb.transfer_type -e usb.data_len"
                 " -e usb.usbd_status -e usb.setup.bRequest 2>/dev/null"));
    std::vector<TraceRecord> records;
    for (const auto& r : bus.trace().records()) {
        if (r.ioctl == 0)
            records.push_back(r);
    }
    // The capture starts with the replayed enumeration: device and 2 configuration descriptors.
    const size_t replayed = 2 * 3;
    ASSERT_EQ(decoded.size(), replayed + records.size());
    EXPECT_EQ(number(decoded[0][0]), URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    for (size_t i = 0; i < records.size(); ++i) {
        const auto& row = decoded[replayed + i];
        const auto& r = records[i];
        SCOPED_TRACE(describe(r));
        ASSERT_GE(row.size(), 6u);
        EXPECT_EQ(number(row[0]), r.function);
        EXPECT_EQ(number(row[1]), r.completion ? 1u : 0u);
        EXPECT_EQ(number(row[2]) & 0x8F, r.endpoint & 0x8F);
        EXPECT_EQ(number(row[3]), static_cast<unsigned>(r.kind));
        const uint32_t expectedLength = r.dataLength + ((r.setup && !r.completion) ? 8u : 0u);
        EXPECT_EQ(number(row[4]), expectedLength);
        EXPECT_EQ(static_cast<uint32_t>(number(row[5])), static_cast<uint32_t>(r.usbdStatus));
        if (r.setup && !r.completion) {
            ASSERT_GE(row.size(), 7u);
            EXPECT_EQ(number(row[6]), r.setup->request);
        }
    }
}

}  // namespace
}  // namespace sim::usb::testing
