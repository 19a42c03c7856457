// The kernel model: the C++ side of libntoskrnl.so, for the parts of the model (bus driver, Plug
// and Play manager, application calls) and for tests. Kernel code never sees this header: it calls
// the platform routines declared in <wdm.h>, which the model implements on top of this object.
//
// One Kernel exists at a time; the routines exported to kernel code find it through
// Kernel::current(). Creating a second one while the first lives is a fatal error.
#pragma once

#include <wdm.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim {

class Registry;

// Every kind of allocation kernel code can see fail.
enum class AllocationKind : int {
    Pool,          // ExAllocatePool, ExAllocatePoolWithTag
    Irp,           // IoAllocateIrp, IoBuildDeviceIoControlRequest
    Mdl,           // IoAllocateMdl
    DeviceObject,  // IoCreateDevice
    UsbdRequest,   // USBD_CreateConfigurationRequestEx
};
inline constexpr int kAllocationKinds = 5;
const char* toString(AllocationKind kind);

// Where an allocation was asked for: the return address into the caller, and what the model
// could find out about it (image and symbol, offset).
// A site is identified by its image and offset there, so a site learnt in one run of a scenario
// still matches when the image is loaded again at another address; the model fills image, offset
// and where the first time it sees a caller.
struct AllocationSite {
    const void* caller = nullptr;
    AllocationKind kind = AllocationKind::Pool;
    std::string image;             // file name of the image the caller lies in ("libVaVedu.so")
    uintptr_t offset = 0;          // of the caller from the image's load address
    std::string where;             // "libVaVedu.so!StartDevice+0x4c"
    std::string describe() const;  // e.g. "libVaVedu.so!StartDevice+0x4c (pool)"
    bool operator==(const AllocationSite& other) const;
};

// The low-resource policy: decides, for each allocation kernel code asks for, whether it fails.
// One policy for every kind, so a scenario can be run once per site with that site failing.
class FaultPolicy {
  public:
    static FaultPolicy none();
    // The n-th allocation (1-based, counted from when the policy is set) fails; with a kind,
    // only allocations of that kind are counted.
    static FaultPolicy failNth(uint64_t n, std::optional<AllocationKind> kind = std::nullopt);
    // Every allocation from this site fails (or only the first `times` of them).
    static FaultPolicy failSite(AllocationSite site, uint64_t times = UINT64_MAX);
    // Each allocation fails with probability p, from a seeded generator (repeatable).
    static FaultPolicy random(double p, uint64_t seed,
                              std::optional<AllocationKind> kind = std::nullopt);

    // Decides for one allocation; called by the model with the kernel's lock held.
    bool shouldFail(const AllocationSite& site);

  private:
    struct State;
    std::shared_ptr<State> state_;
};

struct AllocationCounters {
    uint64_t allocated[kAllocationKinds] = {};    // successful allocations since the kernel started
    uint64_t failed[kAllocationKinds] = {};       // allocations the policy failed
    uint64_t outstanding[kAllocationKinds] = {};  // allocated and not yet freed
    uint64_t allocatedOf(AllocationKind k) const { return allocated[static_cast<int>(k)]; }
    uint64_t failedOf(AllocationKind k) const { return failed[static_cast<int>(k)]; }
    uint64_t outstandingOf(AllocationKind k) const { return outstanding[static_cast<int>(k)]; }
};

// Something kernel code allocated and has not given back.
struct Leak {
    AllocationKind kind;
    size_t size;         // bytes (pool) or 0
    POOL_TYPE poolType;  // pool only
    ULONG tag;           // pool only
    AllocationSite site;
    std::string describe() const;
};

struct KernelOptions {
    // A wait without time-out that has not ended after this long is a hang: bug check.
    std::chrono::milliseconds hangLimit{30000};
    // Copy every DbgPrint line to standard error as it is printed.
    bool echoDebugOutput = false;
    // The highest WDM version IoIsWdmVersionAvailable reports as available (1.0 and later by
    // default: 6.0 answers TRUE for every version up to 6.0).
    UCHAR wdmMajor = 6;
    UCHAR wdmMinor = 0;
};

