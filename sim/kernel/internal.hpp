// Inside the kernel model: the state behind sim::Kernel and the helpers the parts of
// libntoskrnl.so share. Nothing outside sim/kernel includes this header.
#pragma once

#include "sim/kernel/kernel.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace sim {

// ---- symbols (symbols.cpp)

// What the model can find out about a code address: the image it lies in, its offset there, and
// the function around it (from the image's symbol table when it has one).
struct CodeLocation {
    std::string image;     // file name of the image, without directories
    uintptr_t offset = 0;  // from the image's load address
    std::string function;  // demangled, without parameters; empty if unknown
    uintptr_t functionOffset = 0;
    std::string describe() const;  // "libVaVedu.so!StartDevice+0x4c"
};
CodeLocation locateCode(const void* address);
std::string describeCode(const void* address);  // locateCode(address).describe()
std::string hostBacktrace(int skipFrames);      // one frame a line, indented

// ---- bug checks (bugcheck.cpp)

std::string hex(uint64_t value);
std::string describeIrql(KIRQL irql);
std::string majorFunctionName(UCHAR major);

// ---- IRQL and spin locks (sync.cpp)

KIRQL currentIrql();
void setIrql(KIRQL irql);
// A token that identifies the calling host thread (a "processor" of the model).
ULONG_PTR threadToken();
// Spin lock operations shared with the cancel spin lock; `site` is the caller named in checks.
void acquireSpinLock(PKSPIN_LOCK lock, const void* site, const char* routine);
void releaseSpinLock(PKSPIN_LOCK lock, const void* site, const char* routine);
bool spinLockHeldByThisThread(PKSPIN_LOCK lock);

// Blocks on the 32-bit word at `address` while it holds `expected`, until `deadline` (none:
// forever). Returns false on time-out. Woken by wakeAddress.
bool waitOnAddress(volatile LONG* address, LONG expected,
                   std::optional<std::chrono::steady_clock::time_point> deadline);
void wakeAddress(volatile LONG* address);

// Waits for an event with the hang watchdog; `what` names the waiter in the bug check.
void waitForEventWithWatchdog(PKEVENT event, const std::function<std::string()>& what);
bool waitForEventUntil(PKEVENT event, std::chrono::steady_clock::time_point deadline);

// ---- the kernel's state

enum class IrpOrigin {
    Driver,      // IoAllocateIrp: the allocating driver frees it
    External,    // IoInitializeIrp on memory of a driver
    Threaded,    // IoBuildDeviceIoControlRequest: the I/O manager finishes and frees it
    Application  // an application request of the I/O manager
};

enum class IrpState { Idle, Dispatched, Completing, Stopped, Done };

// What the model keeps about an IRP beside the IRP itself. Placed in front of the IRPs the model
// allocates; kept while the IRP may still be looked at after it was freed (a dispatch routine
// still running on it), so that the checks after the dispatch routine returns are safe.
struct IrpShadow {
    PIRP irp = nullptr;
    IrpOrigin origin = IrpOrigin::Driver;
    IrpState state = IrpState::Idle;
    const AllocationSite* site = nullptr;  // an entry of Impl::knownSites
    bool counted = false;                  // counted in the Irp counters
    bool freed = false;                    // given back; memory kept while pins > 0
    int pins = 0;                          // IofCallDriver frames and cancels running on it
    uint64_t serial = 0;
    // Per stack location (1-based index as CurrentLocation): whether the completion walk passed
    // it, and whether SL_PENDING_RETURNED was set there when it did; whether its dispatch routine
    // returned STATUS_PENDING before it was marked (checked when the walk reaches it).
    uint64_t walked[2] = {};
    uint64_t pendingSeen[2] = {};
    uint64_t owesPendingMark[2] = {};
    ULONG_PTR completingThread = 0;  // the thread running a completion routine on it
    bool nestedCompletion = false;   // IofCompleteRequest called from that routine
    uint64_t sends = 0;              // IofCallDriver calls on it so far
    uint32_t sendsAt[128] = {};      // of them, per stack location they went to
    // Threaded and application requests: what the final completion gives back.
    void* systemBuffer = nullptr;  // freed at final completion
    void* copyBackTo = nullptr;    // METHOD_BUFFERED / buffered read: the caller's buffer
    ULONG copyBackLength = 0;
    bool copyBack = false;
    bool checkInformation = false;  // Information must not exceed copyBackLength
    ULONG informationLimit = 0;

    static bool bit(const uint64_t* set, int index) {
        return (set[index >> 6] >> (index & 63)) & 1;
    }
    static void setBit(uint64_t* set, int index, bool on) {
        if (on)
            set[index >> 6] |= uint64_t{1} << (index & 63);
        else
            set[index >> 6] &= ~(uint64_t{1} << (index & 63));
    }
};

struct PoolBlock {
    size_t size = 0;
    POOL_TYPE type = NonPagedPool;
    ULONG tag = 0;
    AllocationKind kind = AllocationKind::Pool;
    const void* caller = nullptr;
    bool counted = true;
    void* hostBlock = nullptr;  // what malloc returned
};

struct MdlRecord {
    const void* caller = nullptr;
    bool counted = true;
    size_t bytes = 0;
};

struct DeviceRecord {
    const void* caller = nullptr;
    bool counted = true;
    bool deleted = false;
    bool physical = false;
    bool refuseAttach = false;
    int references = 0;              // ObReferenceObject and file objects
    PDEVICE_OBJECT lower = nullptr;  // the device this one is attached to
    std::u16string instancePath;
    std::u16string name;
    void* memory = nullptr;
};

