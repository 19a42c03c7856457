// The bus driver's own state and the routines its parts share; tests and the tool use
// usb_bus.hpp only. The bus is split the way a host stack is:
//   ports.cpp              attaching and unplugging devices, their addresses and state
//   pdo_dispatch.cpp       the physical device objects: Plug and Play, power, internal requests
//   urb_table.hpp          the table of URB functions the bus takes, one row per function
//   urb_validation.cpp     the routine that checks a URB by its function's row
//   select_validation.cpp  the checks of the select-configuration and select-interface URBs
//   selection.cpp          carrying out a selection: configuration, interfaces, their pipes
//   control.cpp            control transfers on the default pipe, the standard requests
//   bulk.cpp               bulk and interrupt transfers, packet by packet
//   resets.cpp             halts and resets: the pipe requests and the port requests
//   faults.cpp             faults injected into endpoints and control requests
//   host_controller.cpp    submission, pending and cancel, the controller thread, completion
//   held_urbs.cpp          completion modes, URBs held for the test, waits for idle
//   timed.cpp              the timed bus: the virtual clock, the schedule, completion in time
//   bus_trace.cpp          the URB trace records and the capture
#pragma once

#include "sim/usb/usb_bus.hpp"

#include <atomic>
#include <deque>
#include <map>
#include <set>
#include <string>

namespace sim::usb {

// One device on its port: its descriptors, the configuration the host set, the pipes open on it,
// and what the test set up for it (faults, completion modes); the transfers waiting per endpoint.
struct UsbBus::Port {
    UsbBus* bus = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    // Shared with the port the device comes back on after a port cycle; the old physical device
    // object still names it.
    std::shared_ptr<DeviceModel> model;
    uint8_t address = 0;
    std::u16string instancePath;
    Bytes device;
    std::vector<Bytes> configs;
    std::vector<ConfigurationInfo> infos;  // parsed configs, same order
    bool connected = true;
    bool pnpRemoved = false;
    bool deleted = false;

    // The device's configuration as the host set it, and the handles of its pipes.
    int configIndex = -1;
    void* configHandle = nullptr;
    std::map<uint8_t, uint8_t> alternates;  // interface number -> alternate setting
    std::map<uint8_t, void*> interfaceHandles;
    struct Pipe {
        uint8_t interfaceNumber;
        EndpointInfo endpoint;  // its maxPacketSize as the pipe was opened with
    };
    std::map<void*, Pipe> pipes;
    // Each endpoint's halt and data toggle on both sides of the bus. The device halts an
    // endpoint when it stalls a transfer or SET_FEATURE(ENDPOINT_HALT) asks it to, and clears its
    // halt and toggle at CLEAR_FEATURE(ENDPOINT_HALT); the host controller halts its side after
    // a transfer error, and only the reset-pipe requests clear that side and its toggle.
    struct EndpointState {
        bool deviceHalted = false;
        bool hostHalted = false;
        bool deviceToggle = false;  // true: DATA1 is next
        bool hostToggle = false;
    };
    std::map<uint8_t, EndpointState> endpoints;  // by endpoint address
    bool remoteWakeup = false;
    bool cycled = false;  // left its port in a port cycle (and came back as another device)
    unsigned resets = 0;

    std::map<uint8_t, std::deque<Fault>> endpointFaults;
    std::map<uint8_t, std::deque<Fault>> controlFaults;  // by bRequest
    std::map<uint8_t, CompletionMode> modes;             // by endpoint address, 0 control
    std::map<uint8_t, std::deque<std::unique_ptr<Transfer>>> queues;  // by endpoint, 0 control
    std::atomic<uint64_t> dataEpoch{0};

