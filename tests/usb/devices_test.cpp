// The device models on their own: descriptors, loopback, the sample stream, vendor requests, and
// the model replayed from raw descriptor bytes (including malformed ones).
#include "sim/usb/device_model.hpp"

#include <gtest/gtest.h>

namespace sim::usb {
namespace {

Bytes packetOrDie(InPacket packet) {
    EXPECT_TRUE(packet.has_value()) << "the endpoint NAKed";
    return packet.value_or(Bytes{});
}

TEST(InstrumentDescriptors, ConfigurationsAreAsDocumented) {
    InstrumentModel instrument;
    const Bytes device = instrument.deviceDescriptor();
    ASSERT_EQ(device.size(), 18u);
    EXPECT_EQ(device[8] | (device[9] << 8), 0x1209);
    EXPECT_EQ(device[10] | (device[11] << 8), 0x0001);
    EXPECT_EQ(device[17], 2);

    const Bytes first = instrument.configurationDescriptor(0);
    EXPECT_EQ(first[2] | (first[3] << 8), static_cast<int>(first.size()));
    auto one = parseConfiguration(first);
    ASSERT_TRUE(one);
    EXPECT_EQ(one->value, 1);
    EXPECT_EQ(one->interfaceCount, 2);
    ASSERT_EQ(one->settings.size(), 3u);
    struct Expected {
        uint8_t number, alternate, out, in;
        uint16_t packet;
    };
    const Expected expected[] = {
        {0, 0, 0x01, 0x81, 512}, {0, 1, 0x01, 0x81, 64}, {1, 0, 0x02, 0x86, 512}};
    for (size_t i = 0; i < 3; ++i) {
        const auto& s = one->settings[i];
        EXPECT_EQ(s.number, expected[i].number);
        EXPECT_EQ(s.alternate, expected[i].alternate);
        ASSERT_EQ(s.endpoints.size(), 2u);
        EXPECT_EQ(s.endpoints[0].address, expected[i].out) << "pipe 0 is the OUT endpoint";
        EXPECT_EQ(s.endpoints[1].address, expected[i].in);
        EXPECT_EQ(s.endpoints[1].maxPacketSize, expected[i].packet);
        EXPECT_EQ(s.endpoints[1].type, EndpointType::Bulk);
    }
    auto two = parseConfiguration(instrument.configurationDescriptor(1));
    ASSERT_TRUE(two);
    EXPECT_EQ(two->value, 2);
    ASSERT_EQ(two->settings.size(), 1u);
    ASSERT_EQ(two->settings[0].endpoints.size(), 1u);
    EXPECT_TRUE(two->settings[0].endpoints[0].in());
    EXPECT_TRUE(instrument.configurationDescriptor(2).empty());
}

TEST(InstrumentModel, LoopbackSendsShortPacketsThenEndsDrainedTransfers) {
    InstrumentModel instrument;
    instrument.configurationChanged(1);
    Bytes data(700);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 3);
    instrument.bulkOut(0x01, {data.data(), 512});
    instrument.bulkOut(0x01, {data.data() + 512, 188});
    EXPECT_FALSE(instrument.bulkIn(0x02, 512, false).has_value()) << "0x02 is OUT only";
    Bytes first = packetOrDie(instrument.bulkIn(0x81, 512, false));
    Bytes second = packetOrDie(instrument.bulkIn(0x81, 512, true));
    ASSERT_EQ(first.size(), 512u);
    ASSERT_EQ(second.size(), 188u);
    first.insert(first.end(), second.begin(), second.end());
    EXPECT_EQ(first, data);
    EXPECT_EQ(packetOrDie(instrument.bulkIn(0x81, 512, true)).size(), 0u) << "drained: ZLP";
    EXPECT_FALSE(instrument.bulkIn(0x81, 512, false).has_value()) << "nothing waiting: NAK";
}

TEST(InstrumentModel, StreamIsTheDeterministicWaveformWhileAcquiring) {
    InstrumentModel instrument;
    instrument.configurationChanged(1);
    ASSERT_TRUE(instrument.acquiring());
    Bytes packet = packetOrDie(instrument.bulkIn(0x86, 512, false));
    ASSERT_EQ(packet.size(), 512u);
    for (size_t n = 0; n < 256; ++n) {
        const auto value = static_cast<int16_t>(packet[2 * n] | (packet[2 * n + 1] << 8));
        ASSERT_EQ(value, InstrumentModel::sample(n)) << "sample " << n;
    }
    EXPECT_NE(InstrumentModel::sample(0), InstrumentModel::sample(64));

    const SetupPacket stop{0x40, InstrumentModel::kRequestStopAcquisition, 0, 0, 0};
    EXPECT_EQ(instrument.controlRequest(stop, {}).status, USBD_STATUS_SUCCESS);
    EXPECT_FALSE(instrument.bulkIn(0x86, 512, false).has_value());
    const SetupPacket start{0x40, InstrumentModel::kRequestStartAcquisition, 0, 0, 0};
    EXPECT_EQ(instrument.controlRequest(start, {}).status, USBD_STATUS_SUCCESS);
    packet = packetOrDie(instrument.bulkIn(0x86, 512, false));
    EXPECT_EQ(static_cast<int16_t>(packet[0] | (packet[1] << 8)), InstrumentModel::sample(0))
        << "start restarts the waveform";
}

TEST(InstrumentModel, VendorRequests) {
    InstrumentModel instrument;
    const SetupPacket version{0xC0, InstrumentModel::kRequestFirmwareVersion, 0, 0, 64};
    ControlReply reply = instrument.controlRequest(version, {});
    EXPECT_EQ(reply.status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(std::string(reply.data.begin(), reply.data.end()), InstrumentModel::kFirmwareVersion);

    const SetupPacket close{0x40, 0, 0, 0, 0};
    instrument.controlRequest(close, {});
    instrument.controlRequest(close, {});
    EXPECT_EQ(instrument.closeRequests(), 2u);

    const SetupPacket unknown{0x40, 0x77, 0, 0, 0};
    EXPECT_EQ(instrument.controlRequest(unknown, {}).status, USBD_STATUS_STALL_PID);
    const SetupPacket toInterface{0x41, 0, 0, 0, 0};
    EXPECT_EQ(instrument.controlRequest(toInterface, {}).status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(instrument.closeRequests(), 2u);
}

TEST(InstrumentModel, AVersionRequestWithoutDataStageSendsNothing) {
    InstrumentModel instrument;
    const SetupPacket noData{0xC0, InstrumentModel::kRequestFirmwareVersion, 0, 0, 0};
    const ControlReply reply = instrument.controlRequest(noData, {});
    EXPECT_EQ(reply.status, USBD_STATUS_SUCCESS);
    EXPECT_TRUE(reply.data.empty());
}

TEST(DeviceModels, BuiltInsByName) {
    for (const auto& name : deviceModelNames()) {
        auto model = makeDeviceModel(name);
        ASSERT_NE(model, nullptr) << name;
        EXPECT_EQ(model->name(), name);
    }
    EXPECT_EQ(makeDeviceModel("toaster"), nullptr);
    EXPECT_THROW(makeDeviceModel("raw:/nonexistent/descriptors"), std::invalid_argument);
}

// A composite device's descriptors as sysfs shows them: a bulk pair on interface 0 and an
// interrupt IN endpoint alone on interface 1, with an interface association and a class
// descriptor between them.
Bytes realLookingDescriptors() {
    Bytes bytes = deviceDescriptor(0x0200, 0xEF, 64, 0x1209, 0x7A01, 0x0102, 1, 2, 3, 1);
    const Bytes config = {
        9, 2,    0,    0,    2,    1,    0,    0x80, 250,  // configuration (length patched below)
        8, 0x0B, 0,    2,    0xFF, 0,    0,    0,          // interface association
        9, 4,    0,    0,    2,    0xFF, 0,    0,    0,    // interface 0
        7, 5,    0x01, 2,    0x00, 0x02, 0,                // bulk OUT 0x01, 512
        7, 5,    0x81, 2,    0x00, 0x02, 0,                // bulk IN 0x81, 512
        9, 4,    1,    0,    1,    0x03, 0,    0,    0,    // interface 1 (HID-like)
        9, 0x21, 0x11, 0x01, 0,    1,    0x22, 40,   0,    // a class descriptor
        7, 5,    0x83, 3,    0x08, 0x00, 4,                // interrupt IN 0x83, 8
    };
    Bytes patched = config;
    patched[2] = static_cast<uint8_t>(patched.size());
    bytes.insert(bytes.end(), patched.begin(), patched.end());
    return bytes;
}

TEST(RawDescriptorModel, ReplaysARealLookingDevice) {
    RawDescriptorModel model(realLookingDescriptors());
    EXPECT_EQ(model.configurationCount(), 1u);
    auto info = parseConfiguration(model.configurationDescriptor(0));
    ASSERT_TRUE(info);
    ASSERT_EQ(info->settings.size(), 2u);
    EXPECT_EQ(info->settings[1].endpoints[0].type, EndpointType::Interrupt);
    model.configurationChanged(1);
    const Bytes data = {1, 2, 3, 4, 5};
    model.bulkOut(0x01, data);
    EXPECT_EQ(packetOrDie(model.bulkIn(0x81, 512, false)), data) << "a pair loops back";
    const Bytes source = packetOrDie(model.bulkIn(0x83, 8, false));
    EXPECT_EQ(source, (Bytes{0, 1, 2, 3, 4, 5, 6, 7})) << "an IN endpoint alone is a source";
}

TEST(RawDescriptorModel, MalformedInputIsCutNotTrusted) {
    const Bytes good = realLookingDescriptors();
    struct Case {
        const char* what;
        Bytes bytes;
        bool throws;
        size_t configurations;
    };
    Bytes zeroLength = good;
    zeroLength[18 + 9] = 0;  // the association descriptor claims 0 bytes
    Bytes truncated(good.begin(), good.end() - 10);
    Bytes lyingTotal = good;
    lyingTotal[18 + 2] = 0xFF;
    lyingTotal[18 + 3] = 0xFF;
    Bytes moreConfigs = good;
    moreConfigs[17] = 5;
    Bytes tinyTotal = good;
    tinyTotal[18 + 2] = 3;
    tinyTotal[18 + 3] = 0;
    const Case cases[] = {
        {"empty", {}, true, 0},
        {"short device descriptor", Bytes(good.begin(), good.begin() + 10), true, 0},
        {"not a device descriptor", Bytes(40, 0x02), true, 0},
        {"zero bLength inside", zeroLength, false, 1},
        {"truncated", truncated, false, 1},
        {"wTotalLength beyond the data", lyingTotal, false, 1},
        {"more configurations announced", moreConfigs, false, 1},
        {"wTotalLength below 9", tinyTotal, false, 1},
        {"device descriptor only", Bytes(good.begin(), good.begin() + 18), false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.throws) {
            EXPECT_THROW(RawDescriptorModel{c.bytes}, std::invalid_argument);
            continue;
        }
        RawDescriptorModel model(c.bytes);
        EXPECT_EQ(model.configurationCount(), c.configurations);
        EXPECT_EQ(model.deviceDescriptor()[17], c.configurations);
        for (size_t i = 0; i < c.configurations; ++i) {
            const Bytes config = model.configurationDescriptor(static_cast<uint8_t>(i));
            EXPECT_EQ(config[2] | (config[3] << 8), static_cast<int>(config.size()))
                << "wTotalLength says what the device really holds";
            parseConfiguration(config);
        }
    }
}

TEST(ParseConfiguration, StopsAtBrokenDescriptors) {
    InstrumentModel instrument;
    Bytes config = instrument.configurationDescriptor(0);
    config[9 + 9] = 0;  // first endpoint descriptor: bLength 0
    auto info = parseConfiguration(config);
    ASSERT_TRUE(info);
    ASSERT_EQ(info->settings.size(), 1u);
    EXPECT_TRUE(info->settings[0].endpoints.empty());
    EXPECT_FALSE(parseConfiguration(Bytes{9, 2, 9}));
    EXPECT_FALSE(parseConfiguration(Bytes(9, 0)));
}

}  // namespace
}  // namespace sim::usb
