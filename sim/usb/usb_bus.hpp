// The USB bus driver of the model: one physical device object per attached device model, and the
// host stack behind IOCTL_INTERNAL_USB_SUBMIT_URB and the port requests (reset in place, cycle:
// the device leaves and comes back as another). It validates every URB as
// the platform's stack does (function, header length, handles of the current configuration,
// buffers, direction), answers standard requests from the model's descriptors and state, moves
// bulk data packet by packet, and records every submission and completion in its trace.
//
// Completion modes, per bus or per endpoint (endpoint 0 is the default control pipe):
//   Inline   the URB completes before IofCallDriver returns (a bulk IN the device NAKs pends
//            until data arrives);
//   Async    the URB pends and completes at DISPATCH_LEVEL from the host-controller thread
//            (the default for bulk and interrupt endpoints);
//   Held     the URB pends until the test completes it (completeHeld) or lets the device carry
//            it out (releaseHeld).
// Control requests (everything on the default pipe, selections and pipe requests) complete
// inline by default. Every pending URB is cancellable.
//
// The host controller is a thread by default. A stepped bus (setStepped) leaves its thread idle:
// what is pending (asynchronous URBs, delayed ones, IN transfers waiting for data, released held
// ones) is carried out when the test steps the controller (step, runQueued) on its own thread, at
// DISPATCH_LEVEL as the controller's completion runs; a delay ends at the next step. Together with
// the kernel's wait hook (a thread about to block runs the queue first) the same test then gives
// the same completions in the same order every time.
//
// A timed bus (setTimed) runs on a virtual clock: bulk and interrupt data moves at the rate of a
// USB 2.0 bus and each transfer completes when the host controller would complete it
// (bus_timing.hpp); the code of the driver and the model adds its own time on the host.
//
// The implementation is in sim/usb/bus/, one file per concern (bus_state.hpp lists them).
#pragma once

#include "sim/kernel/kernel.hpp"
#include "sim/usb/bus_timing.hpp"
#include "sim/system/system.hpp"
#include "sim/usb/capture.hpp"
#include "sim/usb/device_model.hpp"
#include "sim/usb/trace.hpp"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace sim::usb {

enum class CompletionMode { Inline, Async, Held };

// A fault injected into the next transfers of an endpoint or the next control requests with a
// request code.
struct Fault {
    enum class Kind {
        Stall,            // USBD_STATUS_STALL_PID; a bulk endpoint stays halted until cleared
        Crc,              // USBD_STATUS_CRC
        Timeout,          // USBD_STATUS_TIMEOUT
        NotResponding,    // USBD_STATUS_DEV_NOT_RESPONDING
        DeviceGone,       // USBD_STATUS_DEVICE_GONE (the device stays attached)
        Cancelled,        // USBD_STATUS_CANCELED, as when the hub aborts the transfer
        Delay,            // the request completes normally after `delay`, asynchronously
        ShortDescriptor,  // a descriptor request returns at most `maxBytes` bytes
        ShortData         // an IN transfer ends with a short packet after at most `maxBytes`
    };
    Kind kind = Kind::Stall;
    unsigned count = 1;  // how many requests it hits; kForever for all until cleared
    std::chrono::milliseconds delay{0};
    uint32_t maxBytes = 0;

    static constexpr unsigned kForever = ~0u;
    static Fault of(Kind kind, unsigned count = 1) { return {kind, count, {}, 0}; }
    static Fault delayed(std::chrono::milliseconds delay, unsigned count = 1) {
        return {Kind::Delay, count, delay, 0};
    }
    static Fault shortDescriptor(uint32_t maxBytes, unsigned count = 1) {
        return {Kind::ShortDescriptor, count, {}, maxBytes};
    }
    static Fault shortData(uint32_t maxBytes, unsigned count = 1) {
        return {Kind::ShortData, count, {}, maxBytes};
    }
};

// A URB the bus holds for the test.
struct HeldUrb {
    uint64_t id = 0;  // the trace's IRP id
    PIRP irp = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    uint16_t function = 0;
    uint8_t endpoint = 0;
    uint32_t length = 0;  // TransferBufferLength asked
    bool in = false;
    std::optional<SetupPacket> setup;  // control transfers: the setup stage the URB stands for
};

