// IRPs: allocation with the stack locations directly behind the IRP, IofCallDriver,
// IofCompleteRequest with the platform's completion walk, the I/O manager's final completion of
// the requests it built, IoBuildDeviceIoControlRequest and cancel.
#include "sim/kernel/internal.hpp"

#include <cstdlib>
#include <new>

namespace sim {

namespace {

constexpr CSHORT kIoTypeIrp = 6;
constexpr size_t kShadowBytes = (sizeof(IrpShadow) + 15) & ~size_t{15};

PIO_STACK_LOCATION locationAt(PIRP irp, int index) {
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (index - 1);
}

std::string irpText(PIRP irp) {
    return "IRP " + hex(reinterpret_cast<ULONG_PTR>(irp));
}

std::string deviceText(PDEVICE_OBJECT device) {
    std::string out = "device " + hex(reinterpret_cast<ULONG_PTR>(device));
    if (device && device->DriverObject && device->DriverObject->DriverName.Buffer)
        out +=
            " of " + toUtf8(std::u16string_view(
                         reinterpret_cast<const char16_t*>(device->DriverObject->DriverName.Buffer),
                         device->DriverObject->DriverName.Length / sizeof(WCHAR)));
    return out;
}

void initializeIrpMemory(PIRP irp, USHORT packetSize, CCHAR stackSize) {
    memset(irp, 0, packetSize);
    irp->Type = kIoTypeIrp;
    irp->Size = packetSize;
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->ThreadListEntry.Flink = irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
    irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
}

void resetTracking(IrpShadow* s) {
    s->state = IrpState::Idle;
    for (int i = 0; i < 2; ++i)
        s->walked[i] = s->pendingSeen[i] = s->owesPendingMark[i] = 0;
    s->completingThread = 0;
    s->nestedCompletion = false;
    s->routineRunning = false;
}

// Looks up a live IRP for `routine`; bug check when it is not one.
IrpShadow* liveIrp(Kernel::Impl& impl, std::unique_lock<std::mutex>& lock, PIRP irp,
                   const char* routine, const void* caller, ULONG code) {
    IrpShadow* s = impl.findIrp(irp);
    if (s)
        return s;
    bool freed = impl.wasFreedRecently(irp) || impl.irps.count(irp);
    lock.unlock();
    bugCheck(code, reinterpret_cast<ULONG_PTR>(irp), 0, 0, 0,
             std::string(routine) + " by " + describeCode(caller) + " on " + irpText(irp) +
                 (freed ? ", which was already freed (completed and given back)"
                        : ", which is not an IRP allocated by the I/O manager"));
}

void unpin(Kernel::Impl& impl, IrpShadow* s) {
    std::lock_guard lock(impl.mutex);
    if (--s->pins == 0 && s->freed)
        impl.freeIrpMemory(s);
}

}  // namespace

PIRP Kernel::Impl::allocateIrp(CCHAR stackSize, IrpOrigin origin, const void* caller,
                               bool counted) {
    if (stackSize < 1)
        bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kModelCheckMisuse,
                 static_cast<ULONG_PTR>(stackSize), 0, 0,
                 "IRP with " + std::to_string(stackSize) + " stack locations asked for by " +
                     describeCode(caller));
    if (counted) {
        std::lock_guard lock(mutex);
        if (decideFailure(AllocationKind::Irp, caller))
            return nullptr;
    }
    USHORT irpBytes = IoSizeOfIrp(stackSize);
    void* memory = calloc(1, kShadowBytes + irpBytes);
    if (!memory)
        return nullptr;
    auto* shadow = new (memory) IrpShadow;
    auto irp = reinterpret_cast<PIRP>(static_cast<char*>(memory) + kShadowBytes);
    initializeIrpMemory(irp, irpBytes, stackSize);
    shadow->irp = irp;
    shadow->origin = origin;
    shadow->counted = counted;
    std::lock_guard lock(mutex);
    shadow->site = &siteFor(AllocationKind::Irp, caller);
    shadow->serial = nextIrpSerial++;
    irps[irp] = shadow;
    noteAllocated(AllocationKind::Irp, counted);
    return irp;
}

void Kernel::Impl::freeIrpMemory(IrpShadow* s) {
    if (!s->freed) {
        s->freed = true;
        noteFreed(AllocationKind::Irp, s->counted);
    }
    if (s->pins > 0)
        return;  // released by the last unpin
    PIRP irp = s->irp;
    irps.erase(irp);
    if (s->origin == IrpOrigin::External) {
        delete s;
        return;
    }
    s->~IrpShadow();
    memset(irp, 0xDD, sizeof(IRP));
    retire(irp, s);
}

