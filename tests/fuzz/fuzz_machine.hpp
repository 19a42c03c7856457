// What both fuzz targets share: the one machine of a fuzzing process and the life of one device
// in one input, with the checks that every input must pass.
//
// The machine (a System with the USB bus and the driver loaded) is made on first use and kept for
// the life of the process. Kernel images are loaded from fresh copies and dlclose'd when they are
// unloaded; libFuzzer keeps pointers into the coverage counters of every image it has seen, so an
// image must never be unloaded while libFuzzer runs. Every input plugs in a fresh device instead
// and removes it again.
//
// After each input the device is gone and every handle closed, and then:
//   - every application request has completed (exactly once: completing twice is a bug check);
//   - no URB is pending or held at the bus;
//   - the kernel's outstanding pool blocks, IRPs, MDLs, device objects and USBD requests are back
//     where they were after the driver was loaded;
//   - the thread is back at PASSIVE_LEVEL.
// A failure prints "vavedu fuzz: FAILURE: ..." and aborts, so libFuzzer keeps the input. Crashes,
// sanitizer reports and bug checks of the model abort the same way; a wait that never ends is a
// hang bug check of the kernel's watchdog.
//
// The machine is deterministic: the bus's host controller is stepped, so pending URBs complete
// only where the input steps it or where the one thread would block in a wait (the kernel's wait
// hook runs the queue first, as other processors would), and the same input gives the same trace,
// coverage and result every time. With VAVEDU_FUZZ_THREADED=1 in the environment the host
// controller is a thread instead, for the races between completion and the application.
#pragma once

#include "pcdriver/bulk/vavedu_ioctl.h"
#include "sim/system/system.hpp"
#include "sim/usb/usb_bus.hpp"
#include "tests/fuzz/fuzz_input.hpp"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vavedu::fuzz {

[[noreturn]] void fail(const std::string& what);

struct MachineOptions {
    // REG_DWORD values under the driver's service key, read by DriverEntry.
    std::map<std::u16string, ULONG> registry;
};

class Machine {
  public:
    // The machine of this process; the first call makes it with `options`.
    static Machine& get(const MachineOptions& options = {});
    // Removes what is left, unloads the driver and returns the kernel's findings (empty when
    // clean). Only for runs outside libFuzzer (the replay of a corpus); afterwards get() fails.
    static std::string shutdown();

    sim::System& system() { return system_; }
    sim::usb::UsbBus& bus() { return bus_; }
    const sim::AllocationCounters& baseline() const { return baseline_; }
    bool stepped() const { return stepped_; }

    // Work of the target's own that a blocking wait runs first, before a step of the host
    // controller (a device that answers the requests the bus holds for it); true when it did some.
    void setWaitWork(std::function<bool()> work) { waitWork_ = std::move(work); }
    // What other processors would do while the thread waits: the target's work, then one step of
    // a stepped host controller. True when something happened.
    bool runPending();
    // Runs pending work until nothing more happens (nothing on a threaded machine).
    void settle();

    // What the input did, as text that is equal for equal runs: the bus trace (IRP ids numbered
    // in order of appearance, device addresses left out) and the results of the requests.
    std::string runRecord() const;
    void noteResult(const std::string& line) { results_ += line + "\n"; }
    void clearRecord();

    explicit Machine(const MachineOptions& options);

  private:
    sim::System system_;
    sim::usb::UsbBus& bus_;
    sim::AllocationCounters baseline_;
    bool stepped_ = true;
    std::function<bool()> waitWork_;
    std::string results_;
};

// The interface class applications find the driver's devices by.
const GUID& interfaceGuid();

// A USBD status from a short list of the ones devices and host controllers report, or (for
// choices past the list) a raw value from the input.
USBD_STATUS usbdStatus(Input& in);

// The life of one device in one input.
class Session {
  public:
    explicit Session(Machine& machine);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    // A session that was not ended (an input cut short) is ended here, the gentle way.
    ~Session();

