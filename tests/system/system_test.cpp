// Loading kernel images and drivers, unloading them, and the checks that end every test.
#include "tests/system/probe_fixture.hpp"

#include <gtest/gtest-spi.h>

#include <algorithm>
#include <stdexcept>

namespace sim {
namespace {

namespace fs = std::filesystem;

std::string errorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no error";
}

size_t countLines(const std::vector<std::string>& lines, const std::string& text) {
    return std::count(lines.begin(), lines.end(), text);
}

TEST(ImageLoading, EveryLoadStartsWithFreshGlobalsOfTheImageAndItsCompanions) {
    fs::path firstDirectory;
    for (int load = 0; load < 3; ++load) {
        auto image = loadKernelImage(imageDirectory() / "libSysTestUser.so");
        const fs::path directory = image->path().parent_path();
        EXPECT_NE(directory, imageDirectory());
        EXPECT_NE(directory, firstDirectory);
        EXPECT_TRUE(fs::exists(directory / "libSysTestCompanion.so"));
        auto userLoad = reinterpret_cast<int (*)()>(image->symbol("UserLoad"));
        EXPECT_EQ(userLoad(), 101) << "load " << load;
        EXPECT_EQ(userLoad(), 202);
        firstDirectory = directory;
        image.reset();
        EXPECT_FALSE(fs::exists(directory)) << "the copy's directory outlived the unload";
    }
}

TEST(ImageLoading, MissingImagesAndSymbolsAreClearErrors) {
    EXPECT_NE(errorOf([] {
                  loadKernelImage("/nonexistent/libNothing.so");
              }).find("/nonexistent/libNothing.so does not exist"),
              std::string::npos);
    auto image = loadKernelImage(imageDirectory() / "libSysTestCompanion.so");
    EXPECT_EQ(image->findSymbol("DriverEntry"), nullptr);
    EXPECT_NE(errorOf([&] {
                  image->symbol("DriverEntry");
              }).find("libSysTestCompanion.so does not export DriverEntry"),
              std::string::npos);
}

TEST(DriverLoading, AnImageWithoutDriverEntryIsRefused) {
    System system;
    EXPECT_NE(errorOf([&] {
                  system.loadDriver(imageDirectory() / "libSysTestCompanion.so", u"NoEntry");
              }).find("does not export DriverEntry"),
              std::string::npos);
    EXPECT_FALSE(system.driverLoaded());
}

TEST(DriverLoading, EachLoadOfTheDriverStartsWithFreshGlobals) {
    System system;
    auto& bus = system.addBus(std::make_unique<TestBus>(system.kernel()));
    const PDEVICE_OBJECT pdo = bus.createDevice();
    for (int load = 0; load < 2; ++load) {
        ASSERT_EQ(system.loadDriver(probeImage(), kProbeService), STATUS_SUCCESS);
        const int node = system.plugIn(pdo);
        {
            Handle handle = system.open(system.interfacePaths(GUID_VAVEDU_PROBE_INTERFACE).at(0));
            PROBE_INFO info = ProbeTest::info(handle);
            EXPECT_EQ(info.LoadCount, 1u) << "load " << load;
            EXPECT_EQ(info.DataWasFresh, 1u) << "load " << load;
        }
        EXPECT_EQ(system.remove(node), STATUS_SUCCESS);
        system.unloadDriver();
    }
    const auto log = system.kernel().debugOutput();
    EXPECT_EQ(countLines(log, "VaVeduProbe: load 1"), 2u);
    EXPECT_EQ(countLines(log, "VaVeduProbe: load 2"), 0u);
    EXPECT_EQ(countLines(log, "VaVeduProbe: DriverUnload"), 2u);
}

TEST(DriverLoading, TheDriverReadsItsServiceKey) {
    struct Case {
        std::optional<ULONG> stored;
        ULONG seen;
    };
    for (const Case& c : {Case{std::nullopt, 7}, Case{42, 42}, Case{0, 0}}) {
        System system;
        if (c.stored) {
            system.registry().setDword(System::serviceKeyPath(kProbeService), PROBE_VALUE_NAME,
                                       *c.stored);
        }
        ASSERT_EQ(system.loadDriver(probeImage(), kProbeService), STATUS_SUCCESS);
        const std::string line = "VaVeduProbe: ProbeValue " + std::to_string(c.seen);
        EXPECT_EQ(countLines(system.kernel().debugOutput(), line), 1u) << line;
        EXPECT_TRUE(system.registry().keyExists(System::serviceKeyPath(kProbeService)));
    }
}

TEST(DriverLoading, AFailingDriverEntryUnloadsTheImageAndLeavesNothing) {
    for (NTSTATUS failure :
         {STATUS_UNSUCCESSFUL, STATUS_INSUFFICIENT_RESOURCES, STATUS_DEVICE_CONFIGURATION_ERROR}) {
        System system;
        const auto key = System::serviceKeyPath(kProbeService);
        system.registry().setDword(key, PROBE_FAIL_ENTRY_NAME, static_cast<ULONG>(failure));
        EXPECT_EQ(system.loadDriver(probeImage(), kProbeService), failure);
        EXPECT_FALSE(system.driverLoaded());
        EXPECT_EQ(system.driverObject(), nullptr);

        // The next load works, and DriverUnload never ran for the failed one.
        system.registry().setDword(key, PROBE_FAIL_ENTRY_NAME, 0);
        EXPECT_EQ(system.loadDriver(probeImage(), kProbeService), STATUS_SUCCESS);
        EXPECT_EQ(countLines(system.kernel().debugOutput(), "VaVeduProbe: DriverUnload"), 0u);
        EXPECT_EQ(countLines(system.kernel().debugOutput(), "VaVeduProbe: load 1"), 2u);
        EXPECT_EQ(system.shutdown(), "");
    }
}

TEST(DriverLoading, ASecondDriverIsRefusedWhileOneIsLoaded) {
    System system;
    ASSERT_EQ(system.loadDriver(probeImage(), kProbeService), STATUS_SUCCESS);
    EXPECT_THROW(system.loadDriver(probeImage(), kProbeService), std::logic_error);
}

TEST(DriverUnloadDeathTest, UnloadingWithALiveDeviceIsABugCheck) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            System system;
            auto& bus = system.addBus(std::make_unique<TestBus>(system.kernel()));
            if (system.loadDriver(probeImage(), kProbeService) == STATUS_SUCCESS) {
                system.plugIn(bus.createDevice());
                system.unloadDriver();
            }
        },
        "\\*\\*\\* STOP.*still has device objects");
}

TEST(EndOfTestChecks, ALeakFailsTheTestThatCausedIt) {
    EXPECT_NONFATAL_FAILURE(
        {
            System system;
            system.registry().setDword(System::serviceKeyPath(kProbeService), PROBE_LEAK_NAME, 1);
            if (system.loadDriver(probeImage(), kProbeService) == STATUS_SUCCESS) {
                system.unloadDriver();
            }
        },
        "libVaVeduProbe.so!DriverEntry");
}

TEST(EndOfTestChecks, ShutdownReportsWhatTheDestructorWouldReport) {
    System system;
    system.registry().setDword(System::serviceKeyPath(kProbeService), PROBE_LEAK_NAME, 1);
    ASSERT_EQ(system.loadDriver(probeImage(), kProbeService), STATUS_SUCCESS);
    EXPECT_NE(system.shutdown().find("libVaVeduProbe.so!DriverEntry"), std::string::npos)
        << "the leak is reported with the site that allocated it";
    EXPECT_EQ(system.shutdown(), "") << "findings are reported once";
}

}  // namespace
}  // namespace sim
