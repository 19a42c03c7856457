// The USBD routines of libusbd.so: parsing (also of malformed descriptors, which must neither
// hang nor read out of bounds: each case sits in a buffer of exactly its size, so the sanitizer
// build catches any read past it), the configuration request and its allocation policy.
#include <wdm.h>

#include <usbdlib.h>

#include "sim/kernel/kernel.hpp"
#include "sim/usb/device_model.hpp"

#include <gtest/gtest.h>

#include <memory>

namespace sim::usb {
namespace {

// The descriptor bytes in a heap block of exactly their size.
struct Block {
    explicit Block(const Bytes& bytes) : size(bytes.size()), data(new uint8_t[bytes.size() + 0]) {
        std::copy(bytes.begin(), bytes.end(), data.get());
    }
    auto* config() { return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(data.get()); }
    size_t size;
    std::unique_ptr<uint8_t[]> data;
};

Bytes instrumentConfiguration() {
    return InstrumentModel().configurationDescriptor(0);
}

TEST(Usbd, VersionIsUsbdi6AndUsb2) {
    USBD_VERSION_INFORMATION version{};
    USBD_GetUSBDIVersion(&version);
    EXPECT_EQ(version.USBDI_Version, 0x600u);
    EXPECT_EQ(version.Supported_USB_Version, 0x200u);
}

TEST(Usbd, ParseConfigurationDescriptorFindsInterfaces) {
    Block block(instrumentConfiguration());
    auto* config = block.config();
    struct Case {
        LONG number, alternate, cls;
        int expectedOffset;  // -1: none
    };
    const Case cases[] = {
        {0, 0, -1, 9},     {0, 1, -1, 9 + 23}, {1, 0, -1, 9 + 46}, {-1, 1, -1, 32},
        {-1, -1, 0xFF, 9}, {2, 0, -1, -1},     {0, 2, -1, -1},     {-1, -1, 0x03, -1},
    };
    for (const auto& c : cases) {
        auto* found = USBD_ParseConfigurationDescriptorEx(config, config, c.number, c.alternate,
                                                          c.cls, -1, -1);
        const int offset =
            found ? static_cast<int>(reinterpret_cast<uint8_t*>(found) - block.data.get()) : -1;
        EXPECT_EQ(offset, c.expectedOffset)
            << "interface " << c.number << " alternate " << c.alternate;
    }
    // Searching just past the first interface finds the next alternate setting 0.
    auto* first = USBD_ParseConfigurationDescriptorEx(config, config, -1, 0, -1, -1, -1);
    auto* next = USBD_ParseConfigurationDescriptorEx(
        config, reinterpret_cast<uint8_t*>(first) + first->bLength, -1, 0, -1, -1, -1);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->bInterfaceNumber, 1);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, reinterpret_cast<uint8_t*>(next) + 9, -1,
                                                  0, -1, -1, -1),
              nullptr);
}

TEST(Usbd, InterfaceLengthAndDescriptorSearch) {
    Block block(instrumentConfiguration());
    auto* config = block.config();
    auto* iface = USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1);
    EXPECT_EQ(USBD_GetInterfaceLength(iface, block.data.get() + block.size), 9u + 14u);
    auto* endpoint =
        USBD_ParseDescriptors(config, config->wTotalLength, config, USB_ENDPOINT_DESCRIPTOR_TYPE);
    ASSERT_NE(endpoint, nullptr);
    EXPECT_EQ(reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(endpoint)->bEndpointAddress, 0x01);
    EXPECT_EQ(USBD_ParseDescriptors(config, config->wTotalLength, config, 0x21), nullptr);
}

