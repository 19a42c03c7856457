// The scenarios of the fault sweeps: every operation of the driver that allocates or sends URBs,
// from loading it to control transfers.
#include "tests/driver/sweep_fixture.hpp"

namespace vavedu::test {
namespace {

SETUP_PACKET setup(uint8_t requestType, uint8_t request, uint16_t value, uint16_t length) {
    SETUP_PACKET packet{};
    packet.bmRequestType = requestType;
    packet.bRequest = request;
    packet.wValue = value;
    packet.wLength = length;
    return packet;
}

using T = SweepFixture;
constexpr uint8_t kVendorIn = 0xC0, kVendorOut = 0x40, kStandardOut = 0x00;

void expectUnconfiguredAfterFailure(T& t, NTSTATUS status) {
    if (status < 0)
        t.expectUnconfigured();
}

// Built on first use: the sweeps instantiate their tests from it during static initialisation.
std::vector<SweepScenario> makeScenarios() {
    const std::vector<NTSTATUS> kAbsorbed = {STATUS_SUCCESS};
    const std::vector<NTSTATUS> kFailedOrAbsorbed = {STATUS_INSUFFICIENT_RESOURCES, STATUS_SUCCESS};
    return {
        {"Load",
         [](T&) {},
         [](T& t) { return t.loadDriver(); },
         {STATUS_INSUFFICIENT_RESOURCES},
         [](T& t, NTSTATUS) { EXPECT_FALSE(t.system.driverLoaded()); }},
        // Without its interface the device is still taken in; the interface comes at the start.
        {"AddDevice", [](T& t) { t.load(); }, [](T& t) { return t.addDevice(); }, kFailedOrAbsorbed,
         [](T& t, NTSTATUS status) {
             if (status < 0) {
                 EXPECT_EQ(t.system.driverObject()->DeviceObject, nullptr);
             } else {
                 EXPECT_EQ(t.system.start(t.node), STATUS_SUCCESS);
                 EXPECT_TRUE(t.interfaceVisible(t.node));
             }
         },
         [](T& t) { return t.addAndStart(); }},
        {"Start",
         [](T& t) {
             t.load();
             ASSERT_EQ(t.addDevice(), STATUS_SUCCESS);
         },
         [](T& t) { return t.system.start(t.node); },
         {STATUS_INSUFFICIENT_RESOURCES},
         [](T& t, NTSTATUS status) {
             if (status < 0) {
                 EXPECT_FALSE(t.interfaceVisible(t.node));
             }
         },
         [](T& t) { return t.addAndStart(); }},
        {"SelectConfiguration1",
         [](T& t) { t.openControl(); },
         [](T& t) { return t.selectConfiguration(1); },
         {STATUS_INSUFFICIENT_RESOURCES},
         expectUnconfiguredAfterFailure},
        {"SelectConfiguration2",
         [](T& t) { t.openControl(); },
         [](T& t) { return t.selectConfiguration(2); },
         {STATUS_INSUFFICIENT_RESOURCES},
         expectUnconfiguredAfterFailure},
        {"SelectInterface0Alternate1", [](T& t) { t.openControl(); },
         [](T& t) { return t.selectInterface(0, 1); }},
        {"SelectInterface1", [](T& t) { t.openControl(); },
         [](T& t) { return t.selectInterface(1, 0); }},
        {"OpenPipe", [](T& t) { t.openControl(); },
         [](T& t) { return t.open(t.node, u"\\PIPE_0", &t.out); }},
        // The first close sends the close request; a failure to send it is not the application's.
        {"FirstClose",
         [](T& t) { t.openControl(); },
         [](T& t) { return t.closeFirstHandle(); },
         kAbsorbed,
         {},
         [](T& t) {
             t.control = t.open(t.node);
             return t.ioctl(t.control, IOCTL_BULK_GET_DRIVER_VERSION, {}, 4).status;
         },
         true},
        {"Write", [](T& t) { t.openPipes(); }, [](T& t) { return t.write(100); }},
        {"WriteOfSeveralChunks", [](T& t) { t.openPipes(); },
         [](T& t) { return t.write(3 * 16384 + 100); }},
        {"WriteWithZeroLengthPacket", [](T& t) { t.openPipes(); },
         [](T& t) { return t.writeWithZeroLengthPacket(); }},
        {"Read",
         [](T& t) {
             t.openPipes();
             ASSERT_EQ(t.write(100), STATUS_SUCCESS);
         },
         [](T& t) { return t.read(); }},
        {"ReadOfSeveralChunks",
         [](T& t) {
             t.openPipes();
             ASSERT_EQ(t.write(3 * 16384 + 100), STATUS_SUCCESS);
         },
         [](T& t) { return t.read(3 * 16384 + 100); }},
        {"GetDeviceDescriptor", [](T& t) { t.openControl(); },
         [](T& t) { return t.getDescriptor(USB_DEVICE_DESCRIPTOR_TYPE); }},
        {"GetConfigurationDescriptor", [](T& t) { t.openControl(); },
         [](T& t) { return t.getDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE); }},
        {"ResetPipe", [](T& t) { t.openControl(); }, [](T& t) { return t.resetPipe(); }},
        // The port cycle is reported as done whatever became of it, or of the new device.
        {"ResetPort",
         [](T& t) { t.openControl(); },
         [](T& t) { return t.cyclePort(); },
         kAbsorbed,
         {},
         [](T& t) { return t.cyclePortAgain(); },
         true},
        {"VendorControlIn", [](T& t) { t.openControl(); },
         [](T& t) { return t.controlRequest(setup(kVendorIn, 0x01, 0, 64), 64); }},
        {"VendorControlOut", [](T& t) { t.openControl(); },
         [](T& t) { return t.controlRequest(setup(kVendorOut, 0x02, 0, 0), 0); }},
        {"SetConfigurationByControlTransfer",
         [](T& t) { t.openControl(); },
         [](T& t) {
             return t.controlRequest(setup(kStandardOut, USB_REQUEST_SET_CONFIGURATION, 2, 0), 0);
         },
         {STATUS_INSUFFICIENT_RESOURCES},
         expectUnconfiguredAfterFailure},
    };
}

}  // namespace

const std::vector<SweepScenario>& sweepScenarios() {
    static const std::vector<SweepScenario> scenarios = makeScenarios();
    return scenarios;
}

}  // namespace vavedu::test