// The dispatch routine of stack location `index` returned `status`: a routine that returns
// STATUS_PENDING must have marked the IRP pending, and one that marked it must return
// STATUS_PENDING. When the request has not been completed through that location yet, the mark
// may still come from below (propagation) or from a completion routine: checked when the
// completion walk reaches it.
static void checkDispatchResult(Kernel::Impl& impl, IrpShadow* s, int index, uint32_t send,
                                NTSTATUS status, PDEVICE_OBJECT device, PDRIVER_DISPATCH routine,
                                UCHAR major) {
    std::unique_lock lock(impl.mutex);
    // Sent to this location again since this dispatch began: another thread completed it past
    // here and a completion routine passed it down once more, so what the location shows now
    // belongs to that later send, not to this dispatch routine.
    if (s->sendsAt[index] != send)
        return;
    bool walked = IrpShadow::bit(s->walked, index);
    bool marked = walked ? IrpShadow::bit(s->pendingSeen, index)
                         : (locationAt(s->irp, index)->Control & SL_PENDING_RETURNED) != 0;
    if (status == STATUS_PENDING && !marked) {
        if (!walked) {
            IrpShadow::setBit(s->owesPendingMark, index, true);
            return;
        }
        lock.unlock();
        bugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, kIoVerifierPendingNotMarked,
                 reinterpret_cast<ULONG_PTR>(s->irp), reinterpret_cast<ULONG_PTR>(routine), 0,
                 "the " + majorFunctionName(major) + " dispatch routine " +
                     describeCode(reinterpret_cast<const void*>(routine)) + " of " +
                     deviceText(device) + " returned STATUS_PENDING without marking " +
                     irpText(s->irp) + " pending (IoMarkIrpPending)");
    }
    if (status != STATUS_PENDING && marked) {
        lock.unlock();
        bugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, kIoVerifierMarkedNotPending,
                 reinterpret_cast<ULONG_PTR>(s->irp), reinterpret_cast<ULONG_PTR>(routine),
                 static_cast<ULONG_PTR>(status),
                 "the " + majorFunctionName(major) + " dispatch routine " +
                     describeCode(reinterpret_cast<const void*>(routine)) + " of " +
                     deviceText(device) + " returned " + statusName(status) + " for " +
                     irpText(s->irp) +
                     " although the IRP was marked pending at its stack location (a routine that "
                     "marks an IRP pending must return STATUS_PENDING)");
    }
}

// A routine of a driver must return at the IRQL and with the APC disable count it was called
// with: Driver Verifier's checks around dispatch and completion routines.
struct ThreadStateAround {
    KIRQL irql = currentIrql();
    int criticalRegions = thisThread().criticalRegions.load();
};

static void checkDispatchKeptState(const ThreadStateAround& before, PDEVICE_OBJECT device,
                                   PDRIVER_DISPATCH routine) {
    const void* code = reinterpret_cast<const void*>(routine);
    if (currentIrql() != before.irql)
        bugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, kIoVerifierDispatchIrqlChanged,
                 reinterpret_cast<ULONG_PTR>(device), before.irql, currentIrql(),
                 "the dispatch routine " + describeCode(code) + " was called at " +
                     describeIrql(before.irql) + " and returned at " + describeIrql(currentIrql()));
    if (int now = thisThread().criticalRegions.load(); now != before.criticalRegions)
        bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kVerifierDispatchApcDisableChanged,
                 reinterpret_cast<ULONG_PTR>(routine), static_cast<ULONG_PTR>(-now),
                 static_cast<ULONG_PTR>(-before.criticalRegions),
                 "the dispatch routine " + describeCode(code) +
                     " changed the thread's APC disable count (a critical region or kernel mutex "
                     "entered and not left, or the reverse)");
}

static void checkCompletionKeptState(const ThreadStateAround& before,
                                     PIO_COMPLETION_ROUTINE routine) {
    const void* code = reinterpret_cast<const void*>(routine);
    if (currentIrql() != before.irql)
        bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kVerifierCompletionIrqlChanged,
                 reinterpret_cast<ULONG_PTR>(routine), before.irql, currentIrql(),
                 "the completion routine " + describeCode(code) + " was called at " +
                     describeIrql(before.irql) + " and returned at " + describeIrql(currentIrql()));
    if (int now = thisThread().criticalRegions.load(); now != before.criticalRegions)
        bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kVerifierCompletionApcDisableChanged,
                 reinterpret_cast<ULONG_PTR>(routine), static_cast<ULONG_PTR>(-now),
                 static_cast<ULONG_PTR>(-before.criticalRegions),
                 "the completion routine " + describeCode(code) +
                     " changed the thread's APC disable count");
}