// How the test completes a held URB: the status, and for an IN transfer the data (copied into the
// buffer, at most its length); the bytes moved default to the data's size for IN and to the whole
// length for OUT.
struct HeldCompletion {
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    Bytes data;
    std::optional<uint32_t> bytes;
};

NTSTATUS ntStatusForUsbd(USBD_STATUS status);

class UsbBus : public sim::Bus {
  public:
    // The most one bulk or interrupt request may move on a high-speed or full-speed device: the
    // USB 3 stack's limit (a longer URB is refused with USBD_STATUS_INVALID_PARAMETER).
    static constexpr uint32_t kMaxTransferSize = 4u * 1024 * 1024;

    explicit UsbBus(Kernel& kernel, uint16_t busNumber = 1);
    ~UsbBus() override;
    void removed(PDEVICE_OBJECT pdo) override;
    UsbBus(const UsbBus&) = delete;
    UsbBus& operator=(const UsbBus&) = delete;

    // ---- devices
    // Plugs a device in: a new physical device object with the next address (1, 2, ...), marked
    // with its instance path "USB\VID_vvvv&PID_pppp\<address>". Null when IoCreateDevice fails
    // or every address (1 to 127) is taken. Once all 127 have been handed out, the addresses of
    // devices whose physical device objects are gone are given out again (lowest first), and the
    // bus forgets those devices.
    PDEVICE_OBJECT attach(std::unique_ptr<DeviceModel> model);
    // The device is gone: its pending URBs fail with USBD_STATUS_DEVICE_GONE and
    // STATUS_DEVICE_NOT_CONNECTED, and so does every later one. The physical device object goes
    // at IRP_MN_REMOVE_DEVICE (or now, when that came already).
    void unplug(PDEVICE_OBJECT pdo);
    void onUnplug(std::function<void(PDEVICE_OBJECT)> callback);
    bool connected(PDEVICE_OBJECT pdo) const;
    std::vector<PDEVICE_OBJECT> devices() const;  // physical device objects not yet deleted
    DeviceModel& model(PDEVICE_OBJECT pdo);
    template <class T>
    T& modelAs(PDEVICE_OBJECT pdo) {
        return dynamic_cast<T&>(model(pdo));
    }
    uint8_t address(PDEVICE_OBJECT pdo) const;
    std::u16string instancePath(PDEVICE_OBJECT pdo) const;
    uint8_t configuration(PDEVICE_OBJECT pdo) const;  // the device's bConfigurationValue, 0 if none
    uint8_t alternateSetting(PDEVICE_OBJECT pdo, uint8_t interfaceNumber) const;
    // The device's halt of an endpoint (it stalls what comes to it), and the host controller's
    // (it fails what the client sends with USBD_STATUS_ENDPOINT_HALTED).
    bool halted(PDEVICE_OBJECT pdo, uint8_t endpoint) const;
    bool hostHalted(PDEVICE_OBJECT pdo, uint8_t endpoint) const;
    void setHalted(PDEVICE_OBJECT pdo, uint8_t endpoint, bool halted);  // the device's halt
    unsigned portResets(PDEVICE_OBJECT pdo) const;  // IOCTL_INTERNAL_USB_RESET_PORT requests
    // Tells the bus that a model's IN endpoint may have data now (models do it themselves).
    void dataAvailable(PDEVICE_OBJECT pdo);

    // ---- completion modes
    void setBulkCompletionMode(CompletionMode mode);     // every bulk and interrupt endpoint
    void setControlCompletionMode(CompletionMode mode);  // every default pipe
    void setEndpointCompletionMode(PDEVICE_OBJECT pdo, uint8_t endpoint, CompletionMode mode);
    // The host controller as a step of the test instead of a thread (see the file comment).
    void setStepped(bool stepped);
    // One pass of the controller over the head of every endpoint's queue, on the calling thread:
    // the number of URBs it completed.
    size_t step();
    // Steps until a pass completes nothing; the number of URBs completed.
    size_t runQueued();

