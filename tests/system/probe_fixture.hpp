// A System with the probe driver loaded and a test bus to plug devices into.
#pragma once

#include "sim/system/system.hpp"
#include "tests/common/test_bus.hpp"
#include "tests/probe/probe_ioctl.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace sim {

inline std::filesystem::path probeImage() {
    return imageDirectory() / "libVaVeduProbe.so";
}
inline constexpr std::u16string_view kProbeService = u"VaVeduProbe";

class ProbeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        bus = &system.addBus(std::make_unique<TestBus>(system.kernel()));
        ASSERT_EQ(system.loadDriver(probeImage(), kProbeService), STATUS_SUCCESS);
    }

    // Plugs in a new device of the test bus and checks it started.
    int plugInStarted() {
        const int node = system.plugIn(bus->createDevice());
        EXPECT_EQ(system.state(node), DeviceState::Started);
        return node;
    }

    std::u16string onlyInterfacePath() {
        const auto paths = system.interfacePaths(GUID_VAVEDU_PROBE_INTERFACE);
        EXPECT_EQ(paths.size(), 1u);
        return paths.empty() ? std::u16string() : paths.front();
    }

  public:
    static PROBE_INFO info(Handle& handle) {
        PROBE_INFO result{};
        const AppResult r =
            handle.deviceIoControl(IOCTL_PROBE_GET_INFO, nullptr, 0, &result, sizeof result);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, sizeof result);
        return result;
    }

  protected:
    System system;
    TestBus* bus = nullptr;
};

}  // namespace sim
