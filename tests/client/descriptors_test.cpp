#include "client/descriptors.hpp"

#include <gtest/gtest.h>

#include <random>

namespace vavedu {
namespace {

Bytes instrumentConfiguration() {
    // Configuration 1 of the instrument: interface 0 (alternates 0 and 1) and interface 1.
    Bytes c = {9, 2, 0, 0, 2, 1, 0, 0x80, 50};
    auto iface = [&](uint8_t number, uint8_t alternate) {
        c.insert(c.end(), {9, 4, number, alternate, 2, 0xFF, 0, 0, 0});
    };
    auto endpoint = [&](uint8_t address, uint16_t packet) {
        c.insert(c.end(), {7, 5, address, 2, static_cast<uint8_t>(packet & 0xFF),
                           static_cast<uint8_t>(packet >> 8), 0});
    };
    iface(0, 0);
    endpoint(0x01, 512);
    endpoint(0x81, 512);
    iface(0, 1);
    endpoint(0x01, 64);
    endpoint(0x81, 64);
    iface(1, 0);
    endpoint(0x02, 512);
    endpoint(0x86, 512);
    c[2] = static_cast<uint8_t>(c.size());
    c[3] = static_cast<uint8_t>(c.size() >> 8);
    return c;
}

TEST(Descriptors, DeviceDescriptorIsDecoded) {
    const Bytes d = {18,   1,    0x00, 0x02, 0xFF, 0, 0, 64, 0x09,
                     0x12, 0x01, 0x00, 0x00, 0x01, 1, 2, 3,  2};
    const auto parsed = parseDeviceDescriptor(d);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->bcdUSB, 0x0200);
    EXPECT_EQ(parsed->deviceClass, 0xFF);
    EXPECT_EQ(parsed->maxPacketSize0, 64);
    EXPECT_EQ(parsed->idVendor, 0x1209);
    EXPECT_EQ(parsed->idProduct, 0x0001);
    EXPECT_EQ(parsed->bcdDevice, 0x0100);
    EXPECT_EQ(parsed->iSerialNumber, 3);
    EXPECT_EQ(parsed->numConfigurations, 2);
}

TEST(Descriptors, DeviceDescriptorThatIsNotOneIsRefused) {
    Bytes good = {18, 1, 0, 2, 0, 0, 0, 64, 9, 0x12, 1, 0, 0, 1, 1, 2, 3, 1};
    EXPECT_FALSE(parseDeviceDescriptor(Bytes(good.begin(), good.begin() + 17)));
    Bytes wrongType = good;
    wrongType[1] = 2;
    EXPECT_FALSE(parseDeviceDescriptor(wrongType));
    Bytes shortLength = good;
    shortLength[0] = 17;
    EXPECT_FALSE(parseDeviceDescriptor(shortLength));
    EXPECT_FALSE(parseDeviceDescriptor({}));
}

TEST(Descriptors, ConfigurationWithAlternateSettingsIsDecodedInOrder) {
    const auto c = parseConfigurationDescriptor(instrumentConfiguration());
    ASSERT_TRUE(c);
    EXPECT_TRUE(c->problems.empty()) << c->problems.front();
    EXPECT_EQ(c->configurationValue, 1);
    EXPECT_EQ(c->numInterfaces, 2);
    EXPECT_EQ(c->maxPower, 50);
    ASSERT_EQ(c->interfaces.size(), 3u);
    const InterfaceDescriptor* alt1 = c->find(0, 1);
    ASSERT_NE(alt1, nullptr);
    ASSERT_EQ(alt1->endpoints.size(), 2u);
    EXPECT_EQ(alt1->endpoints[1].address, 0x81);
    EXPECT_TRUE(alt1->endpoints[1].in());
    EXPECT_EQ(alt1->endpoints[1].packetSize(), 64);
    EXPECT_EQ(alt1->endpoints[1].type(), TransferType::Bulk);
    const InterfaceDescriptor* stream = c->find(1, 0);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream->endpoints[0].address, 0x02);
    EXPECT_FALSE(stream->endpoints[0].in());
    EXPECT_EQ(c->find(2, 0), nullptr);
    EXPECT_EQ(c->raw, instrumentConfiguration());
}

// Malformed sets: the decoder keeps what is whole before the fault and says what was wrong.
struct MalformedCase {
    const char* name;
    void (*damage)(Bytes&);
    size_t interfacesKept;
    const char* problem;  // a part of the first problem reported
};