// Malformed configurations: every routine returns (nothing or a shorter answer) and never reads
// beyond the bytes the descriptor's wTotalLength covers.
TEST(Usbd, MalformedDescriptorsNeitherHangNorOverrun) {
    const Bytes good = instrumentConfiguration();
    auto with = [&](size_t at, uint8_t value) {
        Bytes b = good;
        b[at] = value;
        return b;
    };
    Bytes truncated = good;
    truncated.resize(30);
    truncated[2] = 30;  // wTotalLength = what is there, cutting an endpoint descriptor
    truncated[3] = 0;
    struct Case {
        const char* what;
        Bytes bytes;
    };
    const Case cases[] = {
        {"bLength 0 at the first interface", with(9, 0)},
        {"bLength 1", with(9, 1)},
        {"interface bLength running past the end", with(9 + 46, 200)},
        {"endpoint bLength 0", with(18, 0)},
        {"wTotalLength cuts a descriptor", truncated},
        {"wTotalLength 0", with(2, 0)},
        {"interface descriptor too short", with(9, 4)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes bytes = c.bytes;
        bytes[3] = 0;
        const size_t total = bytes[2];
        bytes.resize(std::min(bytes.size(), std::max<size_t>(total, 4)));
        Block block(bytes);
        auto* config = block.config();
        for (LONG alternate : {-1, 0, 1, 5}) {
            USBD_ParseConfigurationDescriptorEx(config, config, -1, alternate, -1, -1, -1);
        }
        USBD_ParseDescriptors(config, config->wTotalLength, config, USB_ENDPOINT_DESCRIPTOR_TYPE);
        USBD_ParseDescriptors(config, config->wTotalLength, block.data.get() + 1, 0x7F);
        if (block.size >= 9 + 9) {
            USBD_GetInterfaceLength(
                reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(block.data.get() + 9),
                block.data.get() + block.size);
        }
    }
    // A start position outside the descriptor finds nothing.
    Block block(good);
    auto* config = block.config();
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, block.data.get() + block.size, -1, -1, -1,
                                                  -1, -1),
              nullptr);
    EXPECT_EQ(USBD_ParseDescriptors(config, 0, config, USB_CONFIGURATION_DESCRIPTOR_TYPE), nullptr);
}

class ConfigurationRequest : public ::testing::Test {
  protected:
    Kernel kernel;
    Block block{instrumentConfiguration()};
    USBD_INTERFACE_LIST_ENTRY list[3] = {};

    void SetUp() override {
        auto* config = block.config();
        list[0].InterfaceDescriptor =
            USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1);
        list[1].InterfaceDescriptor =
            USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, -1, -1, -1);
    }
    void TearDown() override { EXPECT_EQ(kernel.checkClean(), ""); }
};

TEST_F(ConfigurationRequest, SizeAndRecordsAreThePlatforms) {
    PURB urb = USBD_CreateConfigurationRequestEx(block.config(), list);
    ASSERT_NE(urb, nullptr);
    // 40-byte head, then per interface 24 bytes plus 24 per pipe.
    EXPECT_EQ(urb->UrbHeader.Length, 40 + 2 * (24 + 2 * 24));
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, block.config());
    auto* first = &urb->UrbSelectConfiguration.Interface;
    EXPECT_EQ(list[0].Interface, first);
    auto* second =
        reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t*>(first) + 72);
    EXPECT_EQ(list[1].Interface, second);
    for (auto* info : {first, second}) {
        EXPECT_EQ(info->Length, 72);
        EXPECT_EQ(info->NumberOfPipes, 2u);
        EXPECT_EQ(info->AlternateSetting, 0);
        EXPECT_EQ(info->Class, 0xFF);
        for (ULONG j = 0; j < 2; ++j) {
            EXPECT_EQ(info->Pipes[j].MaximumTransferSize,
                      ULONG{USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE});
            EXPECT_EQ(info->Pipes[j].PipeHandle, nullptr);
        }
    }
    EXPECT_EQ(second->InterfaceNumber, 1);
    EXPECT_EQ(kernel.counters().outstandingOf(AllocationKind::UsbdRequest), 1u);
    ExFreePool(urb);
}

TEST_F(ConfigurationRequest, FollowsTheLowResourcePolicy) {
    kernel.setFaultPolicy(FaultPolicy::failNth(1, AllocationKind::UsbdRequest));
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(block.config(), list), nullptr);
    EXPECT_EQ(kernel.counters().failedOf(AllocationKind::UsbdRequest), 1u);
    PURB urb = USBD_CreateConfigurationRequestEx(block.config(), list);
    ASSERT_NE(urb, nullptr) << "only the first one fails";
    ExFreePool(urb);
}

TEST_F(ConfigurationRequest, RefusesInterfacesOutsideTheConfiguration) {
    Bytes stray = {9, 4, 0, 0, 2, 0xFF, 0, 0, 0};
    USBD_INTERFACE_LIST_ENTRY bad[2] = {};
    bad[0].InterfaceDescriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(stray.data());
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(block.config(), bad), nullptr);
    USBD_INTERFACE_LIST_ENTRY empty[1] = {};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(block.config(), empty), nullptr);
}

}  // namespace
}  // namespace sim::usb
