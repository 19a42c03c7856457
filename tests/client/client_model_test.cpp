// The client library against the driver on the model: the calls an application makes, with the
// statuses and bytes it sees.
#include "client/client.hpp"
#include "sim/system/system.hpp"
#include "sim/usb/usb_bus.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace vavedu {
namespace {

using namespace std::chrono_literals;
using sim::usb::InstrumentModel;

class ClientTest : public ::testing::Test {
  protected:
    ClientTest() : bus(system.addBus(std::make_unique<sim::usb::UsbBus>(system.kernel()))) {
        const NTSTATUS load = system.loadDriver(sim::imageDirectory() / "libVaVedu.so", u"VaVedu");
        EXPECT_EQ(load, 0) << sim::statusName(load);
        node = system.plugIn(bus.attach(std::make_unique<InstrumentModel>()));
        EXPECT_EQ(system.lastStartStatus(node), 0);
        platform = modelPlatform(system);
    }

    std::string path() {
        const auto paths = findInstruments(*platform);
        return paths.empty() ? std::string("\\??\\none") : paths.front();
    }
    Device open(const std::string& name = "") { return Device::open(*platform, path(), name); }

    sim::System system;
    sim::usb::UsbBus& bus;
    int node = -1;
    std::unique_ptr<Platform> platform;
};

TEST_F(ClientTest, FindsTheInstrumentAndItsDriver) {
    ASSERT_EQ(findInstruments(*platform).size(), 1u);
    Device device = open();
    EXPECT_EQ(device.driverVersion().get(), VAVEDU_DRIVER_VERSION);
    const Reply<std::string> banner = device.banner();
    EXPECT_TRUE(banner.ok());
    EXPECT_FALSE(banner.value.empty());
    EXPECT_NE(banner.value.find("VaVedu.SYS version 0C00.0000"), std::string::npos) << banner.value;
    EXPECT_GE(banner.information, banner.value.size());  // line breaks at the end are dropped
    const Reply<UsbdiVersion> usbdi = device.usbdiVersion();
    EXPECT_TRUE(usbdi.ok());
    EXPECT_EQ(usbdi.information, 8u);
    EXPECT_EQ(device.reservedValue().get(), 0u);
}

TEST_F(ClientTest, DescriptorsAreDecodedWithEveryAlternateSetting) {
    Device device = open();
    const DescriptorSet set = device.descriptors().get();
    EXPECT_EQ(set.device.idVendor, InstrumentModel::kVendorId);
    EXPECT_EQ(set.device.idProduct, InstrumentModel::kProductId);
    ASSERT_EQ(set.configurations.size(), 2u);
    const ConfigurationDescriptor& first = set.configurations[0];
    EXPECT_TRUE(first.problems.empty());
    const InterfaceDescriptor* alt1 = first.find(0, 1);
    ASSERT_NE(alt1, nullptr);
    ASSERT_EQ(alt1->endpoints.size(), 2u);
    EXPECT_EQ(alt1->endpoints[1].address, 0x81);
    EXPECT_EQ(alt1->endpoints[1].packetSize(), 64);
    const InterfaceDescriptor* stream = first.find(1, 0);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream->endpoints[1].address, 0x86);
    EXPECT_EQ(set.configurations[1].configurationValue, 2);
    EXPECT_EQ(device.stringDescriptor(3).get(), "VV0001");
}

TEST_F(ClientTest, LoopbackThroughNamedPipesSyncAndAsync) {
    Device out = open(pipeName(0));
    Device in = open(pipeName(1, 0));
    Bytes data(64 * 1024 + 100);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 13);
    const Completion written = out.write(data);
    ASSERT_TRUE(written.ok()) << written.statusName();
    EXPECT_EQ(written.information, data.size());
    AsyncTransfer reading = in.readAsync(data.size());
    const Completion read = reading.wait();
    ASSERT_TRUE(read.ok()) << read.statusName();
    EXPECT_EQ(read.information, data.size());
    EXPECT_EQ(reading.data(), data);

    AsyncTransfer writing = out.writeAsync(Bytes(10, 0xAB));
    EXPECT_EQ(writing.wait().information, 10u);
    Bytes back(10);
    EXPECT_EQ(in.read(back).information, 10u);
    EXPECT_EQ(back, Bytes(10, 0xAB));
}