    // ---- timed mode
    // Puts the bus on a virtual clock: a bulk or interrupt transfer's packets take their time on
    // the wire (each starts when the bus is free, in the first frame with room), and it completes
    // at the end of the frame its last packet ended in plus `latency`. Meanwhile the clock runs
    // with the processor time of the code (VirtualClock), so the time the driver's and the
    // model's code take is counted where it is spent; it jumps over the waits for the bus, and to
    // the time a pacing device has its next packet when only that can go on. The controller is
    // stepped on the threads that wait (the bus installs the kernel's wait hook) and bulk endpoints
    // complete asynchronously. Control requests take no bus time. Call before the first transfer; a
    // packet larger than the speed allows stops the model. `countCode` false leaves the code's time
    // out (tests of the bus's arithmetic through the whole stack, whatever the build's speed).
    void setTimed(BusSpeed speed, Nanoseconds latency = kDefaultCompletionLatency,
                  bool countCode = true);
    // The bus's clock: virtual on a timed bus, else the time since the bus began.
    Nanoseconds now() const;
    // What a timed bus did with each bulk or interrupt transfer that completed.
    struct TimedTransfer {
        uint8_t endpoint = 0;
        uint32_t bytes = 0;
        Nanoseconds submitted{0};  // the URB reached the bus
        Nanoseconds wireStart{0};  // its first packet began (the submission time if it had none)
        Nanoseconds wireEnd{0};    // its last packet ended
        Nanoseconds completed{0};  // its completion reached the driver
    };
    // The records since the last call, in order of completion.
    std::vector<TimedTransfer> takeTimedTransfers();