struct DriverRecord {
    std::u16string name;
    bool deleted = false;
};

struct FileRecord {
    PDEVICE_OBJECT device = nullptr;
};

struct HeldSpinLock {
    ULONG_PTR thread = 0;
    const void* site = nullptr;
    const char* routine = "";
};

struct Kernel::Impl {
    explicit Impl(KernelOptions o) : options(o) {}

    KernelOptions options;
    mutable std::mutex mutex;  // every table below

    // allocations
    FaultPolicy policy = FaultPolicy::none();
    AllocationCounters counters;
    std::unordered_map<const void*, AllocationSite> knownSites[kAllocationKinds];
    std::vector<AllocationSite> sitesInOrder;
    std::unordered_set<uint64_t> sitesReachedKeys;  // (site index << 3) | kind
    std::unordered_map<void*, PoolBlock> pool;
    std::unordered_map<PIRP, IrpShadow*> irps;
    std::unordered_map<PMDL, MdlRecord> mdls;
    std::unordered_map<PDEVICE_OBJECT, DeviceRecord> devices;
    std::unordered_map<PDRIVER_OBJECT, DriverRecord> drivers;
    std::unordered_map<PFILE_OBJECT, FileRecord> files;
    std::unordered_map<PKSPIN_LOCK, HeldSpinLock> heldLocks;
    uint64_t nextIrpSerial = 1;
    // Addresses given back recently, to tell a double free from a foreign pointer; the
    // non-sanitized build also keeps their memory for a while so that they are not reused at once.
    std::deque<std::pair<void*, void*>> quarantine;  // (address, host block to free)

    // cancel
    KSPIN_LOCK cancelLock = 0;

    // debug output
    mutable std::mutex debugMutex;
    std::vector<std::string> debugLines;
    std::string partialLine;
    std::vector<std::function<void(std::string_view)>> debugSinks;

    // registry
    Registry registry;

    // device interfaces and Plug and Play notifications
    std::vector<DeviceInterfaceRecord> interfaces;
    std::vector<std::pair<PDEVICE_OBJECT, DEVICE_RELATION_TYPE>> invalidatedRelations;

    // ---- helpers (kernel.cpp); call with `mutex` held unless noted
    // Records the site and asks the policy; counts a failure. Returns true to fail.
    bool decideFailure(AllocationKind kind, const void* caller);
    const AllocationSite& siteFor(AllocationKind kind, const void* caller);
    void noteAllocated(AllocationKind kind, bool counted);
    void noteFreed(AllocationKind kind, bool counted);
    // Keeps a given-back address in quarantine; frees its host block later.
    void retire(void* address, void* hostBlock);
    // Whether `address` was given back lately; asked only when something is wrong.
    bool wasFreedRecently(void* address) const;

    IrpShadow* findIrp(PIRP irp) const;  // live (not freed) IRPs only
    // Pool (pool.cpp)
    void* poolAllocate(POOL_TYPE type, size_t bytes, ULONG tag, AllocationKind kind,
                       const void* caller, bool counted);                  // mutex not held
    void poolFree(void* p, std::optional<ULONG> tag, const void* caller);  // mutex not held
    bool isPoolBlock(void* p) const;

    // IRPs (irp.cpp); mutex not held
    PIRP allocateIrp(CCHAR stackSize, IrpOrigin origin, const void* caller, bool counted);
    void freeIrpMemory(IrpShadow* shadow);  // mutex held
    // MDLs (mdl.cpp); mutex not held
    PMDL allocateMdl(PVOID va, ULONG length, const void* caller, bool counted);
    void freeMdl(PMDL mdl);
    // Devices (devices.cpp); mutex held
    void releaseDeviceIfUnused(PDEVICE_OBJECT device);
    PDEVICE_OBJECT topOfStackLocked(PDEVICE_OBJECT device) const;

    // checks
    std::string findings(bool includeIrql) const;  // mutex not held
    void freeEverything();                         // at destruction
};

Kernel::Impl& kernelImpl();  // of the current kernel; bug check when there is none
Kernel::Impl* kernelImplOrNull();

// The I/O manager's core, shared by the exported routines and the application side (irp.cpp).
NTSTATUS callDriver(PDEVICE_OBJECT device, PIRP irp, const void* caller, const char* routineName);
void completeRequest(PIRP irp, const void* caller);
// IoCancelIrp on an IRP the caller has pinned (pins > 0); drops that pin. `irql` is the
// caller's IRQL.
BOOLEAN cancelPinnedIrp(Kernel::Impl& impl, IrpShadow* shadow, KIRQL irql);

// Default dispatch routine of every driver object: fails with STATUS_INVALID_DEVICE_REQUEST.
NTSTATUS NTAPI defaultDispatch(PDEVICE_OBJECT device, PIRP irp);

// The application side: builds and sends one request (user_io.cpp).
class ApplicationRequest;

// A PagedPool copy of `text` with a NUL, charged to `caller` (the fault policy applies).
NTSTATUS allocateUnicodeString(PUNICODE_STRING out, std::u16string_view text, const void* caller);

// Text helpers
std::u16string upcase(std::u16string_view text);
std::u16string fromWide(PCWSTR text);    // NUL-terminated
std::string guidText(const GUID& guid);  // "{XXXXXXXX-...}" in upper case

}  // namespace sim
