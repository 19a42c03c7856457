// vaveduemu.exe: installs the instrument emulator (VaVeduEmu.SYS) and works its control device, so
// that VaVedu.SYS and vavedu.exe run against a virtual instrument on a machine without one.
//
//   vaveduemu install EMULATOR_INF [DRIVER_INF]   stage the driver's INF, create the emulator's
//                                                 root device and install the emulator on it
//   vaveduemu unplug | plug                       the instrument leaves or comes (waits until the
//                                                 driver's device has gone or is ready)
//   vaveduemu stall ENDPOINT                      halt an endpoint (e.g. 0x81)
//   vaveduemu counters                            what the emulator saw, as one JSON object
//   vaveduemu wait-ready | wait-pending N         wait for the driver's device, or for N waiting
//                                                 bulk transfers
// Exit status 0 on success, 1 on failure (with a message on standard error), 2 for usage errors.
#include "pcdriver/bulk/vavedu_ioctl.h"
#include "pcdriver/emulator/vaveduemu_ioctl.h"

#include <windows.h>

#include <newdev.h>
#include <setupapi.h>

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string lastError(const char* what) {
    return std::string(what) + " failed, error " + std::to_string(GetLastError());
}

std::wstring wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

// The full path of a file named on the command line.
std::wstring fullPath(const std::string& path) {
    wchar_t buffer[MAX_PATH];
    const DWORD length = GetFullPathNameW(wide(path).c_str(), MAX_PATH, buffer, nullptr);
    if (length == 0 || length >= MAX_PATH)
        throw Failure(lastError("GetFullPathName"));
    return buffer;
}

// ---------------------------------------------------------------- the control device

class ControlDevice {
  public:
    ControlDevice()
        : handle_(CreateFileA(VAVEDU_EMU_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr)) {}
    ~ControlDevice() {
        if (open())
            CloseHandle(handle_);
    }
    ControlDevice(const ControlDevice&) = delete;
    ControlDevice& operator=(const ControlDevice&) = delete;

    bool open() const { return handle_ != INVALID_HANDLE_VALUE; }

    void control(uint32_t code, const void* input, DWORD inputLength, void* output = nullptr,
                 DWORD outputLength = 0) {
        if (!open())
            throw Failure("the emulator is not running (" VAVEDU_EMU_CONTROL_PATH
                          " cannot be opened)");
        DWORD returned = 0;
        if (!DeviceIoControl(handle_, code, const_cast<void*>(input), inputLength, output,
                             outputLength, &returned, nullptr)) {
            throw Failure(lastError("DeviceIoControl"));
        }
    }

    VAVEDU_EMU_COUNTERS counters() {
        VAVEDU_EMU_COUNTERS c{};
        control(IOCTL_VAVEDU_EMU_GET_COUNTERS, nullptr, 0, &c, sizeof c);
        return c;
    }

  private:
    HANDLE handle_;
};

// Whether the driver's device interface is there and its device answers.
bool driverReady() {
    const GUID guid = VAVEDU_INTERFACE_GUID_INIT;
    HDEVINFO set =
        SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return false;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    const bool present = SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &data) != FALSE;
    SetupDiDestroyDeviceInfoList(set);
    return present;
}

template <class Condition>
void waitFor(Condition condition, unsigned timeoutMs, const char* what) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            throw Failure(std::string("timed out waiting for ") + what);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// ---------------------------------------------------------------- installation