    // ---- held URBs
    std::vector<HeldUrb> heldUrbs() const;
    // Waits until at least `count` URBs are held; false on time-out.
    bool waitForHeld(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits until a held URB matches `match`; the matching ones, oldest first (empty on
    // time-out). For a test that answers one kind of URB (say, the default pipe's) on its own
    // thread while others are held too.
    std::vector<HeldUrb> waitForHeld(const std::function<bool(const HeldUrb&)>& match,
                                     std::chrono::milliseconds timeout);
    // Completes a held URB as the test says; false when it is not held (any more).
    bool completeHeld(uint64_t id, const HeldCompletion& completion);
    // Lets the device carry out a held URB as if it had not been held.
    bool releaseHeld(uint64_t id);

    // ---- waits for asynchronous work
    // Waits until no URB of the bus is pending except held ones and NAKed IN transfers.
    bool waitIdle(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    size_t pendingCount() const;  // pending URBs, held ones included

    // ---- faults
    void injectFault(PDEVICE_OBJECT pdo, uint8_t endpoint, Fault fault);
    void injectControlFault(PDEVICE_OBJECT pdo, uint8_t request, Fault fault);
    void clearFaults(PDEVICE_OBJECT pdo);
    // The URB that passes the bus's checks `ordinal` URBs from now (0: the next), whichever
    // device it is for, takes `fault` instead of any queued for its endpoint or request: "the
    // n-th URB fails with S", across a device's departure and return.
    void failUrb(unsigned ordinal, Fault fault);
    // URBs of every device that passed the bus's checks since the bus began.
    unsigned urbsAccepted() const;

    // ---- trace and capture
    UrbTrace& trace() { return trace_; }
    // Starts writing a capture (replacing one running): first the device and configuration
    // descriptor requests of every attached device, then every URB. Throws when the file cannot
    // be created.
    void startCapture(const std::filesystem::path& path);
    void stopCapture();

    PDRIVER_OBJECT driverObject() const { return driver_; }
    uint16_t busNumber() const { return busNumber_; }

    struct Port;
    struct Transfer;
    struct Outcome;

  private:
    friend struct BusDispatch;
    // The physical device objects' requests (pdo_dispatch.cpp).
    NTSTATUS dispatchPnp(Port& port, PIRP irp);
    NTSTATUS removeDevice(Port& port);
    NTSTATUS queryId(Port& port, PIRP irp);
    NTSTATUS dispatchPower(Port& port, PIRP irp);
    NTSTATUS dispatchInternal(Port& port, PIRP irp);
    // The port requests (resets.cpp).
    NTSTATUS resetPort(Port& port, PIRP irp);
    NTSTATUS cyclePort(Port& port, PIRP irp);
    NTSTATUS completePortRequest(Port& port, PIRP irp, ULONG code, NTSTATUS status);
    NTSTATUS portStatus(Port& port, PIRP irp);
    // The host controller (host_controller.cpp).
    NTSTATUS submitUrb(Port& port, PIRP irp, PURB urb);
    void takeOrdinalFault(Transfer& t);  // faults.cpp; call with the lock held
    NTSTATUS pend(Port& port, std::unique_ptr<Transfer> t, CompletionMode mode,
                  std::unique_lock<std::mutex>& lock);
    void cancel(PIRP irp);
    bool execute(Transfer& t, Outcome& outcome);  // false: the device NAKed, try again later
    Outcome executeRequest(Transfer& t);          // everything but bulk and interrupt transfers
    void finish(std::unique_ptr<Transfer> t, const Outcome& outcome);  // call without the lock
    void controllerLoop();
    using Finished = std::vector<std::pair<std::unique_ptr<Transfer>, Outcome>>;
    // `dueNow`: delayed transfers are due whatever the clock says (a stepped controller).
    std::chrono::steady_clock::time_point serviceQueues(Finished& done, bool dueNow);
    std::vector<std::unique_ptr<Transfer>> takePending(Port& port, bool includeHeld);
    // The timed bus (timed.cpp); call with the lock held.
    Nanoseconds clockNow() const;
    void timeProgress(Transfer& t, const Outcome* ended);
    void completeInTimeOrder(Finished& done);  // call without the lock
    bool runTimed();                           // the wait hook of a timed bus
    std::optional<Nanoseconds> advanceToDueData();
    CompletionMode modeFor(const Port& port, uint8_t endpoint) const;  // held_urbs.cpp
    // Selections (selection.cpp).
    Outcome selectConfiguration(Transfer& t);
    Outcome selectInterface(Transfer& t);
    void openInterface(Port& port, const InterfaceSetting& setting,
                       USBD_INTERFACE_INFORMATION& info);
    // Trace and capture (bus_trace.cpp).
    TraceRecord traceRecord(const Transfer& t) const;
    void recordSubmission(const Transfer& t);
    void recordCompletion(const Transfer& t, const Outcome& outcome);
    void recordPortRequest(const Port& port, PIRP irp, ULONG code, NTSTATUS status);
    std::vector<std::pair<TraceRecord, Bytes>> enumerationRecords() const;
    // Devices and their ports (ports.cpp).
    PDEVICE_OBJECT attachModel(std::shared_ptr<DeviceModel> model);
    // A cycled port: the device leaves it, then the Plug and Play manager enumerates it again.
    void replug(Port& port);
    Port& portOf(PDEVICE_OBJECT pdo) const;
    void* newHandle();
    void deletePdo(Port& port);
    uint8_t freeAddress();  // 0 when none is free

    Kernel& kernel_;
    uint16_t busNumber_;
    PDRIVER_OBJECT driver_ = nullptr;
    mutable std::mutex mutex_;
    std::condition_variable changed_;  // work for the controller, held URBs, idle
    std::condition_variable resume_;   // a stepped bus's controller thread waits on it
    std::vector<std::unique_ptr<Port>> ports_;
    std::vector<std::unique_ptr<Transfer>> held_;
    CompletionMode bulkMode_ = CompletionMode::Async;
    CompletionMode controlMode_ = CompletionMode::Inline;
    std::function<void(PDEVICE_OBJECT)> onUnplug_;
    uint64_t nextHandle_ = 0;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    unsigned urbsAccepted_ = 0;
    std::optional<std::pair<unsigned, Fault>> ordinalFault_;  // by the value of urbsAccepted_
    UrbTrace trace_;
    std::shared_ptr<PcapWriter> capture_;
    int captureListener_ = 0;
    bool stopping_ = false;
    bool stepped_ = false;
    struct Timing;
    std::unique_ptr<Timing> timing_;
    std::thread controller_;
};

}  // namespace sim::usb
