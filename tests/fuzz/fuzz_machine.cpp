#include "tests/fuzz/fuzz_machine.hpp"

#include "tests/fuzz/fuzz_target.hpp"

#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace vavedu::fuzz {

namespace {

using namespace std::chrono_literals;

constexpr std::u16string_view kService = u"VaVedu";

Machine* g_machine = nullptr;
bool g_shutDown = false;
std::filesystem::path g_imageCopies;

// The copies of the kernel images stay loaded until the process ends, so their temporary
// directory is removed only at exit (the mappings live on until then). A process that aborts
// keeps it, for the symbolizer of the crash report.
void removeImageCopies() {
    if (!g_shutDown && !g_imageCopies.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(g_imageCopies, ignored);
    }
}

void removeImageCopiesAtExit(PDRIVER_OBJECT driver) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(driver->DriverInit), &info) == 0 ||
        info.dli_fname == nullptr)
        return;
    const std::filesystem::path directory = std::filesystem::path(info.dli_fname).parent_path();
    if (directory.filename().string().starts_with("vavedu-image-")) {
        g_imageCopies = directory;
        std::atexit(removeImageCopies);
    }
}

constexpr sim::AllocationKind kCheckedKinds[] = {
    sim::AllocationKind::Pool,         sim::AllocationKind::Irp,         sim::AllocationKind::Mdl,
    sim::AllocationKind::DeviceObject, sim::AllocationKind::UsbdRequest,
};

std::string outstandingDifference(const sim::AllocationCounters& baseline,
                                  const sim::AllocationCounters& now) {
    std::string text;
    for (sim::AllocationKind kind : kCheckedKinds) {
        const uint64_t before = baseline.outstandingOf(kind);
        const uint64_t after = now.outstandingOf(kind);
        if (before != after) {
            text += std::string(" ") + sim::toString(kind) + " " + std::to_string(before) + " -> " +
                    std::to_string(after) + ";";
        }
    }
    return text;
}

}  // namespace