NTSTATUS callDriver(PDEVICE_OBJECT device, PIRP irp, const void* caller, const char* routineName) {
    KIRQL irql = currentIrql();
    if (irql > DISPATCH_LEVEL)
        bugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, kIoVerifierCallAboveDispatch, irql, 0, 0,
                 std::string(routineName) + " at " + describeIrql(irql) +
                     " (above DISPATCH_LEVEL) by " + describeCode(caller));
    Kernel::Impl& impl = kernelImpl();
    std::unique_lock lock(impl.mutex);
    IrpShadow* s =
        liveIrp(impl, lock, irp, routineName, caller, DRIVER_VERIFIER_IOMANAGER_VIOLATION);
    if (!device || !impl.devices.count(device)) {
        lock.unlock();
        bugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                 device ? kIoVerifierInvalidDevice : kIoVerifierCallNullDevice,
                 reinterpret_cast<ULONG_PTR>(device), reinterpret_cast<ULONG_PTR>(irp), 0,
                 std::string(routineName) + " by " + describeCode(caller) + " to " +
                     hex(reinterpret_cast<ULONG_PTR>(device)) + ", which is not a device object");
    }
    if (irp->CurrentLocation <= 1) {
        lock.unlock();
        bugCheck(NO_MORE_IRP_STACK_LOCATIONS, reinterpret_cast<ULONG_PTR>(irp), 0, 0, 0,
                 std::string(routineName) + " by " + describeCode(caller) + " to " +
                     deviceText(device) + ": " + irpText(irp) + " has no stack location left (" +
                     std::to_string(irp->StackCount) +
                     " in all); the sender allocated fewer locations than the stack below needs");
    }
    IoSetNextIrpStackLocation(irp);
    // CurrentLocation is a CCHAR; the check above keeps it between 1 and StackCount.
    int index = static_cast<unsigned char>(irp->CurrentLocation);
    IrpShadow::setBit(s->walked, index, false);
    IrpShadow::setBit(s->pendingSeen, index, false);
    IrpShadow::setBit(s->owesPendingMark, index, false);
    // Sent (again) to a driver: a completion routine that passes the IRP on hands it to the
    // lower driver, which may complete it on any thread before that routine has returned.
    s->state = IrpState::Dispatched;
    ++s->sends;
    const uint32_t send = ++s->sendsAt[index];
    ++s->pins;
    lock.unlock();

    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    location->DeviceObject = device;
    UCHAR major = location->MajorFunction;
    PDRIVER_OBJECT driver = device->DriverObject;
    PDRIVER_DISPATCH routine =
        (driver && major <= IRP_MJ_MAXIMUM_FUNCTION) ? driver->MajorFunction[major] : nullptr;
    if (!routine)
        bugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, kIoVerifierNoDispatchRoutine,
                 reinterpret_cast<ULONG_PTR>(device), major, 0,
                 std::string(routineName) + " by " + describeCode(caller) + ": " +
                     deviceText(device) + " has no dispatch routine for " +
                     majorFunctionName(major));
    NTSTATUS status;
    {
        ThreadStateAround before;
        KernelStackFrame frame(kDispatchFrame, reinterpret_cast<const void*>(routine), routineName);
        status = routine(device, irp);
        checkDispatchKeptState(before, device, routine);
    }
    checkDispatchResult(impl, s, index, send, status, device, routine, major);
    unpin(impl, s);
    // A thread running at PASSIVE_LEVEL takes an APC queued to it as soon as it runs (the model
    // has no interrupt for it, so it delivers whenever the thread leaves the I/O manager).
    if (currentIrql() == PASSIVE_LEVEL)
        deliverApcs();
    return status;
}

// Clears what a stack location held once the completion walk has passed it.
static void clearLocation(PIO_STACK_LOCATION location) {
    location->MinorFunction = 0;
    location->Flags = 0;
    location->Control &= SL_ERROR_RETURNED;
    location->Parameters.Others.Argument1 = nullptr;
    location->Parameters.Others.Argument2 = nullptr;
    location->Parameters.Others.Argument3 = nullptr;
    location->Parameters.Others.Argument4 = nullptr;
    location->FileObject = nullptr;
}

static void freeMdlChain(Kernel::Impl& impl, PIRP irp) {
    for (PMDL mdl = irp->MdlAddress; mdl;) {
        PMDL next = mdl->Next;
        impl.freeMdl(mdl);
        mdl = next;
    }
    irp->MdlAddress = nullptr;
}

// The I/O manager's part once a request it built has been completed by every driver: copy
// buffered output back (only into an output buffer the caller gave, and only on success), free
// the system buffer and the MDLs, and, when `report` says so, write the status block and signal
// the event; then free the IRP.
static void finishRequest(Kernel::Impl& impl, IrpShadow* s, bool report) {
    PIRP irp = s->irp;
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;
    if (s->copyBack && !NT_ERROR(status)) {
        if (s->checkInformation && information > s->informationLimit)
            bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kModelCheckMemoryCorruption,
                     reinterpret_cast<ULONG_PTR>(irp), information, s->informationLimit,
                     irpText(irp) + " completed with " + statusName(status) + " and Information " +
                         std::to_string(information) + ", more than the " +
                         std::to_string(s->informationLimit) +
                         " bytes of output the caller gave: the I/O manager copies Information "
                         "bytes into the caller's output buffer and would write past its end");
        if (s->copyBackTo && information)
            memcpy(s->copyBackTo, s->systemBuffer, information);
    }
    if (s->systemBuffer) {
        impl.poolFree(s->systemBuffer, std::nullopt, __builtin_return_address(0));
        s->systemBuffer = nullptr;
    }
    freeMdlChain(impl, irp);
    if (report && irp->UserIosb) {
        irp->UserIosb->Status = status;
        irp->UserIosb->Information = information;
    }
    PKEVENT event = report ? irp->UserEvent : nullptr;
    {
        std::lock_guard lock(impl.mutex);
        impl.freeIrpMemory(s);  // kept until the caller's pin goes
    }
    if (event)
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