// A registered device interface (IoRegisterDeviceInterface).
struct DeviceInterfaceRecord {
    GUID interfaceClass;
    std::u16string symbolicLink;  // "\??\..." as the platform names it
    PDEVICE_OBJECT pdo;
    bool enabled;
};

// Result of an application request: the final status and byte count.
struct IoResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

// An application request in flight, built by the I/O manager the way the platform builds it.
// Owned by the caller; destroying it waits for its completion (a request is never abandoned).
class UserRequest {
  public:
    virtual ~UserRequest() = default;
    virtual bool completed() const = 0;
    // Waits (with the hang watchdog) and returns the result; callable more than once.
    virtual IoResult wait() = 0;
    // Waits up to `timeout`; nullopt if the request is still pending then.
    virtual std::optional<IoResult> waitFor(std::chrono::milliseconds timeout) = 0;
    // IoCancelIrp on the request; returns what IoCancelIrp returned.
    virtual bool cancel() = 0;
};

enum class TransferMethod { Buffered, InDirect, OutDirect, Neither };

// A thread that runs kernel code (every host thread becomes one when it first calls the model),
// as tests name it to suspend it.
using ThreadId = ULONG_PTR;
ThreadId currentThreadId();

class Kernel {
  public:
    explicit Kernel(KernelOptions options = {});
    ~Kernel();  // reports (does not abort on) leaks; tests call checkClean() before
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    static Kernel& current();  // fatal error when there is none
    static Kernel* currentOrNull();

    const KernelOptions& options() const;
    void setHangLimit(std::chrono::milliseconds limit);
    void setWdmVersion(UCHAR major, UCHAR minor);

    // ---- allocations
    void setFaultPolicy(FaultPolicy policy);
    // Called by every allocating routine of the model (also by libusbd.so): true means fail it.
    // Records the site, counts the failure.
    bool injectFailure(AllocationKind kind, const void* caller);
    AllocationCounters counters() const;
    // Every distinct site that asked for an allocation since the last reset, in first-seen order.
    std::vector<AllocationSite> sitesReached() const;
    void resetSitesReached();
    std::vector<Leak> leaks() const;
    std::string leakReport() const;  // one line per leak; empty when clean
    // The end-of-test check: no pool block, IRP, MDL or device object left, no spin lock held,
    // no IRQL above PASSIVE_LEVEL on this thread. Returns the findings; empty when clean.
    std::string checkClean() const;

    // Tracked allocation for the model's own kernel-side parts that allocate on behalf of
    // kernel code (libusbd.so's configuration request). Goes through the fault policy.
    void* allocatePool(POOL_TYPE type, size_t bytes, ULONG tag, AllocationKind kind,
                       const void* caller);

    // ---- debug output (DbgPrint)
    std::vector<std::string> debugOutput() const;  // every line printed, in order, without "\n"
    void clearDebugOutput();
    void setEchoDebugOutput(bool echo);
    // Called with each line as it is printed (from any thread); the tool's --log uses it.
    void onDebugLine(std::function<void(std::string_view)> sink);

    // ---- registry
    Registry& registry();

    // ---- threads
    // SuspendThread: a normal kernel APC that stops the thread at the next point where it runs
    // at PASSIVE_LEVEL outside a critical or guarded region (typically a wait), until resumed.
    void suspendThread(ThreadId thread);
    void resumeThread(ThreadId thread);
    // Waits until the thread has stopped in its suspension; false on time-out.
    bool waitUntilSuspended(ThreadId thread, std::chrono::milliseconds timeout);
    // What other processors do while a thread waits, for a test that runs everything on one
    // thread (a stepped host controller): a thread about to block in a wait whose event is not
    // signalled calls the hook first, and looks at the event again when the hook returns true
    // (it did some work). The hook does not run again on a thread it is already running on.
    void setWaitHook(std::function<bool()> hook);

