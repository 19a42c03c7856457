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
// A global of a loaded image, from the image's symbol table: its name, size and where `address`
// lies in it.
struct DataObject {
    std::string name;  // "libVaVedu.so!g_MaxTransferSize"
    size_t size = 0;
    size_t offset = 0;
};
std::optional<DataObject> locateData(const void* address);
std::string hostBacktrace(int skipFrames);  // one frame a line, indented

// ---- bug checks (bugcheck.cpp)

std::string hex(uint64_t value);
std::string describeIrql(KIRQL irql);
std::string majorFunctionName(UCHAR major);
// A routine the platform documents for PASSIVE_LEVEL only: called at a raised IRQL it may touch
// pageable code or wait, and Driver Verifier stops the machine (0xC4, 0xE5).
void requirePassive(const char* routine, const void* caller);

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

// ---- Driver Verifier's codes (the platform's bug check pages list them)

// Parameter 1 of DRIVER_VERIFIER_DETECTED_VIOLATION (0xC4).
inline constexpr ULONG_PTR kVerifierRaiseIrqlInvalid = 0x30;
inline constexpr ULONG_PTR kVerifierLowerIrqlInvalid = 0x31;
inline constexpr ULONG_PTR kVerifierReleaseSpinLockIrql = 0x32;
inline constexpr ULONG_PTR kVerifierLeaveCriticalRegionNotIn = 0x3E;
inline constexpr ULONG_PTR kVerifierAcquireSpinLockAtDpcIrql = 0x40;
inline constexpr ULONG_PTR kVerifierReleaseSpinLockFromDpcIrql = 0x41;
inline constexpr ULONG_PTR kVerifierAcquireSpinLockIrql = 0x42;
inline constexpr ULONG_PTR kVerifierUnlockNeverLocked = 0x7C;
inline constexpr ULONG_PTR kVerifierSetEventIrql = 0x80;
inline constexpr ULONG_PTR kVerifierProbeMdlFlags = 0xB0;
inline constexpr ULONG_PTR kVerifierMapMdlFlags = 0xB2;
inline constexpr ULONG_PTR kVerifierMapMdlMissingFlags = 0xB3;
inline constexpr ULONG_PTR kVerifierDispatchApcDisableChanged = 0xC5;
inline constexpr ULONG_PTR kVerifierApiAtWrongIrql = 0xE5;
inline constexpr ULONG_PTR kVerifierCompletionIrqlChanged = 0xFA;
inline constexpr ULONG_PTR kVerifierCompletionApcDisableChanged = 0xFB;
inline constexpr ULONG_PTR kVerifierEnterCriticalRegionIrql = 0x11A;
inline constexpr ULONG_PTR kVerifierLeaveCriticalRegionIrql = 0x11B;
inline constexpr ULONG_PTR kVerifierWaitAboveDispatch = 0x120;
inline constexpr ULONG_PTR kVerifierWaitAtDispatchForever = 0x121;
inline constexpr ULONG_PTR kVerifierWaitAtDispatchWithTimeout = 0x122;

// Parameter 1 of DRIVER_VERIFIER_IOMANAGER_VIOLATION (0xC9): its bug check parameters, then the
// I/O verification error codes.
inline constexpr ULONG_PTR kIoVerifierInvalidDevice = 0x04;
inline constexpr ULONG_PTR kIoVerifierDispatchIrqlChanged = 0x05;
inline constexpr ULONG_PTR kIoVerifierCompletePendingStatus = 0x06;
inline constexpr ULONG_PTR kIoVerifierCompleteWithCancelRoutine = 0x07;
inline constexpr ULONG_PTR kIoVerifierCompleteAboveDispatch = 0x0E;
inline constexpr ULONG_PTR kIoVerifierCallAboveDispatch = 0x10;
inline constexpr ULONG_PTR kIoVerifierUnknown = 0x200;
inline constexpr ULONG_PTR kIoVerifierDeleteWhileAttached = 0x201;
inline constexpr ULONG_PTR kIoVerifierDetachUnattached = 0x202;
inline constexpr ULONG_PTR kIoVerifierCallWithCancelRoutine = 0x203;
inline constexpr ULONG_PTR kIoVerifierCallNullDevice = 0x204;
inline constexpr ULONG_PTR kIoVerifierCompleteQueuedBeneath = 0x209;
inline constexpr ULONG_PTR kIoVerifierFreeIrpInUse = 0x20B;
inline constexpr ULONG_PTR kIoVerifierFreeIrpQueuedToThread = 0x20C;
inline constexpr ULONG_PTR kIoVerifierNoDispatchRoutine = 0x21F;
inline constexpr ULONG_PTR kIoVerifierDispatchNeitherCompletedNorPending = 0x226;
inline constexpr ULONG_PTR kIoVerifierPendingNotMarked = 0x23D;
inline constexpr ULONG_PTR kIoVerifierMarkedNotPending = 0x23E;
inline constexpr ULONG_PTR kIoVerifierDeleteDeletedDevice = 0x240;