// A request from IoBuildDeviceIoControlRequest is finished by a special kernel APC of the thread
// that built it. Its status block and event are set only when the request succeeded or had
// been pended: a request that fails at once reports its status as IofCallDriver's result alone,
// and a caller that waits for the event then waits for ever.
static void finishThreadedRequest(Kernel::Impl& impl, IrpShadow* s) {
    PIRP irp = s->irp;
    if (s->origin != IrpOrigin::Threaded) {
        finishRequest(impl, s, true);
        return;
    }
    bool report = !NT_ERROR(irp->IoStatus.Status) || irp->PendingReturned;
    queueSpecialApc(reinterpret_cast<ULONG_PTR>(irp->Tail.Overlay.Thread),
                    [&impl, s, report] { finishRequest(impl, s, report); });
}

static void recordWalk(Kernel::Impl& impl, IrpShadow* s, int index, PIO_STACK_LOCATION location) {
    std::unique_lock lock(impl.mutex);
    bool pending = (location->Control & SL_PENDING_RETURNED) != 0;
    IrpShadow::setBit(s->walked, index, true);
    IrpShadow::setBit(s->pendingSeen, index, pending);
    if (IrpShadow::bit(s->owesPendingMark, index) && !pending) {
        lock.unlock();
        bugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, kIoVerifierPendingNotMarked,
                 reinterpret_cast<ULONG_PTR>(s->irp), 0, 0,
                 "the dispatch routine of " + deviceText(location->DeviceObject) +
                     " returned STATUS_PENDING for " + irpText(s->irp) +
                     " without marking it pending (IoMarkIrpPending), and no completion routine "
                     "propagated the pending state to its stack location");
    }
    IrpShadow::setBit(s->owesPendingMark, index, false);
}

// Calls the completion routine of the location the walk has reached. False when it stopped the
// walk (STATUS_MORE_PROCESSING_REQUIRED): the IRP belongs to that driver again.
static bool callCompletionRoutine(Kernel::Impl& impl, IrpShadow* s, PIO_COMPLETION_ROUTINE routine,
                                  PVOID context) {
    PIRP irp = s->irp;
    PDEVICE_OBJECT device = irp->CurrentLocation == irp->StackCount + 1
                                ? nullptr
                                : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
    ULONG_PTR outerThread;
    bool outerNested;
    bool outerRunning;
    uint64_t sendsBefore;
    uint64_t completionsBefore;
    {
        std::lock_guard g(impl.mutex);
        sendsBefore = s->sends;
        completionsBefore = s->completions;
        outerThread = s->completingThread;
        outerNested = s->nestedCompletion;
        outerRunning = s->routineRunning;
        s->completingThread = threadToken();
        s->nestedCompletion = false;
        s->routineRunning = true;
    }
    NTSTATUS result;
    {
        ThreadStateAround before;
        KernelStackFrame frame(kCompletionFrame, reinterpret_cast<const void*>(routine),
                               "completion routine");
        result = routine(device, irp, context);
        checkCompletionKeptState(before, routine);
    }
    bool completedInside;
    bool handedOn;
    {
        std::lock_guard g(impl.mutex);
        // Sent on, or completed again by the routine or by another thread meanwhile: from then on
        // the IRP is another driver's (or done), so this walk's bookkeeping must not touch it.
        completedInside = s->completions != completionsBefore;
        handedOn = s->sends != sendsBefore || s->state != IrpState::Completing || completedInside;
        if (!completedInside)
            s->routineRunning = outerRunning;
        if (!handedOn) {
            s->completingThread = outerThread;
            s->nestedCompletion = outerNested;
            if (result == STATUS_MORE_PROCESSING_REQUIRED && !completedInside)
                s->state = IrpState::Stopped;
        }
    }
    if (result == STATUS_MORE_PROCESSING_REQUIRED)
        return false;
    if (completedInside || handedOn)
        bugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS, reinterpret_cast<ULONG_PTR>(irp), 0, 0, 0,
                 "the completion routine " + describeCode(reinterpret_cast<const void*>(routine)) +
                     (completedInside ? " completed " : " sent on ") + irpText(irp) +
                     " again and then returned " + statusName(result) +
                     " instead of STATUS_MORE_PROCESSING_REQUIRED (completed twice)");
    return true;
}