// Creates a device node for the root device the emulator's INF matches.
void createRootDevice(const std::wstring& inf) {
    GUID classGuid;
    wchar_t className[64];  // class names are at most 32 characters
    if (!SetupDiGetINFClassW(inf.c_str(), &classGuid, className, 64, nullptr))
        throw Failure(lastError("SetupDiGetINFClass"));
    HDEVINFO set = SetupDiCreateDeviceInfoList(&classGuid, nullptr);
    if (set == INVALID_HANDLE_VALUE)
        throw Failure(lastError("SetupDiCreateDeviceInfoList"));
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    const std::wstring id = wide(VAVEDU_EMU_HARDWARE_ID);
    std::wstring ids = id + L'\0' + L'\0';  // a string list
    bool done = SetupDiCreateDeviceInfoW(set, className, &classGuid, nullptr, nullptr,
                                         DICD_GENERATE_ID, &device) &&
                SetupDiSetDeviceRegistryPropertyW(
                    set, &device, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(ids.data()),
                    static_cast<DWORD>(ids.size() * sizeof(wchar_t))) &&
                SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device);
    const std::string error = done ? "" : lastError("creating the root device");
    SetupDiDestroyDeviceInfoList(set);
    if (!done)
        throw Failure(error);
}

void install(const std::string& emulatorInf, const std::optional<std::string>& driverInf,
             unsigned timeoutMs) {
    if (ControlDevice().open()) {
        std::printf("the emulator is installed already\n");
        return;
    }
    // The driver's INF goes to the system's INF directory first, so the instrument the emulator
    // plugs in finds its driver at once.
    if (driverInf && !SetupCopyOEMInfW(fullPath(*driverInf).c_str(), nullptr, SPOST_PATH, 0,
                                       nullptr, 0, nullptr, nullptr)) {
        throw Failure(lastError("SetupCopyOEMInf"));
    }
    const std::wstring inf = fullPath(emulatorInf);
    createRootDevice(inf);
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, wide(VAVEDU_EMU_HARDWARE_ID).c_str(),
                                            inf.c_str(), INSTALLFLAG_FORCE, &reboot)) {
        throw Failure(lastError("UpdateDriverForPlugAndPlayDevices"));
    }
    waitFor([] { return ControlDevice().open(); }, timeoutMs, "the emulator to start");
    std::printf("the emulator is installed\n");
    if (driverInf) {
        waitFor(driverReady, timeoutMs, "VaVedu.SYS to start on the instrument");
        std::printf("VaVedu.SYS runs on the emulated instrument\n");
    }
}

// ---------------------------------------------------------------- counters

void printCounters(const VAVEDU_EMU_COUNTERS& c) {
    std::string recent;
    const uint32_t n =
        c.RecentCount < VAVEDU_EMU_RECENT_COUNT ? c.RecentCount : VAVEDU_EMU_RECENT_COUNT;
    for (uint32_t i = 0; i < n; ++i) {  // oldest first
        const uint32_t entry = c.Recent[(c.RecentCount - n + i) % VAVEDU_EMU_RECENT_COUNT];
        recent += (i ? ", " : "") + std::string(entry & VAVEDU_EMU_RECENT_IN ? "\"in " : "\"out ") +
                  std::to_string(entry & ~VAVEDU_EMU_RECENT_IN) + "\"";
    }
    std::printf(
        "{\"plugged\": %u, \"generation\": %u, \"child_exists\": %u, \"child_started\": %u, "
        "\"configuration\": %u, \"alternate_settings\": [%u, %u], \"halted_endpoints\": %u, "
        "\"port_resets\": %u, \"port_cycles\": %u, \"close_requests\": %u, "
        "\"zero_length_packets_received\": %u, \"loopback_waiting\": %u, \"acquiring\": %u, "
        "\"bytes_sunk\": %llu, \"samples_sent\": %llu, \"urbs_submitted\": %u, "
        "\"urbs_rejected\": %u, \"control_transfers\": %u, \"vendor_requests\": %u, "
        "\"select_configurations\": %u, \"select_interfaces\": %u, \"pipe_resets\": %u, "
        "\"pipe_aborts\": %u, \"last_usbd_status\": %u, \"bulk_transfers\": %u, "
        "\"bulk_pending\": %u, \"bulk_cancelled\": %u, \"bulk_stalled\": %u, "
        "\"bulk_out_hash\": %u, \"bulk_in_hash\": %u, "
        "\"bulk_bytes_out\": %llu, \"bulk_bytes_in\": %llu, \"recent_count\": %u, "
        "\"recent\": [%s]}\n",
        c.Plugged, c.Generation, c.ChildExists, c.ChildStarted, c.Configuration,
        c.AlternateSettings[0], c.AlternateSettings[1], c.HaltedEndpoints, c.PortResets,
        c.PortCycles, c.CloseRequests, c.ZeroLengthPacketsReceived, c.LoopbackWaiting, c.Acquiring,
        static_cast<unsigned long long>(c.BytesSunk),
        static_cast<unsigned long long>(c.SamplesSent), c.UrbsSubmitted, c.UrbsRejected,
        c.ControlTransfers, c.VendorRequests, c.SelectConfigurations, c.SelectInterfaces,
        c.PipeResets, c.PipeAborts, c.LastUsbdStatus, c.BulkTransfers, c.BulkPending,
        c.BulkCancelled, c.BulkStalled, c.BulkOutHash, c.BulkInHash,
        static_cast<unsigned long long>(c.BulkBytesOut),
        static_cast<unsigned long long>(c.BulkBytesIn), c.RecentCount, recent.c_str());
}

