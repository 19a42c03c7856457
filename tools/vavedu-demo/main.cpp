// vavedu-demo: one run of the platform model with the probe driver. Loads the driver, plugs in a
// device, opens it, reads, sends a device-control request, removes the device, unloads the
// driver and prints what happened, ending with the model's verdict.
#include "sim/system/system.hpp"
#include "tests/common/test_bus.hpp"
#include "tests/probe/probe_ioctl.h"

#include <cstdio>
#include <exception>
#include <string>

namespace {

void step(const char* what, NTSTATUS status) {
    std::printf("%-40s %s\n", what, sim::statusName(status).c_str());
}

int run() {
    sim::System system;
    system.kernel().onDebugLine([](std::string_view line) {
        std::printf("  [debug] %.*s\n", (int)line.size(), line.data());
    });

    const auto image = sim::imageDirectory() / "libVaVeduProbe.so";
    std::printf("loading %s\n", image.c_str());
    step("DriverEntry", system.loadDriver(image, u"VaVeduProbe"));
    if (!system.driverLoaded())
        return 1;

    auto& bus = system.addBus(std::make_unique<sim::TestBus>(system.kernel()));
    const int node = system.plugIn(bus.createDevice());
    step("AddDevice", system.lastAddStatus(node));
    step("IRP_MN_START_DEVICE", system.lastStartStatus(node));

    const auto paths = system.interfacePaths(GUID_VAVEDU_PROBE_INTERFACE);
    std::printf("device interfaces: %zu\n", paths.size());
    for (const auto& path : paths)
        std::printf("  %s\n", sim::toUtf8(path).c_str());
    if (paths.empty())
        return 1;

    {
        sim::Handle handle;
        step("open <interface>\\DEMO", system.open(paths.front() + u"\\DEMO", &handle));
        if (!handle.valid())
            return 1;

        char buffer[16] = {};
        const sim::AppResult read = handle.read(buffer, sizeof buffer);
        step("read 16 bytes", read.status);
        std::printf("  %lu bytes: \"%.*s\"\n", (unsigned long)read.information,
                    (int)read.information, buffer);

        PROBE_INFO info{};
        const sim::AppResult ioctl =
            handle.deviceIoControl(IOCTL_PROBE_GET_INFO, nullptr, 0, &info, sizeof info);
        step("IOCTL_PROBE_GET_INFO", ioctl.status);
        std::printf("  load count %u, fresh globals %s, ProbeValue %u\n", info.LoadCount,
                    info.DataWasFresh ? "yes" : "no", info.RegistryValue);
        step("close", handle.close());
    }

    bus.unplug(system.pdo(node));
    step("surprise removal", system.surpriseRemove(node));
    step("removal", system.remove(node));
    system.unloadDriver();
    std::printf("driver unloaded\n");

    const sim::AllocationCounters counters = system.kernel().counters();
    const std::string findings = system.shutdown();
    std::printf("allocated through kernel routines: %llu pool blocks, %llu IRPs, %llu MDLs\n",
                (unsigned long long)counters.allocatedOf(sim::AllocationKind::Pool),
                (unsigned long long)counters.allocatedOf(sim::AllocationKind::Irp),
                (unsigned long long)counters.allocatedOf(sim::AllocationKind::Mdl));
    if (!findings.empty()) {
        std::printf("verdict: NOT CLEAN\n%s\n", findings.c_str());
        return 1;
    }
    std::printf("verdict: clean (no pool block, IRP or MDL left, no lock held)\n");
    return 0;
}

}  // namespace

int main() {
    try {
        return run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vavedu-demo: %s\n", e.what());
        return 1;
    }
}