// The completion walk: each location from the current one up, its completion routine called
// when its invoke flags say so. False when a routine stopped the walk.
static bool walkCompletionRoutines(Kernel::Impl& impl, IrpShadow* s) {
    PIRP irp = s->irp;
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    IoSkipCurrentIrpStackLocation(irp);
    for (; irp->CurrentLocation <= irp->StackCount + 1; ++location) {
        recordWalk(impl, s, irp->CurrentLocation - 1, location);
        irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0;
        NTSTATUS status = irp->IoStatus.Status;
        bool invoke = (NT_SUCCESS(status) && (location->Control & SL_INVOKE_ON_SUCCESS)) ||
                      (!NT_SUCCESS(status) && (location->Control & SL_INVOKE_ON_ERROR)) ||
                      (cancelFlag(irp).load() && (location->Control & SL_INVOKE_ON_CANCEL));
        PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
        PVOID context = location->Context;
        clearLocation(location);
        // Invoke flags without a routine call nothing, as on the platform.
        if (invoke && routine) {
            if (!callCompletionRoutine(impl, s, routine, context))
                return false;
        } else if (irp->CurrentLocation <= irp->StackCount && irp->PendingReturned) {
            IoMarkIrpPending(irp);
        }
        IoSkipCurrentIrpStackLocation(irp);
    }
    return true;
}

// The checks IofCompleteRequest makes before it walks: not completed twice, at a location, no
// cancel routine, a final status. Returns the IRP's shadow, pinned and marked as completing.
static IrpShadow* startCompletion(Kernel::Impl& impl, PIRP irp, const void* caller) {
    std::unique_lock lock(impl.mutex);
    IrpShadow* s =
        liveIrp(impl, lock, irp, "IofCompleteRequest", caller, MULTIPLE_IRP_COMPLETE_REQUESTS);
    auto fail = [&](ULONG code, ULONG_PTR p1, ULONG_PTR p2, const std::string& why) {
        lock.unlock();
        bugCheck(
            code, p1, p2, 0, 0,
            "IofCompleteRequest by " + describeCode(caller) + " on " + irpText(irp) + ": " + why);
    };
    const auto irpValue = reinterpret_cast<ULONG_PTR>(irp);
    if (s->state == IrpState::Completing) {
        // A completion routine may hand the IRP to another thread (signal it) and then return
        // STATUS_MORE_PROCESSING_REQUIRED; that thread may complete it before the routine has
        // returned. Whether that was a double completion is known only when the routine returns.
        if (s->completingThread == threadToken())
            s->nestedCompletion = true;
        else if (!s->routineRunning)
            fail(MULTIPLE_IRP_COMPLETE_REQUESTS, irpValue, irpValue,
                 "the IRP is already being completed (completed twice)");
    }
    ++s->completions;
    if (s->state == IrpState::Done)
        fail(MULTIPLE_IRP_COMPLETE_REQUESTS, irpValue, irpValue,
             "the IRP was already completed (completed twice)");
    // One past the last location is still allowed for a request the I/O manager built: never
    // sent, or stopped by its top completion routine, it goes straight to the final step. A
    // driver's own IRP there has no final step: its owner completes it a second time.
    bool atTop = irp->CurrentLocation == irp->StackCount + 1;
    bool driversOwn = s->origin == IrpOrigin::Driver || s->origin == IrpOrigin::External;
    if (irp->CurrentLocation > irp->StackCount + 1 || (atTop && driversOwn))
        fail(MULTIPLE_IRP_COMPLETE_REQUESTS, irpValue, irpValue,
             s->state == IrpState::Idle
                 ? "the IRP was never sent to a driver"
                 : "the IRP is not at any driver's stack location (completed twice, or completed "
                   "by its owner after its completion routine returned "
                   "STATUS_MORE_PROCESSING_REQUIRED)");
    // Read as the platform's interlocked exchanges write it: IoCancelIrp on another processor
    // may be exchanging it (finding it empty) while the owner completes the IRP.
    auto& cancelRoutine = const_cast<PDRIVER_CANCEL&>(irp->CancelRoutine);
    if (auto cancel = std::atomic_ref<PDRIVER_CANCEL>(cancelRoutine).load())
        fail(DRIVER_VERIFIER_IOMANAGER_VIOLATION, kIoVerifierCompleteWithCancelRoutine,
             reinterpret_cast<ULONG_PTR>(cancel),
             "its cancel routine " + describeCode(reinterpret_cast<const void*>(cancel)) +
                 " is still set (clear it with IoSetCancelRoutine(Irp, NULL) first)");
    if (irp->IoStatus.Status == STATUS_PENDING)
        fail(DRIVER_VERIFIER_IOMANAGER_VIOLATION, kIoVerifierCompletePendingStatus,
             static_cast<ULONG_PTR>(irp->IoStatus.Status),
             "IoStatus.Status is STATUS_PENDING, which is not a final status");
    s->state = IrpState::Completing;
    ++s->pins;
    return s;
}

