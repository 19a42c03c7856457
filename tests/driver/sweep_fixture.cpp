#include "tests/driver/sweep_fixture.hpp"

#include <filesystem>
#include <fstream>

namespace vavedu::test {

void SweepFixture::load() {
    ASSERT_EQ(loadDriver(), STATUS_SUCCESS);
}

void SweepFixture::loadAndPlug() {
    load();
    ASSERT_EQ(addDevice(), STATUS_SUCCESS);
    ASSERT_EQ(system.start(node), STATUS_SUCCESS);
}

NTSTATUS SweepFixture::addAndStart() {
    NTSTATUS status = addDevice();
    return status < 0 ? status : system.start(node);
}

void SweepFixture::openControl() {
    loadAndPlug();
    control = open(node);
}

NTSTATUS SweepFixture::cyclePort() {
    const PDEVICE_OBJECT old = system.pdo(node);
    const NTSTATUS status = ioctl(control, IOCTL_BULK_RESET_PORT, {}, 0).status;
    EXPECT_TRUE(system.waitForPlugAndPlay());
    if (system.nodeCount() - 1 != node) {
        control.close();
        std::erase(attached, old);  // it left the bus
        node = system.nodeCount() - 1;
        nodes.push_back(node);
        attached.push_back(system.pdo(node));
        if (system.state(node) == sim::DeviceState::Started && interfaceVisible(node))
            control = open(node);
    }
    return status;
}

NTSTATUS SweepFixture::cyclePortAgain() {
    if (!control.valid()) {
        tearDownDevice();
        EXPECT_EQ(addAndStart(), STATUS_SUCCESS);
        control = open(node);
    }
    return cyclePort();
}

void SweepFixture::openPipes() {
    openControl();
    out = open(node, u"\\PIPE_0");
    in = open(node, u"\\PIPE_1");
}

NTSTATUS SweepFixture::addDevice() {
    PDEVICE_OBJECT device = bus.attach(std::make_unique<sim::usb::InstrumentModel>());
    if (device == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    attached.push_back(device);
    NTSTATUS status = system.addDevice(device, &node);
    nodes.push_back(node);
    return status;
}

NTSTATUS SweepFixture::selectConfiguration(uint8_t value) {
    return ioctl(control, IOCTL_BULK_SELECT_CONFIGURATION, {&value, 1}, 0).status;
}

NTSTATUS SweepFixture::selectInterface(uint8_t number, uint8_t alternate) {
    uint8_t selection[2] = {number, alternate};
    return ioctl(control, IOCTL_BULK_SELECT_INTERFACE, selection, 0).status;
}

NTSTATUS SweepFixture::write(size_t length) {
    Bytes data = pattern(length, ++writes);
    sim::AppResult result = out.write(data.data(), (ULONG)data.size());
    if (result.ok()) {
        EXPECT_EQ(result.information, length);
    }
    return result.status;
}

NTSTATUS SweepFixture::read(size_t length) {
    Bytes back((length + 511) / 512 * 512);
    sim::AppResult result = in.read(back.data(), (ULONG)back.size());
    if (result.ok() && exactReads) {
        EXPECT_EQ(result.information, length);
    }
    return result.status;
}

NTSTATUS SweepFixture::writeWithZeroLengthPacket() {
    EXPECT_EQ(zeroLengthPacketMode(out, 1).status, STATUS_SUCCESS);
    return write(1024);
}

NTSTATUS SweepFixture::getDescriptor(uint8_t type) {
    VAVEDU_GET_DESCRIPTOR_INPUT input{};
    input.DescriptorType = type;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&input);
    return ioctl(control, IOCTL_BULK_GET_DESCRIPTOR, {bytes, sizeof(input)}, 255).status;
}

NTSTATUS SweepFixture::resetPipe(uint8_t pipeIndex, uint8_t interfaceIndex) {
    VAVEDU_RESET_PIPE_INPUT input{};
    input.PipeIndex = pipeIndex;
    input.InterfaceIndex = interfaceIndex;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&input);
    return ioctl(control, IOCTL_BULK_RESET_PIPE, {bytes, sizeof(input)}, 0).status;
}

NTSTATUS SweepFixture::controlRequest(const SETUP_PACKET& packet, ULONG outputLength) {
    return DriverTest::controlTransfer(control, packet, {}, outputLength).status;
}

NTSTATUS SweepFixture::closeFirstHandle() {
    control.close();
    return STATUS_SUCCESS;
}

void SweepFixture::expectUnconfigured() {
    sim::Handle pipe = open(node, u"\\PIPE_0");
    Bytes one = {1};
    EXPECT_EQ(pipe.write(one.data(), 1).status, STATUS_INVALID_DEVICE_STATE);
}

void SweepFixture::tearDownDevice() {
    for (sim::Handle* handle : {&out, &in, &control}) {
        if (handle->valid())
            handle->close();
    }
    for (int added : nodes) {
        if (system.state(added) != sim::DeviceState::Removed)
            system.remove(added);
    }
    for (PDEVICE_OBJECT device : attached) {
        bus.unplug(device);
    }
    nodes.clear();
    attached.clear();
    node = -1;
}

void SweepFixture::tearDown() {
    tearDownDevice();
    if (system.driverLoaded())
        system.unloadDriver();
}

void SweepFixture::expectNothingOutstanding(const sim::AllocationCounters& baseline,
                                            const std::string& when) {
    sim::AllocationCounters now = counters();
    for (int kind = 0; kind < sim::kAllocationKinds; kind++) {
        EXPECT_EQ(now.outstanding[kind], baseline.outstanding[kind])
            << sim::toString(static_cast<sim::AllocationKind>(kind)) << " " << when << "\n"
            << system.kernel().leakReport();
    }
}

std::string sweepScenarioName(const ::testing::TestParamInfo<SweepScenario>& info) {
    return info.param.name;
}

void writeSweepReport(const std::string& directory, const std::string& scenario,
                      const std::string& text) {
    std::filesystem::create_directories(directory);
    std::ofstream(std::filesystem::path(directory) / (scenario + ".txt")) << text;
}

}  // namespace vavedu::test