// Parameter 1 of the model's own checks, reported as DRIVER_VERIFIER_DETECTED_VIOLATION where the
// platform has no check (and no documented code) of its own: it would go on with corrupted
// memory, or use an object that is not what the routine takes. A range no platform code uses.
inline constexpr ULONG_PTR kModelCheckMemoryCorruption = 0x50001;  // a write beyond an object
inline constexpr ULONG_PTR kModelCheckInvalidObject = 0x50002;     // not the object, or freed
inline constexpr ULONG_PTR kModelCheckMisuse = 0x50003;  // a documented rule the platform trusts

// ---- threads and APCs (threads.cpp)

// What the model keeps of a thread: the APC state the platform keeps in its KTHREAD.
struct KernelThread {
    ULONG_PTR token = 0;
    std::atomic<int> criticalRegions{0};  // KernelApcDisable: normal kernel APCs held off
    std::atomic<int> guardedRegions{0};   // SpecialApcDisable: every kernel APC held off
    std::mutex apcMutex;
    std::deque<std::function<void()>> specialApcs;
    std::atomic<int> queuedSpecial{0};  // specialApcs.size(), read without the lock
    std::atomic<int> suspendCount{0};
    std::atomic<bool> parked{false};  // stopped in its suspend APC now
    std::atomic<volatile LONG*> waitingOn{nullptr};
    bool inApc = false;  // running an APC: no other is delivered inside it
};
KernelThread& thisThread();
// Runs what APCs the calling thread may take now (special ones at PASSIVE_LEVEL outside guarded
// regions; the suspension also outside critical regions). Returns how long it was suspended.
std::chrono::steady_clock::duration deliverApcs();
// Whether an APC waits that the thread could take now.
bool apcWaiting(KernelThread& thread);
// A wait's sleep: on `word` while it holds `expected`, until the deadline, an APC for the thread,
// or a short poll, whichever comes first.
void sleepForApcsOrWord(KernelThread& thread, volatile LONG* word, LONG expected,
                        std::optional<std::chrono::steady_clock::time_point> deadline);
// Queues a special kernel APC to a thread (by token); runs it at once when that thread is gone.
void queueSpecialApc(ULONG_PTR threadToken, std::function<void()> routine);
// At the end of a kernel: APCs still queued would finish requests of a kernel that is gone.
void discardQueuedApcs();

// ---- the kernel stack (kernel_stack.cpp)

// What a thread has used before any driver routine runs: the system service or DPC entry and
// the I/O manager's own frames above it (trap frame, NtDeviceIoControlFile or the DPC dispatcher).
inline constexpr uint32_t kEntryFrames = 0x1000;
// IofCallDriver with the dispatch routine it calls, IopfCompleteRequest with a completion
// routine, IoCancelIrp with a cancel routine: a few hundred bytes each on x64.
inline constexpr uint32_t kDispatchFrame = 0x200;
inline constexpr uint32_t kCompletionFrame = 0x200;
inline constexpr uint32_t kCancelFrame = 0x180;

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
    bool routineRunning = false;     // a completion routine runs on it now
    uint64_t completions = 0;        // IofCompleteRequest calls on it so far
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

    // what a blocking wait lets run first (Kernel::setWaitHook); under `mutex`
    std::shared_ptr<const std::function<bool()>> waitHook;

    // the most kernel stack any thread used (kernel_stack.cpp)
    std::atomic<uint32_t> kernelStackPeak{kEntryFrames};

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
    // The pool block `p` points into: its start and size (mutex held).
    std::optional<std::pair<const void*, size_t>> poolBlockContaining(const void* p) const;

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