void completeRequest(PIRP irp, const void* caller) {
    KIRQL irql = currentIrql();
    if (irql > DISPATCH_LEVEL)
        bugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, kIoVerifierCompleteAboveDispatch, irql,
                 reinterpret_cast<ULONG_PTR>(irp), 0,
                 "IofCompleteRequest at " + describeIrql(irql) + " (above DISPATCH_LEVEL) by " +
                     describeCode(caller));
    Kernel::Impl& impl = kernelImpl();
    IrpShadow* s = startCompletion(impl, irp, caller);
    if (!walkCompletionRoutines(impl, s)) {
        unpin(impl, s);
        return;
    }
    {
        std::lock_guard g(impl.mutex);
        s->state = IrpState::Done;
    }
    if (s->origin == IrpOrigin::Driver || s->origin == IrpOrigin::External)
        bugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, kIoVerifierUnknown,
                 reinterpret_cast<ULONG_PTR>(irp), 0, 0,
                 irpText(irp) + " allocated by " + s->site->where +
                     " was completed to the top of its stack (last completion by " +
                     describeCode(caller) +
                     "): the completion routine of a driver's own IRP must return "
                     "STATUS_MORE_PROCESSING_REQUIRED, and the driver frees it");
    finishThreadedRequest(impl, s);
    unpin(impl, s);
}

}  // namespace sim

using namespace sim;

NTSTATUS NTAPI sim::defaultDispatch(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

extern "C" PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
    const void* caller = __builtin_return_address(0);
    if (currentIrql() > DISPATCH_LEVEL)
        bugCheck(IRQL_NOT_LESS_OR_EQUAL, currentIrql(), 0, 0, 0,
                 "IoAllocateIrp above DISPATCH_LEVEL by " + describeCode(caller));
    return kernelImpl().allocateIrp(StackSize, IrpOrigin::Driver, caller, true);
}

extern "C" VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    const void* caller = __builtin_return_address(0);
    if (!Irp || StackSize < 1 || PacketSize < IoSizeOfIrp(StackSize))
        bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kModelCheckMemoryCorruption,
                 reinterpret_cast<ULONG_PTR>(Irp), PacketSize, static_cast<ULONG_PTR>(StackSize),
                 "IoInitializeIrp by " + describeCode(caller) + " with a packet of " +
                     std::to_string(PacketSize) + " bytes for " + std::to_string(StackSize) +
                     " stack locations (needs " + std::to_string(IoSizeOfIrp(StackSize)) + ")");
    Kernel::Impl& impl = kernelImpl();
    std::unique_lock lock(impl.mutex);
    auto it = impl.irps.find(Irp);
    IrpShadow* s;
    if (it != impl.irps.end() && !it->second->freed) {
        s = it->second;
        if (s->state == IrpState::Dispatched || s->state == IrpState::Completing) {
            lock.unlock();
            bugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, kIoVerifierUnknown,
                     reinterpret_cast<ULONG_PTR>(Irp), 0, 0,
                     "IoInitializeIrp by " + describeCode(caller) + " on " + irpText(Irp) +
                         ", which is still in use by a driver");
        }
    } else {
        s = new IrpShadow;
        s->irp = Irp;
        s->origin = IrpOrigin::External;
        s->site = &impl.siteFor(AllocationKind::Irp, caller);
        impl.irps[Irp] = s;
    }
    resetTracking(s);
    initializeIrpMemory(Irp, PacketSize, StackSize);
}

extern "C" VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    const void* caller = __builtin_return_address(0);
    Kernel::Impl& impl = kernelImpl();
    std::unique_lock lock(impl.mutex);
    IrpShadow* s =
        liveIrp(impl, lock, Irp, "IoReuseIrp", caller, DRIVER_VERIFIER_IOMANAGER_VIOLATION);
    if (s->state == IrpState::Dispatched || s->state == IrpState::Completing) {
        lock.unlock();
        bugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, kIoVerifierUnknown,
                 reinterpret_cast<ULONG_PTR>(Irp), 0, 0,
                 "IoReuseIrp by " + describeCode(caller) + " on " + irpText(Irp) +
                     ", which is still in use by a driver");
    }
    resetTracking(s);
    UCHAR flags = Irp->AllocationFlags;
    initializeIrpMemory(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = flags;
    Irp->IoStatus.Status = Iostatus;
}

extern "C" VOID NTAPI IoFreeIrp(PIRP Irp) {
    const void* caller = __builtin_return_address(0);
    Kernel::Impl& impl = kernelImpl();
    std::unique_lock lock(impl.mutex);
    IrpShadow* s =
        liveIrp(impl, lock, Irp, "IoFreeIrp", caller, DRIVER_VERIFIER_IOMANAGER_VIOLATION);
    auto fail = [&](ULONG_PTR sub, const std::string& why) {
        lock.unlock();
        bugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, sub, reinterpret_cast<ULONG_PTR>(Irp), 0, 0,
                 "IoFreeIrp by " + describeCode(caller) + " on " + irpText(Irp) + ": " + why);
    };
    if (s->origin == IrpOrigin::Threaded || s->origin == IrpOrigin::Application)
        fail(kIoVerifierFreeIrpQueuedToThread,
             "the I/O manager built this request and frees it when it is completed");
    if (s->origin == IrpOrigin::External)
        fail(kIoVerifierUnknown,
             "the IRP lies in the caller's memory (IoInitializeIrp); free that memory instead");
    if (s->state == IrpState::Dispatched)
        fail(kIoVerifierFreeIrpInUse, "the IRP was sent to a driver and has not been completed");
    if (Irp->CancelRoutine)
        fail(kIoVerifierFreeIrpInUse, "its cancel routine is still set");
    impl.freeIrpMemory(s);
}