void fail(const std::string& what) {
    std::fprintf(stderr, "\nvavedu fuzz: FAILURE: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

const GUID& interfaceGuid() {
    static const GUID guid = VAVEDU_INTERFACE_GUID_INIT;
    return guid;
}

Machine::Machine(const MachineOptions& options)
    : system_([] {
          sim::SystemOptions o;
          // A wait that has not ended after this long is a hang; well below libFuzzer's own
          // time-out, so the bug check names the waiting routine.
          o.kernel.hangLimit = 10s;
          return o;
      }()),
      bus_(system_.addBus(std::make_unique<sim::usb::UsbBus>(system_.kernel()))) {
    const char* threaded = std::getenv("VAVEDU_FUZZ_THREADED");
    stepped_ = threaded == nullptr || std::string_view(threaded) != "1";
    if (stepped_) {
        bus_.setStepped(true);
        system_.kernel().setWaitHook([this] { return runPending(); });
    }
    const std::u16string key = sim::System::serviceKeyPath(kService);
    system_.registry().createKey(key);
    for (const auto& [name, value] : options.registry)
        system_.registry().setDword(key, name, value);
    const NTSTATUS status = system_.loadDriver(sim::imageDirectory() / "libVaVedu.so", kService);
    if (!NT_SUCCESS(status))
        fail("DriverEntry failed: " + sim::statusName(status));
    removeImageCopiesAtExit(system_.driverObject());
    baseline_ = system_.kernel().counters();
}

Machine& Machine::get(const MachineOptions& options) {
    if (g_shutDown)
        fail("the machine was shut down already");
    if (g_machine == nullptr) {
        // Never destroyed while libFuzzer runs: the driver image stays loaded (see the header).
        g_machine = new Machine(options);
    }
    return *g_machine;
}

std::string Machine::shutdown() {
    if (g_machine == nullptr || g_shutDown)
        return {};
    g_shutDown = true;
    std::string findings = g_machine->system_.shutdown();
    delete g_machine;
    g_machine = nullptr;
    return findings;
}

std::string lastRunRecord() {
    return Machine::get().runRecord();
}

bool Machine::runPending() {
    bool worked = waitWork_ && waitWork_();
    if (stepped_ && bus_.step() != 0)
        worked = true;
    return worked;
}

void Machine::settle() {
    if (!stepped_)
        return;
    while (runPending()) {
    }
}

void Machine::clearRecord() {
    bus_.trace().clear();
    results_.clear();
}

std::string Machine::runRecord() const {
    // Requests are numbered by submission: the allocator may hand a later request the address of
    // an earlier one, or not, so an address names a request only from its submission on.
    std::map<uint64_t, uint64_t> ids;
    uint64_t submissions = 0;
    std::string text;
    for (sim::usb::TraceRecord record : bus_.trace().records()) {
        if (!record.completion || ids.find(record.irpId) == ids.end())
            ids[record.irpId] = ++submissions;
        record.irpId = ids[record.irpId];
        record.deviceAddress = 0;
        text += sim::usb::describe(record);
        for (uint8_t byte : record.data)
            text += ' ' + std::to_string(byte);
        text += '\n';
    }
    return text + results_;
}

USBD_STATUS usbdStatus(Input& in) {
    static constexpr USBD_STATUS kStatuses[] = {
        USBD_STATUS_SUCCESS,
        USBD_STATUS_STALL_PID,
        USBD_STATUS_CRC,
        USBD_STATUS_DEV_NOT_RESPONDING,
        USBD_STATUS_TIMEOUT,
        USBD_STATUS_DEVICE_GONE,
        USBD_STATUS_CANCELED,
        USBD_STATUS_BABBLE_DETECTED,
        USBD_STATUS_DATA_OVERRUN,
        USBD_STATUS_DATA_UNDERRUN,
        USBD_STATUS_BTSTUFF,
        USBD_STATUS_XACT_ERROR,
        USBD_STATUS_ERROR_SHORT_TRANSFER,
        USBD_STATUS_ENDPOINT_HALTED,
        USBD_STATUS_INVALID_PARAMETER,
        USBD_STATUS_BUFFER_TOO_SMALL,
        USBD_STATUS_INSUFFICIENT_RESOURCES,
        USBD_STATUS_NOT_SUPPORTED,
        USBD_STATUS_ERROR_BUSY,
        USBD_STATUS_PENDING,
    };
    const uint8_t choice = in.u8();
    if (choice < std::size(kStatuses))
        return kStatuses[choice];
    if (choice < 0xF0)
        return kStatuses[choice % std::size(kStatuses)];
    return static_cast<USBD_STATUS>(in.u32());
}

// ---------------------------------------------------------------- Session

Session::Session(Machine& machine) : machine_(machine) {
    machine_.system().kernel().setFaultPolicy(sim::FaultPolicy::none());
    machine_.system().kernel().clearDebugOutput();
    machine_.clearRecord();
    machine_.bus().setBulkCompletionMode(sim::usb::CompletionMode::Async);
    machine_.bus().setControlCompletionMode(sim::usb::CompletionMode::Inline);
}

Session::~Session() {
    if (!ended_ && node_ >= 0)
        end(Ending::UnplugFirst);
}

void Session::failNthAllocation(uint64_t n) {
    machine_.system().kernel().setFaultPolicy(sim::FaultPolicy::failNth(n));
}

bool Session::plug(std::unique_ptr<sim::usb::DeviceModel> model) {
    try {
        pdo_ = machine_.bus().attach(std::move(model));
    } catch (const std::invalid_argument&) {
        return false;  // not even a device descriptor: the bus cannot enumerate it
    }
    if (pdo_ == nullptr)
        return false;
    int node = -1;
    const NTSTATUS added = machine_.system().addDevice(pdo_, &node);
    node_ = node;
    if (NT_SUCCESS(added))
        machine_.system().start(node_);
    return true;
}

bool Session::open(std::u16string_view suffix) {
    if (handles_.size() >= kMaxHandles || pdo_ == nullptr)
        return false;
    for (const auto& record : machine_.system().kernel().deviceInterfaces(interfaceGuid())) {
        if (record.pdo != pdo_)
            continue;
        sim::Handle handle;
        if (!NT_SUCCESS(
                machine_.system().open(record.symbolicLink + std::u16string(suffix), &handle))) {
            return false;
        }
        handles_.push_back(std::move(handle));
        return true;
    }
    return false;
}

sim::Handle* Session::handle(uint32_t choice) {
    if (handles_.empty())
        return nullptr;
    return &handles_[choice % handles_.size()];
}

sim::Handle* Session::controlHandle() {
    if (handles_.empty() && !open(u""))
        return nullptr;
    return &handles_.front();
}

void Session::close(uint32_t choice) {
    if (handles_.empty())
        return;
    const size_t index = choice % handles_.size();
    handles_[index].close();
    handles_.erase(handles_.begin() + static_cast<std::ptrdiff_t>(index));
}

void Session::track(std::unique_ptr<sim::UserRequest> request, Bytes buffer, ULONG length,
                    std::string what) {
    Tracked tracked;
    tracked.buffer = std::move(buffer);
    tracked.request = std::move(request);
    tracked.length = length;
    tracked.what = std::move(what);
    requests_.push_back(std::move(tracked));
}

sim::UserRequest* Session::request(uint32_t choice) {
    if (requests_.empty())
        return nullptr;
    return requests_[choice % requests_.size()].request.get();
}

void Session::checkResult(const sim::AppResult& result, ULONG outputLength, const char* what) {
    if (result.ok() && result.information > outputLength) {
        fail(std::string(what) + " succeeded with " + std::to_string(result.information) +
             " bytes for an output buffer of " + std::to_string(outputLength));
    }
}

bool Session::waitBriefly(sim::UserRequest& request) {
    if (!machine_.stepped())
        return request.waitFor(2ms).has_value();
    machine_.settle();
    return request.completed();
}

void Session::step(uint8_t passes) {
    if (passes % 5 == 0) {
        machine_.settle();
        return;
    }
    for (int n = passes % 5; n > 0 && machine_.runPending(); --n) {
    }
}

void Session::stopAndStart() {
    sim::System& system = machine_.system();
    if (node_ < 0 || state() != sim::DeviceState::Started)
        return;
    system.stop(node_);
    if (state() == sim::DeviceState::Stopped)
        system.start(node_);
}

void Session::queryOrCancel(bool remove) {
    sim::System& system = machine_.system();
    if (node_ < 0)
        return;
    const sim::DeviceState now = state();
    if (remove) {
        if (now == sim::DeviceState::RemovePending)
            system.cancelRemove(node_);
        else if (now == sim::DeviceState::Started || now == sim::DeviceState::Stopped)
            system.queryRemove(node_);
    } else {
        if (now == sim::DeviceState::StopPending)
            system.cancelStop(node_);
        else if (now == sim::DeviceState::Started)
            system.queryStop(node_);
    }
}

void Session::power(uint8_t choice) {
    if (node_ < 0 || state() == sim::DeviceState::Removed || state() == sim::DeviceState::AddFailed)
        return;
    POWER_STATE target{};
    const bool device = (choice & 1) != 0;
    if (device)
        target.DeviceState = static_cast<DEVICE_POWER_STATE>(1 + (choice >> 2) % 4);
    else
        target.SystemState = static_cast<SYSTEM_POWER_STATE>(1 + (choice >> 2) % 6);
    machine_.system().sendPower(node_, (choice & 2) ? IRP_MN_SET_POWER : IRP_MN_QUERY_POWER,
                                device ? DevicePowerState : SystemPowerState, target);
}

void Session::surpriseRemoval(bool unplug) {
    if (pdo_ == nullptr)
        return;
    if (unplug && !unplugged_) {
        machine_.bus().unplug(pdo_);
        unplugged_ = true;
    }
    if (node_ < 0)
        return;
    switch (state()) {
        case sim::DeviceState::Started:
        case sim::DeviceState::StopPending:
        case sim::DeviceState::Stopped:
        case sim::DeviceState::RemovePending:
            machine_.system().surpriseRemove(node_);
            break;
        default:
            break;
    }
}

void Session::followPortCycle(ULONG code) {
    if (code != IOCTL_BULK_RESET_PORT || node_ < 0)
        return;
    sim::System& system = machine_.system();
    if (!system.waitForPlugAndPlay())
        fail("the Plug and Play manager did not finish the port cycle");
    const int last = system.nodeCount() - 1;
    if (last == node_ || state() != sim::DeviceState::Removed)
        return;
    node_ = last;
    pdo_ = system.pdo(last);
    unplugged_ = false;
}

void Session::cancelAll() {
    for (auto& tracked : requests_)
        tracked.request->cancel();
}

void Session::waitAll() {
    // The kernel's watchdog turns a request that never completes into a bug check naming it.
    for (auto& tracked : requests_)
        tracked.request->wait();
}

void Session::closeAll() {
    for (auto& handle : handles_)
        handle.close();
    handles_.clear();
}

void Session::removeNode() {
    if (node_ < 0 || state() == sim::DeviceState::Removed)
        return;
    machine_.system().remove(node_);
    if (state() != sim::DeviceState::Removed) {
        fail(std::string("the removal of the device was refused (state ") + sim::toString(state()) +
             ")");
    }
}

void Session::end(Ending ending) {
    if (ended_)
        return;
    ended_ = true;
    if (pdo_ == nullptr) {
        machine_.system().kernel().setFaultPolicy(sim::FaultPolicy::none());
        return;
    }
    switch (ending) {
        case Ending::UnplugFirst:
            surpriseRemoval(true);
            closeAll();
            removeNode();
            waitAll();
            break;
        case Ending::CancelThenRemove:
            cancelAll();
            waitAll();
            closeAll();
            removeNode();
            break;
        case Ending::SurpriseThenCloseLate:
        case Ending::kCount:
            cancelAll();
            waitAll();
            surpriseRemoval(false);
            removeNode();
            closeAll();
            break;
    }
    if (!unplugged_) {
        machine_.bus().unplug(pdo_);  // the physical device object goes with it
        unplugged_ = true;
    }
    machine_.system().kernel().setFaultPolicy(sim::FaultPolicy::none());
    check();
}

void Session::check() {
    for (auto& tracked : requests_) {
        if (!tracked.request->completed())
            fail(tracked.what + " was never completed after the device was removed");
        const sim::IoResult result = tracked.request->wait();
        machine_.noteResult(tracked.what + ": " + sim::statusName(result.status) + " " +
                            std::to_string(result.information));
        if (result.status >= 0 && result.information > tracked.length) {
            fail(tracked.what + " succeeded with " + std::to_string(result.information) +
                 " bytes for a buffer of " + std::to_string(tracked.length));
        }
    }
    requests_.clear();

    sim::usb::UsbBus& bus = machine_.bus();
    sim::Kernel& kernel = machine_.system().kernel();
    std::string difference;
    if (machine_.stepped()) {
        machine_.settle();
        difference = outstandingDifference(machine_.baseline(), kernel.counters());
    }
    // What completes on the host controller's thread may still be finishing its last steps.
    for (auto deadline = std::chrono::steady_clock::now() + 2s; !machine_.stepped();) {
        bus.waitIdle(1s);
        difference = outstandingDifference(machine_.baseline(), kernel.counters());
        if ((difference.empty() && bus.pendingCount() == 0) ||
            std::chrono::steady_clock::now() > deadline) {
            break;
        }
        std::this_thread::sleep_for(1ms);
    }
    if (bus.pendingCount() != 0) {
        fail(std::to_string(bus.pendingCount()) +
             " URBs still pending at the bus after the device was removed");
    }
    if (!difference.empty()) {
        fail("kernel allocations not given back after the device was removed:" + difference + "\n" +
             kernel.leakReport());
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        fail("the application's thread was left above PASSIVE_LEVEL");
}

}  // namespace vavedu::fuzz