    const ConfigurationInfo* active() const {
        return configIndex >= 0 ? &infos[static_cast<size_t>(configIndex)] : nullptr;
    }
    uint8_t configValue() const { return active() != nullptr ? active()->value : 0; }
    const EndpointInfo* endpoint(uint8_t address) const {
        for (const auto& [handle, pipe] : pipes) {
            if (pipe.endpoint.address == address)
                return &pipe.endpoint;
        }
        return nullptr;
    }
};

struct UsbBus::Outcome {
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    NTSTATUS nt = STATUS_SUCCESS;
    uint32_t moved = 0;
};

// One URB from its submission to its completion: what validation found out about it, and the
// progress of carrying it out.
struct UsbBus::Transfer {
    uint64_t id = 0;
    PIRP irp = nullptr;
    PURB urb = nullptr;
    Port* port = nullptr;
    uint16_t function = 0;
    uint8_t queueKey = 0;  // endpoint address; 0 for the default pipe
    TransferKind kind = TransferKind::None;
    uint8_t endpoint = 0;
    uint32_t flags = 0;
    uint32_t length = 0;
    uint8_t* buffer = nullptr;
    bool in = false;
    bool dataKind = false;  // TransferBufferLength is rewritten on completion
    std::optional<SetupPacket> setup;
    std::optional<Fault> fault;
    // bulk progress
    uint16_t maxPacket = 0;
    bool shortOk = false;
    uint32_t moved = 0;
    bool naked = false;
    uint64_t nakEpoch = 0;
    // selections and pipe requests
    int configIndex = -1;
    std::vector<size_t> recordOffsets;  // where validation found the interface records
    void* pipeHandle = nullptr;
    std::vector<std::unique_ptr<Transfer>> aborted;
    std::chrono::steady_clock::time_point notBefore{};
    // a timed bus: when the URB came and may go on the wire, what of it is placed there
    Nanoseconds submittedAt{0};
    Nanoseconds readyAt{0};
    uint32_t placedBytes = 0;
    std::optional<WireTime> wire;
    Nanoseconds completesAt{0};
    bool cancelling = false;
    bool held = false;
};

// The timed bus's state (timed.cpp), under the bus's lock.
struct UsbBus::Timing {
    Timing(BusSpeed speed, Nanoseconds latency, bool countCode)
        : schedule(speed), latency(latency), clock(countCode) {}
    BusSchedule schedule;
    Nanoseconds latency;
    VirtualClock clock;
    std::vector<TimedTransfer> records;
};

// The dispatch routines the bus driver object has, and the cancel routine of pending URBs.
struct BusDispatch {
    static NTSTATUS pnp(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS power(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS internal(PDEVICE_OBJECT device, PIRP irp);
    static VOID cancel(PDEVICE_OBJECT device, PIRP irp);
};

namespace detail {

using Port = UsbBus::Port;
using Transfer = UsbBus::Transfer;
using Outcome = UsbBus::Outcome;

// The extension of a physical device object: the mark that it is the bus's, and its port.
inline constexpr uint64_t kPdoMagic = 0x5553425055534250ull;  // "PBSUPBSU"
struct PdoExtension {
    uint64_t magic;
    Port* port;
};

inline Outcome failure(USBD_STATUS status) {
    return {status, ntStatusForUsbd(status), 0};
}

// Raises the calling thread to DISPATCH_LEVEL for the life of the object, as a host
// controller's completion does (no-op when already there).
class AtDispatch {
  public:
    AtDispatch() : old_(KfRaiseIrql(DISPATCH_LEVEL)) {}
    ~AtDispatch() { KeLowerIrql(old_); }
    AtDispatch(const AtDispatch&) = delete;
    AtDispatch& operator=(const AtDispatch&) = delete;

  private:
    KIRQL old_;
};

std::u16string hex4(uint16_t value);  // four upper-case hexadecimal digits

// A request the platform documents for PASSIVE_LEVEL only (the port requests, the pipe
// requests): sent at a raised IRQL, Driver Verifier stops the machine (0xC4, 0xE5).
void requirePassiveRequest(const std::string& request);

// The kernel stack the hub's and the port driver's routines take on the submitting thread for
// each request they handle (their dispatch, the pass-down to the port driver and its checks and
// queueing): an estimate of those frames on x64.
inline constexpr uint32_t kUsbStackFrames = 0x400;

// ---- validation (urb_validation.cpp, select_validation.cpp)
// Checks a URB against the current configuration and fills in the transfer; the outcome when the
// bus refuses it.
std::optional<Outcome> validateUrb(Port& port, PURB urb, Transfer& t);
std::optional<USBD_STATUS> checkSelectConfiguration(Port& port, PURB urb, Transfer& t);
std::optional<USBD_STATUS> checkSelectInterface(Port& port, PURB urb, Transfer& t);
std::optional<USBD_STATUS> refuseStackRequests(Port& port, PURB urb, Transfer& t);
inline constexpr size_t kSelectConfigurationHead =
    FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
inline constexpr size_t kSelectInterfaceHead =
    FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface);
inline constexpr size_t kInterfaceRecordHead = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);

// ---- carrying transfers out
// false: the device NAKed, the transfer waits for data (bulk.cpp)
bool executeBulk(Transfer& t, Outcome& outcome);
// A transfer error the host controller halts its side of the endpoint for.
bool haltsTheHost(USBD_STATUS status);
Outcome controlTransfer(Transfer& t);  // control.cpp
void unconfigure(Port& port);          // selection.cpp
// The pipe requests (resets.cpp): the host's side of the pipe, the device's side, or both.
Outcome resetPipe(Transfer& t, const std::vector<std::unique_ptr<Transfer>>& held);
Outcome abortPipe(Transfer& t);
// The device clears the endpoint's halt and its data toggle (CLEAR_FEATURE(ENDPOINT_HALT)).
void clearDeviceHalt(Port& port, uint8_t endpoint);

// ---- faults (faults.cpp)
// The next fault queued under `key`, used up by one request.
std::optional<Fault> takeFault(std::map<uint8_t, std::deque<Fault>>& faults, uint8_t key);
// The USBD status a fault makes a request fail with; nullopt for one that lets it through.
std::optional<USBD_STATUS> faultStatus(const std::optional<Fault>& fault);

}  // namespace detail
}  // namespace sim::usb