    // ---- driver and device objects
    // A driver object as the I/O manager makes one before calling the image's entry point:
    // DriverName "\Driver\<name>", DriverExtension with ServiceKeyName, every MajorFunction
    // entry the default routine that fails with STATUS_INVALID_DEVICE_REQUEST.
    PDRIVER_OBJECT createDriverObject(std::u16string_view name, std::u16string_view serviceKey);
    // Frees the driver object; every device object of it must be gone (bug check otherwise).
    void deleteDriverObject(PDRIVER_OBJECT driver);
    // Marks a device object as a physical device object enumerated by a bus (sets
    // DO_BUS_ENUMERATED_DEVICE), with its device instance path (e.g. "USB\VID_1209&PID_0001\1").
    // Only such objects take IoRegisterDeviceInterface.
    void markPhysicalDeviceObject(PDEVICE_OBJECT pdo, std::u16string_view instancePath);
    // From now on IoAttachDeviceToDeviceStack onto the stack of `device` returns null, as it does
    // on the platform for a stack that is being torn down.
    void refuseAttachTo(PDEVICE_OBJECT device);
    // The device object at the top of the stack that contains `device`.
    PDEVICE_OBJECT topOfStack(PDEVICE_OBJECT device) const;
    // True while the device object exists (not deleted, or deleted but still referenced).
    bool deviceObjectExists(PDEVICE_OBJECT device) const;
    bool deviceObjectDeleted(PDEVICE_OBJECT device) const;  // IoDeleteDevice was called

    // ---- device interfaces
    std::vector<DeviceInterfaceRecord> deviceInterfaces(const GUID& interfaceClass,
                                                        bool enabledOnly = true) const;
    // Every IoInvalidateDeviceRelations call so far, in order.
    std::vector<std::pair<PDEVICE_OBJECT, DEVICE_RELATION_TYPE>> invalidatedDeviceRelations() const;

    // ---- the application side of the I/O manager
    // Opens `fileName` (the part after the device path; may be empty) on the stack of `device`:
    // a new file object, IRP_MJ_CREATE sent to the top of the stack and waited for. The file name
    // reaches the driver with exactly its length in a buffer of exactly that length (no NUL).
    NTSTATUS createFile(PDEVICE_OBJECT device, std::u16string_view fileName, PFILE_OBJECT* file);
    // IRP_MJ_CLEANUP then IRP_MJ_CLOSE; the file object is gone afterwards. Returns the
    // cleanup's status (a driver without a cleanup routine fails it; the close still follows).
    NTSTATUS closeFile(PFILE_OBJECT file);
    // Reads and writes as the platform builds them for the device's flags (direct I/O: an MDL
    // over the caller's buffer, none for length 0; buffered I/O: a system buffer).
    std::unique_ptr<UserRequest> read(PFILE_OBJECT file, void* buffer, ULONG length);
    std::unique_ptr<UserRequest> write(PFILE_OBJECT file, const void* buffer, ULONG length);
    // Device I/O control with the transfer method taken from the code; `internal` sends
    // IRP_MJ_INTERNAL_DEVICE_CONTROL instead of IRP_MJ_DEVICE_CONTROL.
    std::unique_ptr<UserRequest> deviceIoControl(PFILE_OBJECT file, ULONG code, const void* input,
                                                 ULONG inputLength, void* output,
                                                 ULONG outputLength, bool internal = false);

    // A request of the model itself (the Plug and Play or power manager's), sent to `device`
    // (usually the top of its stack) from the calling thread at PASSIVE_LEVEL. Built like an
    // application request, outside the fault policy and the counters, with IoStatus.Status
    // STATUS_NOT_SUPPORTED; `prepare` fills the stack location the device sees (MajorFunction,
    // MinorFunction, Parameters; IRP_MJ_PNP unless it says otherwise) and may set IoStatus.
    std::unique_ptr<UserRequest> systemRequest(
        PDEVICE_OBJECT device, const std::function<void(PIRP, PIO_STACK_LOCATION)>& prepare);