const MalformedCase kMalformed[] = {
    {"zero bLength stops the walk", [](Bytes& c) { c[9 + 9 + 7] = 0; }, 1, "bLength 0"},
    {"bLength 1 stops the walk", [](Bytes& c) { c[9] = 1; }, 0, "bLength 1"},
    {"descriptor running past the end", [](Bytes& c) { c[c.size() - 7] = 200; }, 3,
     "runs past the end"},
    {"wTotalLength beyond the bytes",
     [](Bytes& c) {
         c[2] = 0xFF;
         c[3] = 0x0F;
     },
     3, "wTotalLength 4095 but only"},
    {"wTotalLength cuts the set",
     [](Bytes& c) {
         c[2] = 9 + 9 + 7 + 3;
         c[3] = 0;
     },
     1, "runs past the end"},
    {"wTotalLength below the header",
     [](Bytes& c) {
         c[2] = 4;
         c[3] = 0;
     },
     0, "shorter than the configuration descriptor"},
    {"endpoint before any interface",
     [](Bytes& c) {
         c[9 + 1] = 5;
         c[9] = 9;
     },
     2, "endpoint before any interface"},
    {"short endpoint descriptor", [](Bytes& c) { c[9 + 9] = 6; }, 1, "short endpoint"},
};

TEST(Descriptors, MalformedConfigurationsAreCutNotOverrun) {
    for (const MalformedCase& m : kMalformed) {
        SCOPED_TRACE(m.name);
        Bytes c = instrumentConfiguration();
        m.damage(c);
        const auto parsed = parseConfigurationDescriptor(c);
        ASSERT_TRUE(parsed);
        EXPECT_EQ(parsed->interfaces.size(), m.interfacesKept);
        ASSERT_FALSE(parsed->problems.empty());
        EXPECT_NE(parsed->problems.front().find(m.problem), std::string::npos)
            << parsed->problems.front();
    }
}

TEST(Descriptors, NotAConfigurationIsRefused) {
    EXPECT_FALSE(parseConfigurationDescriptor(Bytes{9, 2, 9, 0, 0, 1, 0, 0x80}));  // 8 bytes
    EXPECT_FALSE(parseConfigurationDescriptor(Bytes{9, 4, 9, 0, 0, 1, 0, 0x80, 50}));
    EXPECT_FALSE(parseConfigurationDescriptor(Bytes{8, 2, 9, 0, 0, 1, 0, 0x80, 50}));
}

TEST(Descriptors, RandomBytesNeverCrashOrLoop) {
    // Every prefix of a valid set and random damage: bounded by the input (the sanitizer build
    // turns any read past it into a failure).
    std::mt19937 random(1234);
    const Bytes good = instrumentConfiguration();
    for (int round = 0; round < 2000; ++round) {
        Bytes c = good;
        c.resize(random() % (good.size() + 1));
        for (int flips = 0; flips < 4 && !c.empty(); ++flips) {
            c[random() % c.size()] = static_cast<uint8_t>(random());
        }
        const auto parsed = parseConfigurationDescriptor(c);
        if (parsed) {
            EXPECT_LE(parsed->raw.size(), c.size());
            size_t endpoints = 0;
            for (const auto& i : parsed->interfaces)
                endpoints += i.endpoints.size();
            EXPECT_LE(parsed->interfaces.size() * 9 + endpoints * 7 + 9, c.size() + 0u);
        }
        parseDeviceDescriptor(c);
        parseStringDescriptor(c);
    }
}

TEST(Descriptors, StringDescriptorBecomesUtf8) {
    const Bytes s = {12, 3, 'V', 0, 'V', 0, 0xE9, 0, 0x3D, 0xD8, 0x00, 0xDE};
    EXPECT_EQ(parseStringDescriptor(s), std::string("VV\xC3\xA9\xF0\x9F\x98\x80"));
    const Bytes lying = {40, 3, 'A', 0, 'B'};  // bLength beyond the bytes: only what is there
    EXPECT_EQ(parseStringDescriptor(lying), std::string("A"));
    EXPECT_FALSE(parseStringDescriptor(Bytes{2, 1}));
    const Bytes loneSurrogate = {4, 3, 0x00, 0xD8};
    EXPECT_EQ(parseStringDescriptor(loneSurrogate), std::string("\xEF\xBF\xBD"));
}

}  // namespace
}  // namespace vavedu
