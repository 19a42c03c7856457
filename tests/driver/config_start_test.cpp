// Device start and stop on the model: the descriptor cache, the first configuration, and what a
// device that returns short or malformed descriptors gets.
#include "pcdriver/bulk/vavedu.h"
#include "pcdriver/support/generic_extension.h"
#include "tests/driver/driver_fixture.hpp"

#include <random>

namespace vavedu::test {
namespace {

using sim::usb::ConfigurationBuilder;
using sim::usb::EndpointType;

class StartTest : public DriverTest {
  protected:
    void SetUp() override {
        ASSERT_EQ(loadDriver(), STATUS_SUCCESS);
        poolAfterLoad = system.kernel().counters().outstandingOf(sim::AllocationKind::Pool);
    }
    uint64_t poolNow() {
        return system.kernel().counters().outstandingOf(sim::AllocationKind::Pool);
    }
    uint64_t poolAfterLoad = 0;

    // The descriptor requests of the start: (descriptor type, index, length asked).
    std::vector<std::tuple<int, int, uint32_t>> descriptorRequests() const {
        std::vector<std::tuple<int, int, uint32_t>> requests;
        for (const auto& r : completed(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE)) {
            requests.emplace_back(r.setup->value >> 8, r.setup->value & 0xFF, r.requestedLength);
        }
        return requests;
    }
};

Bytes simpleConfiguration(uint8_t value) {
    return ConfigurationBuilder(value)
        .interface(0, 0, 0xFF)
        .endpoint(0x01, EndpointType::Bulk, 512)
        .endpoint(0x81, EndpointType::Bulk, 512)
        .build();
}

TEST_F(StartTest, OneConfigurationTakesThreeRequestsThenIsSelected) {
    Bytes config = simpleConfiguration(1);
    int node =
        plug(std::make_unique<ScriptedDevice>(testDeviceDescriptor(1), std::vector<Bytes>{config}));
    ASSERT_EQ(system.lastStartStatus(node), STATUS_SUCCESS);
    using Request = std::tuple<int, int, uint32_t>;
    EXPECT_EQ(descriptorRequests(),
              (std::vector<Request>{{1, 0, 18}, {2, 0, 9}, {2, 0, (uint32_t)config.size()}}));
    EXPECT_EQ(bus.configuration(pdo(node)), 1);
    EXPECT_TRUE(interfaceVisible(node));
}

// Interface 0 announces three endpoints and has two: the stack writes back the shorter record,
// and interface 1 must still be found and kept.
TEST_F(StartTest, AnInterfaceWithFewerEndpointsThanAnnouncedKeepsTheNextInterface) {
    Bytes config = ConfigurationBuilder(1)
                       .interface(0, 0, 0xFF)
                       .endpoint(0x01, EndpointType::Bulk, 512)
                       .endpoint(0x81, EndpointType::Bulk, 512)
                       .interface(1, 0, 0xFF)
                       .endpoint(0x02, EndpointType::Bulk, 512)
                       .build();
    config.at(9 + 4) = 3;  // bNumEndpoints of interface 0
    int node = plug(
        std::make_unique<ScriptedDevice>(testDeviceDescriptor(1), std::vector<Bytes>{config}));
    ASSERT_EQ(system.lastStartStatus(node), STATUS_SUCCESS);
    {
        sim::Handle out = open(node, u"\\PIPE_0\\INTERFACE_1");
        Bytes four(4, 0x5A);
        EXPECT_EQ(out.write(four.data(), 4).status, STATUS_SUCCESS) << "interface 1 has its pipe";
        sim::Handle control = open(node);
        const uint8_t first[2] = {0, 0};
        EXPECT_EQ(ioctl(control, IOCTL_BULK_SELECT_INTERFACE, {first, 2}, 0).status,
                  STATUS_SUCCESS);
    }
    EXPECT_EQ(system.remove(node), STATUS_SUCCESS);
    EXPECT_EQ(poolNow(), poolAfterLoad) << system.kernel().leakReport();
}

TEST_F(StartTest, EveryConfigurationIsCachedAndTheFirstSelected) {
    int node = plugInstrument();
    std::vector<std::tuple<int, int, uint32_t>> requests = descriptorRequests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(std::get<1>(requests[3]), 1) << "the header of configuration index 1";
    EXPECT_EQ(std::get<2>(requests[3]), 9u);
    EXPECT_EQ(bus.configuration(pdo(node)), 1);
}

TEST_F(StartTest, PendingControlRequestsAreWaitedFor) {
    bus.setControlCompletionMode(sim::usb::CompletionMode::Async);
    int node = plugInstrument();
    EXPECT_EQ(bus.configuration(pdo(node)), 1);
}

TEST_F(StartTest, OnlyTheFirstTenConfigurationsAreCached) {
    std::vector<Bytes> configs;
    for (uint8_t i = 0; i < 12; i++)
        configs.push_back(simpleConfiguration(i + 1));
    int node = plug(std::make_unique<ScriptedDevice>(testDeviceDescriptor(12), configs));
    ASSERT_EQ(system.lastStartStatus(node), STATUS_SUCCESS);
    EXPECT_EQ(descriptorRequests().size(), 1u + 2u * 10u);

    sim::Handle control = open(node);
    uint8_t tenth = 10, eleventh = 11;
    EXPECT_EQ(ioctl(control, IOCTL_BULK_SELECT_CONFIGURATION, {&tenth, 1}, 0).status,
              STATUS_SUCCESS);
    EXPECT_EQ(ioctl(control, IOCTL_BULK_SELECT_CONFIGURATION, {&eleventh, 1}, 0).status,
              STATUS_INVALID_PARAMETER);
}

// Devices whose descriptors are short or malformed: the start fails, nothing leaks and nothing
// is read beyond what the device returned (the sanitizer build checks the last part).
struct HostileCase {
    const char* name;
    Bytes device;
    std::vector<Bytes> configurations;
};

Bytes withByte(Bytes bytes, size_t offset, uint8_t value) {
    bytes.at(offset) = value;
    return bytes;
}

Bytes withTotalLength(Bytes bytes, uint16_t total) {
    bytes.at(2) = total & 0xFF;
    bytes.at(3) = total >> 8;
    return bytes;
}

std::vector<HostileCase> hostileCases() {
    Bytes good = simpleConfiguration(1);
    return {
        {"noConfiguration", testDeviceDescriptor(0), {}},
        {"headerOfFiveBytes", testDeviceDescriptor(1), {Bytes(good.begin(), good.begin() + 5)}},
        {"headerNotAConfiguration", testDeviceDescriptor(1), {withByte(good, 1, 4)}},
        {"totalLengthBelowNine", testDeviceDescriptor(1), {withTotalLength(good, 7)}},
        {"fewerBytesThanTotalLength", testDeviceDescriptor(1), {withTotalLength(good, 200)}},
        {"secondConfigurationBroken",
         testDeviceDescriptor(2),
         {good, withByte(simpleConfiguration(2), 1, 5)}},
        {"configurationMissing", testDeviceDescriptor(2), {good}},
        // The platform's interface search returns these; the driver must not use them.
        {"interfaceOfSevenBytes", testDeviceDescriptor(1), {withByte(good, 9, 7)}},
        {"interfaceRunsPastTotal",
         testDeviceDescriptor(1),
         {withTotalLength(Bytes(good.begin(), good.begin() + 16), 16)}},
    };
}

class HostileStartTest : public StartTest, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostileStartTest, FailsTheStartAndLeaksNothing) {
    const HostileCase& c = GetParam();
    int node = plug(std::make_unique<ScriptedDevice>(c.device, c.configurations));
    NTSTATUS status = system.lastStartStatus(node);
    EXPECT_LT(status, 0) << "a start on " << c.name << " must fail";
    EXPECT_FALSE(interfaceVisible(node));
    EXPECT_EQ(system.remove(node), STATUS_SUCCESS);
    EXPECT_EQ(poolNow(), poolAfterLoad) << system.kernel().leakReport();
}

INSTANTIATE_TEST_SUITE_P(Devices, HostileStartTest, ::testing::ValuesIn(hostileCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StartTest, ShortOrMalformedDescriptorsGiveTheConfigurationError) {
    struct Case {
        const char* name;
        Bytes device;
        std::vector<Bytes> configurations;
    };
    Bytes good = simpleConfiguration(1);
    const Case cases[] = {
        {"noConfiguration", testDeviceDescriptor(0), {}},
        {"totalLengthBelowNine", testDeviceDescriptor(1), {withTotalLength(good, 7)}},
        {"fewerBytesThanTotalLength", testDeviceDescriptor(1), {withTotalLength(good, 200)}},
        // The interface walk starts behind the configuration descriptor, by its bLength.
        {"configurationLengthPastTotal",
         testDeviceDescriptor(1),
         {withByte(withTotalLength(good, 9), 0, 10)}},
    };
    for (const Case& c : cases) {
        int node = plug(std::make_unique<ScriptedDevice>(c.device, c.configurations));
        EXPECT_EQ(system.lastStartStatus(node), STATUS_DEVICE_CONFIGURATION_ERROR) << c.name;
        system.remove(node);
    }
}

TEST_F(StartTest, AShortDeviceDescriptorGivesTheConfigurationError) {
    int node = attachOnly(std::make_unique<sim::usb::InstrumentModel>());
    bus.injectControlFault(pdo(node), USB_REQUEST_GET_DESCRIPTOR,
                           sim::usb::Fault::shortDescriptor(8));
    system.start(node);
    EXPECT_EQ(system.lastStartStatus(node), STATUS_DEVICE_CONFIGURATION_ERROR);
}

TEST_F(StartTest, AFailingDescriptorRequestFailsTheStartWithItsStatus) {
    int node = attachOnly(std::make_unique<sim::usb::InstrumentModel>());
    bus.injectControlFault(pdo(node), USB_REQUEST_GET_DESCRIPTOR,
                           sim::usb::Fault::of(sim::usb::Fault::Kind::Timeout));
    system.start(node);
    EXPECT_EQ(system.lastStartStatus(node), sim::usb::ntStatusForUsbd(USBD_STATUS_TIMEOUT));
}

TEST_F(StartTest, AFailingFinalSelectionFailsTheStart) {
    int node = attachOnly(std::make_unique<sim::usb::InstrumentModel>());
    bus.injectControlFault(pdo(node), USB_REQUEST_SET_CONFIGURATION,
                           sim::usb::Fault::of(sim::usb::Fault::Kind::Stall));
    system.start(node);
    EXPECT_LT(system.lastStartStatus(node), 0);
}

TEST_F(StartTest, StopAndStartAgainRereadsTheDescriptors) {
    int node = plugInstrument();
    sim::Handle out = open(node, u"\\PIPE_0");
    sim::Handle in = open(node, u"\\PIPE_1");
    for (int round = 0; round < 2; round++) {
        EXPECT_EQ(system.stop(node), STATUS_SUCCESS);
        Bytes one = {7};
        EXPECT_EQ(out.write(one.data(), 1).status, STATUS_INVALID_DEVICE_STATE)
            << "a stopped device has no configuration";
        EXPECT_EQ(system.start(node), STATUS_SUCCESS);
        EXPECT_EQ(out.write(one.data(), 1).status, STATUS_SUCCESS);
        Bytes back(8);
        EXPECT_EQ(in.read(back.data(), (ULONG)back.size()).information, 1u);
    }
    EXPECT_EQ(completed(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE).size(), 3u * 5u);
}

// The Plug and Play manager never stops a device twice in a row, so the test calls the stop
// callback the driver handed to the support library itself, a second time after a stop.
TEST_F(StartTest, ASecondStopFindsNothingToFree) {
    int node = plugInstrument();
    ASSERT_EQ(system.stop(node), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = system.functionalDevice(node);
    auto* extension = static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
    auto* library = static_cast<PGENERIC_EXTENSION>(extension->GenericExtension);
    uint64_t poolAfterStop = poolNow();

    library->StopDevice(fdo);

    EXPECT_EQ(poolNow(), poolAfterStop);
    for (PUSB_CONFIGURATION_DESCRIPTOR entry : extension->ConfigDescriptors) {
        EXPECT_EQ(entry, nullptr);
    }
    EXPECT_EQ(extension->SelectedConfig, nullptr);
    EXPECT_EQ(extension->ConfigurationHandle, nullptr);
    ASSERT_EQ(system.start(node), STATUS_SUCCESS);
    sim::Handle out = open(node, u"\\PIPE_0");
    Bytes one = {7};
    EXPECT_EQ(out.write(one.data(), 1).status, STATUS_SUCCESS);
}

// Random and mutated descriptor sets through start and selection: whatever the device says,
// nothing crashes, hangs or leaks.
TEST_F(StartTest, MutatedDescriptorsNeverCrashOrLeak) {
    sim::usb::InstrumentModel reference;
    std::vector<Bytes> seeds = {reference.configurationDescriptor(0),
                                reference.configurationDescriptor(1)};
    std::mt19937 random(20261208);
#ifdef VAVEDU_SANITIZED
    constexpr int kIterations = 60;
#else
    constexpr int kIterations = 200;
#endif
    for (int iteration = 0; iteration < kIterations; iteration++) {
        std::vector<Bytes> configs = seeds;
        for (Bytes& config : configs) {
            int mutations = 1 + (int)(random() % 4);
            for (int m = 0; m < mutations && !config.empty(); m++) {
                switch (random() % 3) {
                    case 0:
                        config[random() % config.size()] = (uint8_t)random();
                        break;
                    case 1:
                        config.resize(random() % (config.size() + 1));
                        break;
                    default:
                        config.push_back((uint8_t)random());
                        break;
                }
            }
        }
        int node = plug(std::make_unique<ScriptedDevice>(testDeviceDescriptor(2), configs));
        if (system.lastStartStatus(node) >= 0) {
            sim::Handle control = open(node);
            for (uint8_t value : {2, 0, 1, 3}) {
                (void)ioctl(control, IOCTL_BULK_SELECT_CONFIGURATION, {&value, 1}, 0);
            }
            for (uint8_t number : {0, 1, 2}) {
                uint8_t selection[2] = {number, (uint8_t)(random() % 3)};
                (void)ioctl(control, IOCTL_BULK_SELECT_INTERFACE, selection, 0);
            }
        }
        system.remove(node);
        bus.unplug(pdo(node));  // gives its bus address back
        ASSERT_EQ(poolNow(), poolAfterLoad)
            << "iteration " << iteration << ": " << system.kernel().leakReport();
    }
}

}  // namespace
}  // namespace vavedu::test