extern "C" NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return callDriver(DeviceObject, Irp, __builtin_return_address(0), "IofCallDriver");
}

extern "C" NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return callDriver(DeviceObject, Irp, __builtin_return_address(0), "PoCallDriver");
}

extern "C" VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    const void* caller = __builtin_return_address(0);
    Kernel::Impl& impl = kernelImpl();
    std::unique_lock lock(impl.mutex);
    liveIrp(impl, lock, Irp, "PoStartNextPowerIrp", caller, DRIVER_VERIFIER_IOMANAGER_VIOLATION);
}

extern "C" VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR) {
    completeRequest(Irp, __builtin_return_address(0));
}

namespace sim {
namespace {

constexpr ULONG kSystemBufferTag = 0x42536F49;  // 'IoSB'

// The buffers of a request from IoBuildDeviceIoControlRequest, by the transfer method of its code.
struct ControlBuffers {
    ULONG code;
    PVOID input;
    ULONG inputLength;
    PVOID output;
    ULONG outputLength;
};

// A system buffer holding `length` bytes, the input copied in. False when there is no pool.
bool attachSystemBuffer(Kernel::Impl& impl, IrpShadow* s, ULONG length, const ControlBuffers& b,
                        const void* caller) {
    s->systemBuffer = impl.poolAllocate(NonPagedPool, length, kSystemBufferTag,
                                        AllocationKind::Pool, caller, false);
    if (!s->systemBuffer)
        return false;
    if (b.input && b.inputLength)
        memcpy(s->systemBuffer, b.input, b.inputLength);
    s->irp->AssociatedIrp.SystemBuffer = s->systemBuffer;
    s->irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    return true;
}

// METHOD_BUFFERED: a system buffer of the larger length; output is copied back into the caller's
// output pointer whenever there is one, whatever its length (IRP_INPUT_OPERATION).
bool buildBufferedControl(Kernel::Impl& impl, IrpShadow* s, const ControlBuffers& b,
                          const void* caller) {
    PIRP irp = s->irp;
    ULONG length = b.inputLength > b.outputLength ? b.inputLength : b.outputLength;
    if (length) {
        if (!attachSystemBuffer(impl, s, length, b, caller))
            return false;
        if (b.output)
            irp->Flags |= IRP_INPUT_OPERATION;
    } else {
        irp->UserBuffer = nullptr;
    }
    s->copyBack = length != 0 && b.output != nullptr;
    s->copyBackTo = b.output;
    s->copyBackLength = b.outputLength;
    s->checkInformation = s->copyBack;
    s->informationLimit = b.outputLength;
    return true;
}

// METHOD_IN_DIRECT and METHOD_OUT_DIRECT: the input buffered, an MDL locked over the output.
bool buildDirectControl(Kernel::Impl& impl, IrpShadow* s, const ControlBuffers& b,
                        const void* caller) {
    if (b.input && b.inputLength && !attachSystemBuffer(impl, s, b.inputLength, b, caller))
        return false;
    if (b.output && b.outputLength) {
        PMDL mdl = impl.allocateMdl(b.output, b.outputLength, caller, false);
        if (!mdl)
            return false;
        s->irp->MdlAddress = mdl;
        MmProbeAndLockPages(
            mdl, KernelMode,
            METHOD_FROM_CTL_CODE(b.code) == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
    }
    return true;
}

bool buildControlBuffers(Kernel::Impl& impl, IrpShadow* s, const ControlBuffers& b,
                         const void* caller) {
    switch (METHOD_FROM_CTL_CODE(b.code)) {
        case METHOD_BUFFERED:
            return buildBufferedControl(impl, s, b, caller);
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
            return buildDirectControl(impl, s, b, caller);
        default:
            IoGetNextIrpStackLocation(s->irp)->Parameters.DeviceIoControl.Type3InputBuffer =
                b.input;
            return true;
    }
}

// Frees what a request that could not be built completely holds.
PIRP giveUpControl(Kernel::Impl& impl, IrpShadow* s, const void* caller) {
    freeMdlChain(impl, s->irp);
    if (s->systemBuffer)
        impl.poolFree(s->systemBuffer, std::nullopt, caller);
    s->systemBuffer = nullptr;
    std::lock_guard lock(impl.mutex);
    impl.freeIrpMemory(s);
    return nullptr;
}

}  // namespace
}  // namespace sim

extern "C" PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode,
                                                    PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                                    ULONG InputBufferLength, PVOID OutputBuffer,
                                                    ULONG OutputBufferLength,
                                                    BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                                    PIO_STATUS_BLOCK IoStatusBlock) {
    const void* caller = __builtin_return_address(0);
    // The request is queued to the calling thread, whose APC finishes it.
    requirePassive("IoBuildDeviceIoControlRequest", caller);
    Kernel::Impl& impl = kernelImpl();
    {
        std::lock_guard lock(impl.mutex);
        if (!DeviceObject || !impl.devices.count(DeviceObject))
            bugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, kIoVerifierInvalidDevice,
                     reinterpret_cast<ULONG_PTR>(DeviceObject), 0, 0,
                     "IoBuildDeviceIoControlRequest by " + describeCode(caller) + " for " +
                         hex(reinterpret_cast<ULONG_PTR>(DeviceObject)) +
                         ", which is not a device object");
    }
    PIRP irp = impl.allocateIrp(DeviceObject->StackSize, IrpOrigin::Threaded, caller, true);
    if (!irp)
        return nullptr;
    IrpShadow* s;
    {
        std::lock_guard lock(impl.mutex);
        s = impl.irps[irp];
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    irp->RequestorMode = KernelMode;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->UserBuffer = OutputBuffer;
    // The thread whose APC finishes the request (see finishThreadedRequest).
    irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(thisThread().token);
    ControlBuffers buffers{IoControlCode, InputBuffer, InputBufferLength, OutputBuffer,
                           OutputBufferLength};
    if (!buildControlBuffers(impl, s, buffers, caller))
        return giveUpControl(impl, s, caller);
    return irp;
}

