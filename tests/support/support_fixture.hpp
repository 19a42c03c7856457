// A System with the support test driver loaded (and with it the support library) and a test bus
// to plug devices into, plus the driver's application calls.
#pragma once

#include "sim/system/system.hpp"
#include "tests/common/test_bus.hpp"
#include "tests/support/testdriver/support_test_ioctl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace sim {

inline constexpr std::u16string_view kSupportTestService = u"SupportTest";
inline constexpr std::string_view kEventPrefix = "SupportTest: ";

// One request queued through IOCTL_SUPPORT_TEST_QUEUE, with the buffers it lives on.
struct QueuedPacket {
    SUPPORT_TEST_PACKET packet{};
    ULONG echoedTag = 0;
    std::unique_ptr<UserRequest> request;

    IoResult wait() { return request->wait(); }
    bool completed() const { return request->completed(); }
};

class SupportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        bus = &system.addBus(std::make_unique<TestBus>(system.kernel()));
        ASSERT_EQ(
            system.loadDriver(imageDirectory() / "libSupportTestDriver.so", kSupportTestService),
            STATUS_SUCCESS);
    }

    void setSetting(std::u16string_view name, ULONG value) {
        system.registry().setDword(System::serviceKeyPath(kSupportTestService), name, value);
    }

    int plugIn() {
        pdo = bus->createDevice();
        return system.plugIn(pdo);
    }

    size_t visibleInterfaces() { return system.interfacePaths(GUID_SUPPORT_TEST_INTERFACE).size(); }

    Handle open() {
        const auto paths = system.interfacePaths(GUID_SUPPORT_TEST_INTERFACE);
        EXPECT_EQ(paths.size(), 1u);
        if (paths.empty()) {
            return Handle();
        }
        return system.open(paths.front());
    }

    // The driver's lines without the prefix; start routine lines only when asked for.
    std::vector<std::string> events(bool startIo = false) {
        std::vector<std::string> result;
        for (const std::string& line : system.kernel().debugOutput()) {
            if (!line.starts_with(kEventPrefix)) {
                continue;
            }
            std::string event = line.substr(kEventPrefix.size());
            if (event.starts_with("StartIo") == startIo) {
                result.push_back(event);
            }
        }
        return result;
    }
    std::vector<std::string> startIoEvents() { return events(true); }
    // True when a start routine was entered while another call of it for its queue still ran.
    bool startIoOverlapped() {
        const auto lines = startIoEvents();
        return std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
            return line.starts_with("StartIo overlap");
        });
    }

    static std::unique_ptr<QueuedPacket> queue(Handle& handle, ULONG queueIndex, ULONG mode,
                                               ULONG tag) {
        auto queued = std::make_unique<QueuedPacket>();
        queued->packet = {queueIndex, mode, tag};
        queued->request =
            handle.deviceIoControlAsync(IOCTL_SUPPORT_TEST_QUEUE, &queued->packet,
                                        sizeof queued->packet, &queued->echoedTag, sizeof(ULONG));
        return queued;
    }

    static NTSTATUS release(Handle& handle, ULONG queueIndex, NTSTATUS status = STATUS_SUCCESS) {
        SUPPORT_TEST_RELEASE input{queueIndex, status};
        return handle.deviceIoControl(IOCTL_SUPPORT_TEST_RELEASE, &input, sizeof input, nullptr, 0)
            .status;
    }

    static ULONG busyQueues(Handle& handle) {
        ULONG busy = 0;
        const AppResult r =
            handle.deviceIoControl(IOCTL_SUPPORT_TEST_BUSY, nullptr, 0, &busy, sizeof busy);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        return busy;
    }

    static NTSTATUS control(Handle& handle, ULONG code) {
        return handle.deviceIoControl(code, nullptr, 0, nullptr, 0).status;
    }

    static SUPPORT_TEST_STACK stackUse(Handle& handle) {
        SUPPORT_TEST_STACK report{};
        EXPECT_EQ(
            handle.deviceIoControl(IOCTL_SUPPORT_TEST_STACK, nullptr, 0, &report, sizeof report)
                .status,
            STATUS_SUCCESS);
        return report;
    }

    // Waits until removal has begun (the remove lock refuses), within a generous limit.
    static bool waitUntilRemovalBegan(Handle& handle) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            if (control(handle, IOCTL_SUPPORT_TEST_PROBE_LOCK) == STATUS_DELETE_PENDING) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    System system;
    TestBus* bus = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
};

}  // namespace sim