TEST_F(ClientTest, PendingReadIsCancelled) {
    Device in = open(pipeName(1));
    AsyncTransfer reading = in.readAsync(512);  // nothing is waiting in the loopback
    EXPECT_FALSE(reading.waitFor(100ms).has_value());
    EXPECT_TRUE(reading.cancel());
    const Completion c = reading.wait();
    EXPECT_EQ(c.status, kStatusCancelled) << c.statusName();
    EXPECT_EQ(c.information, 0u);
}

TEST_F(ClientTest, ControlTransfersInAndOut) {
    Device device = open();
    const Reply<Bytes> version = device.controlTransfer(
        makeSetupPacket(0xC0, InstrumentModel::kRequestFirmwareVersion, 0, 0, 64));
    ASSERT_TRUE(version.ok()) << version.statusName();
    EXPECT_EQ(std::string(version.value.begin(), version.value.end()),
              InstrumentModel::kFirmwareVersion);
    EXPECT_EQ(version.information, InstrumentModel::kFirmwareVersion.size());
    EXPECT_TRUE(device.controlTransfer(makeSetupPacket(0x40, 0x03, 0, 0, 0)).ok());
    EXPECT_FALSE(bus.modelAs<InstrumentModel>(system.pdo(node)).acquiring());
    // wLength must equal the data given: one byte too many is refused before anything is sent.
    const Bytes two = {1, 2};
    EXPECT_EQ(device.controlTransfer(makeSetupPacket(0x40, 0x02, 0, 0, 1), two).status,
              kStatusInvalidBufferSize);
}

TEST_F(ClientTest, SelectionsShowInTheStandardRequests) {
    Device device = open();
    EXPECT_EQ(device.configuration().get(), 1);
    ASSERT_TRUE(device.selectInterface(0, 1).ok());
    EXPECT_EQ(device.alternateSetting(0).get(), 1);
    ASSERT_TRUE(device.selectConfiguration(2).ok());
    EXPECT_EQ(device.configuration().get(), 2);
    ASSERT_TRUE(device.selectConfiguration(1).ok());
    EXPECT_EQ(device.alternateSetting(0).get(), 0);
}

TEST_F(ClientTest, ZeroLengthPacketModeIsSetAndQueried) {
    Device device = open();
    EXPECT_FALSE(device.zeroLengthPackets().get());
    EXPECT_TRUE(device.setZeroLengthPackets(true).get());
    EXPECT_TRUE(device.zeroLengthPackets().get());
    Device out = open(pipeName(0));
    ASSERT_TRUE(out.write(Bytes(512, 1)).ok());
    ASSERT_TRUE(bus.waitIdle());
    EXPECT_EQ(bus.modelAs<InstrumentModel>(system.pdo(node)).zeroLengthPacketsReceived(), 1u);
    EXPECT_FALSE(device.setZeroLengthPackets(false).get());
}

TEST_F(ClientTest, FailuresCarryTheStatusAndItsName) {
    Device device = open();
    const Completion bad = device.resetPipe(7, 0);
    EXPECT_EQ(bad.status, kStatusInvalidParameter);
    try {
        bad.check();
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.status(), kStatusInvalidParameter);
        EXPECT_NE(std::string(e.what()).find("STATUS_INVALID_PARAMETER (0xC000000D)"),
                  std::string::npos)
            << e.what();
    }
    Device lower;
    EXPECT_EQ(Device::open(*platform, path(), "\\pipe_1", &lower), kStatusInvalidParameter);
    EXPECT_FALSE(lower.valid());
    EXPECT_THROW(Device::open(*platform, "\\??\\nothing-here"), Error);
    EXPECT_EQ(lower.driverVersion().status, kStatusInvalidParameter);  // not open
}

TEST_F(ClientTest, StallIsReportedAndClearedByResetPipe) {
    Device device = open();
    Device out = open(pipeName(0));
    Device in = open(pipeName(1));
    bus.injectFault(system.pdo(node), 0x01, sim::usb::Fault::of(sim::usb::Fault::Kind::Stall));
    const Completion stalled = out.write(Bytes(16, 2));
    EXPECT_FALSE(stalled.ok());
    EXPECT_EQ(device.lastUsbdStatus().get(), 0xC0000004u);  // USBD_STATUS_STALL_PID
    ASSERT_TRUE(device.resetPipe(0, 0).ok());
    EXPECT_EQ(out.write(Bytes(16, 3)).information, 16u);
    Bytes back(16);
    EXPECT_EQ(in.read(back).information, 16u);
    EXPECT_EQ(back, Bytes(16, 3));
}

}  // namespace
}  // namespace vavedu