// ---------------------------------------------------------------- cancel

extern "C" VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
    const void* caller = __builtin_return_address(0);
    KIRQL old = currentIrql();
    if (old > DISPATCH_LEVEL)
        bugCheck(IRQL_NOT_LESS_OR_EQUAL, old, 0, 0, 0,
                 "IoAcquireCancelSpinLock above DISPATCH_LEVEL by " + describeCode(caller));
    setIrql(DISPATCH_LEVEL);
    acquireSpinLock(&kernelImpl().cancelLock, caller, "IoAcquireCancelSpinLock");
    *Irql = old;
}

extern "C" VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
    const void* caller = __builtin_return_address(0);
    releaseSpinLock(&kernelImpl().cancelLock, caller, "IoReleaseCancelSpinLock");
    if (Irql > currentIrql())
        bugCheck(IRQL_NOT_LESS_OR_EQUAL, currentIrql(), Irql, 0, 0,
                 "IoReleaseCancelSpinLock to " + describeIrql(Irql) + ", above the current " +
                     describeIrql(currentIrql()) + ", by " + describeCode(caller));
    setIrql(Irql);
}

extern "C" BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    const void* caller = __builtin_return_address(0);
    KIRQL old = currentIrql();
    if (old > DISPATCH_LEVEL)
        bugCheck(IRQL_NOT_LESS_OR_EQUAL, old, reinterpret_cast<ULONG_PTR>(Irp), 0, 0,
                 "IoCancelIrp above DISPATCH_LEVEL by " + describeCode(caller));
    Kernel::Impl& impl = kernelImpl();
    IrpShadow* s;
    {
        std::unique_lock lock(impl.mutex);
        s = liveIrp(impl, lock, Irp, "IoCancelIrp", caller, DRIVER_VERIFIER_IOMANAGER_VIOLATION);
        ++s->pins;
    }
    return cancelPinnedIrp(impl, s, old);
}

BOOLEAN sim::cancelPinnedIrp(Kernel::Impl& impl, IrpShadow* s, KIRQL old) {
    PIRP Irp = s->irp;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    cancelFlag(Irp).store(TRUE);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        unpin(impl, s);
        return FALSE;
    }
    if (Irp->CurrentLocation > Irp->StackCount)
        bugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, kIoVerifierUnknown,
                 reinterpret_cast<ULONG_PTR>(Irp), 0, 0,
                 irpText(Irp) + " has a cancel routine but is not at any driver's stack location");
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
    {
        KernelStackFrame frame(kCancelFrame, reinterpret_cast<const void*>(routine),
                               "cancel routine");
        routine(device, Irp);
    }
    if (spinLockHeldByThisThread(&impl.cancelLock))
        bugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, kIoVerifierUnknown,
                 reinterpret_cast<ULONG_PTR>(Irp), reinterpret_cast<ULONG_PTR>(routine), 0,
                 "the cancel routine " + describeCode(reinterpret_cast<const void*>(routine)) +
                     " returned still holding the cancel spin lock (it must call "
                     "IoReleaseCancelSpinLock(Irp->CancelIrql))");
    if (currentIrql() != old)
        bugCheck(IRQL_NOT_LESS_OR_EQUAL, currentIrql(), old, reinterpret_cast<ULONG_PTR>(routine),
                 0,
                 "the cancel routine " + describeCode(reinterpret_cast<const void*>(routine)) +
                     " returned at " + describeIrql(currentIrql()) + ", not at the " +
                     describeIrql(old) + " IoCancelIrp was called at");
    unpin(impl, s);
    return TRUE;
}