int run(int argc, char** argv) {
    CLI::App app{"vaveduemu: installs and works the VaVedu instrument emulator"};
    app.require_subcommand(1);
    unsigned timeoutMs = 20000;
    app.add_option("--wait-ms", timeoutMs, "how long to wait for the driver (20000)");
    std::string emulatorInf;
    std::optional<std::string> driverInf;
    auto* installCommand = app.add_subcommand("install", "install the emulator (and the driver)");
    installCommand->add_option("EMULATOR_INF", emulatorInf)->required();
    installCommand->add_option("DRIVER_INF", driverInf);
    auto* unplugCommand = app.add_subcommand("unplug", "the instrument leaves the port");
    auto* plugCommand = app.add_subcommand("plug", "a new instrument is plugged in");
    std::string endpointText;
    auto* stallCommand = app.add_subcommand("stall", "halt an endpoint");
    stallCommand->add_option("ENDPOINT", endpointText)->required();
    auto* countersCommand = app.add_subcommand("counters", "what the emulator saw, as JSON");
    auto* readyCommand = app.add_subcommand("wait-ready", "wait for the driver's device");
    unsigned pending = 1;
    auto* pendingCommand = app.add_subcommand("wait-pending", "wait for waiting bulk transfers");
    pendingCommand->add_option("N", pending)->required();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }

    if (installCommand->parsed()) {
        install(emulatorInf, driverInf, timeoutMs);
        return 0;
    }
    ControlDevice control;
    if (unplugCommand->parsed()) {
        control.control(IOCTL_VAVEDU_EMU_UNPLUG, nullptr, 0);
        waitFor([&] { return control.counters().ChildExists == 0; }, timeoutMs,
                "the instrument's device to be removed");
    } else if (plugCommand->parsed()) {
        control.control(IOCTL_VAVEDU_EMU_PLUG, nullptr, 0);
        waitFor(driverReady, timeoutMs, "VaVedu.SYS to start on the instrument");
    } else if (stallCommand->parsed()) {
        const unsigned long endpoint = std::stoul(endpointText, nullptr, 0);
        if (endpoint > 0xFF)
            throw CLI::ValidationError("ENDPOINT", "an endpoint address is one byte");
        const uint8_t address = static_cast<uint8_t>(endpoint);
        control.control(IOCTL_VAVEDU_EMU_STALL, &address, 1);
    } else if (countersCommand->parsed()) {
        printCounters(control.counters());
    } else if (readyCommand->parsed()) {
        waitFor(driverReady, timeoutMs, "VaVedu.SYS to start on the instrument");
    } else if (pendingCommand->parsed()) {
        waitFor([&] { return control.counters().BulkPending >= pending; }, timeoutMs,
                "waiting bulk transfers");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const Failure& e) {
        std::fprintf(stderr, "vaveduemu: %s\n", e.what());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vaveduemu: %s\n", e.what());
        return 2;
    }
}