    // From now on until the end of the input, the n-th allocation kernel code asks for fails
    // (pool, IRP, MDL, device object, USBD request: the low-resource policy of the kernel).
    void failNthAllocation(uint64_t n);
    // Attaches the device and runs AddDevice and start. False when the bus refused the device
    // (nothing to do for this input then).
    bool plug(std::unique_ptr<sim::usb::DeviceModel> model);
    sim::DeviceState state() const { return machine_.system().state(node_); }
    PDEVICE_OBJECT pdo() const { return pdo_; }
    bool unplugged() const { return unplugged_; }

    // ---- handles
    // Opens "<interface path><suffix>"; false when the device has no enabled interface or the
    // open failed. At most kMaxHandles stay open.
    static constexpr size_t kMaxHandles = 8;
    bool open(std::u16string_view suffix);
    sim::Handle* handle(uint32_t choice);  // null when none is open
    // A handle for device control: an open one, or a new one without a name.
    sim::Handle* controlHandle();
    void close(uint32_t choice);
    size_t handleCount() const { return handles_.size(); }

    // ---- requests
    // Keeps an asynchronous request (and its buffer) until the end of the input, when its result
    // is checked: a byte count beyond `length` fails the input.
    static constexpr size_t kMaxRequests = 24;
    bool roomForRequest() const { return requests_.size() < kMaxRequests; }
    void track(std::unique_ptr<sim::UserRequest> request, Bytes buffer, ULONG length,
               std::string what);
    sim::UserRequest* request(uint32_t choice);  // null when none is tracked
    // A synchronous device-control result: the byte count must fit the output buffer.
    static void checkResult(const sim::AppResult& result, ULONG outputLength, const char* what);
    // Whether a write may wait for its end: only where every OUT endpoint takes data, as the
    // standard instrument's do (a hostile device may hold a transfer for ever).
    void allowSynchronousWrites() { synchronousWrites_ = true; }
    bool synchronousWrites() const { return synchronousWrites_; }
    // Lets a request make progress: a stepped machine runs what is pending, a threaded one waits
    // a few milliseconds. True when the request has completed.
    bool waitBriefly(sim::UserRequest& request);
    // `passes` steps of a stepped host controller (0: until nothing more completes).
    void step(uint8_t passes);

    // ---- Plug and Play and power
    void stopAndStart();
    // A query that waits for its answer: query-stop (or query-remove) on a started device,
    // cancel-stop (or cancel-remove) on one that was queried.
    void queryOrCancel(bool remove);
    // A power request from the input: query or set, a device or system state.
    void power(uint8_t choice);
    // The device leaves: the bus fails what is pending, then the driver hears of the surprise
    // removal. With `unplug` false only the surprise removal (the device stays on the bus).
    void surpriseRemoval(bool unplug);
    // After a device-control request that may have cycled the port (IOCTL_BULK_RESET_PORT):
    // waits for the Plug and Play manager, and when the device left and came back as a new
    // node, the session goes on with that one (the end of the input removes it).
    void followPortCycle(ULONG code);

    // ---- the end of the input
    enum class Ending {
        UnplugFirst,            // unplug, surprise removal, close, remove
        CancelThenRemove,       // cancel everything, close, orderly removal, unplug
        SurpriseThenCloseLate,  // cancel everything, surprise removal, remove, close, unplug
        kCount
    };
    // Takes the device away and closes every handle in the order of `ending`, then runs the
    // checks of every input (see the file comment).
    void end(Ending ending);

  private:
    struct Tracked {
        Bytes buffer;  // declared before the request: the request (which waits) goes first
        std::unique_ptr<sim::UserRequest> request;
        ULONG length = 0;
        std::string what;
    };
    void cancelAll();
    void waitAll();
    void closeAll();
    void removeNode();
    void check();

    Machine& machine_;
    int node_ = -1;
    PDEVICE_OBJECT pdo_ = nullptr;
    bool unplugged_ = false;
    bool ended_ = false;
    bool synchronousWrites_ = false;
    std::vector<sim::Handle> handles_;
    std::vector<Tracked> requests_;
};

}  // namespace vavedu::fuzz