    struct Impl;
    Impl& impl() { return *impl_; }

  private:
    std::unique_ptr<Impl> impl_;
};

// Irp->Cancel as the model reads and writes it. On the platform it is a flag that IoCancelIrp sets
// under the cancel spin lock and others test without it, ordered by the interlocked exchange of
// the cancel routine that follows the set and precedes the test; the model accesses it
// atomically.
inline std::atomic_ref<BOOLEAN> cancelFlag(PIRP irp) {
    return std::atomic_ref<BOOLEAN>(irp->Cancel);
}

// Bug check for the model's own consistency checks: prints "*** STOP" with the code, the four
// parameters, the reason and a host backtrace, then aborts the process.
[[noreturn]] void bugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                           std::string_view reason);

// The kernel stack of the calling thread. A thread of the platform has 24 KiB of kernel stack on
// x64 (KERNEL_STACK_SIZE); kernel code that nests on it without bound (a completion routine that
// sends the next request, whose completion runs inline and sends the next...) overflows it, and
// the platform stops with UNEXPECTED_KERNEL_MODE_TRAP (double fault). The model cannot measure
// the platform's frames on a host stack, so it charges each frame kernel code nests on a thread
// with the size such a frame has on the platform: the I/O manager charges every dispatch,
// completion and cancel routine it calls, the USB bus its own path, and each thread starts with
// the frames of its entry (system service or DPC) already charged. Going past the limit is a
// bug check that names the nested routines.
class KernelStackFrame {
  public:
    KernelStackFrame(uint32_t bytes, const void* routine, const char* what);
    ~KernelStackFrame();
    KernelStackFrame(const KernelStackFrame&) = delete;
    KernelStackFrame& operator=(const KernelStackFrame&) = delete;
};
inline constexpr uint32_t kKernelStackSize = 0x6000;  // 24 KiB, x64
// Bytes charged on the calling thread now, its entry frames included.
uint32_t kernelStackInUse();
// The most any thread used since the kernel started or the last reset.
uint32_t kernelStackPeak();
void resetKernelStackPeak();

// How failed end-of-test checks (leaks, held locks) are reported: by default printed to standard
// error followed by abort(); the test support library installs a reporter that fails the current
// GoogleTest test instead.
void setCheckFailureReporter(std::function<void(std::string_view findings)> reporter);
void reportCheckFailure(std::string_view findings);

// Every host thread is a processor of the model with its own IRQL, starting at PASSIVE_LEVEL;
// KfRaiseIrql and KeLowerIrql change it. Threads the model starts (host-controller completion
// threads) raise their own IRQL before they complete requests.

// The in-memory registry: keys by full path ("\Registry\Machine\System\...", case-insensitive),
// typed values.
class Registry {
  public:
    struct Value {
        ULONG type = REG_NONE;
        std::vector<uint8_t> data;
    };
    void setValue(std::u16string_view keyPath, std::u16string_view name, ULONG type,
                  std::vector<uint8_t> data);
    void setDword(std::u16string_view keyPath, std::u16string_view name, ULONG value);
    void setString(std::u16string_view keyPath, std::u16string_view name,
                   std::u16string_view value);
    void createKey(std::u16string_view keyPath);
    void deleteKey(std::u16string_view keyPath);  // with its subkeys
    void deleteValue(std::u16string_view keyPath, std::u16string_view name);
    bool keyExists(std::u16string_view keyPath) const;
    std::optional<Value> value(std::u16string_view keyPath, std::u16string_view name) const;

    struct Impl;
    Registry();
    ~Registry();

  private:
    std::unique_ptr<Impl> impl_;
};

// Text helpers for tests and the model.
std::u16string toU16(std::string_view utf8);
std::string toUtf8(std::u16string_view text);
std::string statusName(NTSTATUS status);  // "STATUS_INVALID_PARAMETER", or "0xC00000xx"

}  // namespace sim
