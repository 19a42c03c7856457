// IRQL, spin locks, events and waits.
//
// Every host thread is a processor with its own IRQL. Spin locks are real locks across host
// threads: the lock word holds the owning thread's token. An event blocks its waiters on its own
// SignalState word (a futex, the mechanism beneath C++20 atomic wait), so it needs no storage
// beyond its 24 bytes, and a wait can have a deadline, which the hang watchdog needs.
#include "sim/kernel/internal.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <mutex>
#include <thread>

namespace sim {

namespace {

thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local char t_threadMarker;

using Clock = std::chrono::steady_clock;

// 100-nanosecond units between 1601-01-01 and 1970-01-01.
constexpr int64_t kEpochDifference = 116444736000000000LL;

int64_t systemTimeNow() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100 +
           kEpochDifference;
}

// The deadline of a platform time-out: negative is relative (100 ns units), positive absolute
// system time, zero "do not wait".
Clock::time_point deadlineOf(LONGLONG timeout) {
    if (timeout < 0)
        return Clock::now() + std::chrono::nanoseconds(-timeout * 100);
    int64_t remaining = timeout - systemTimeNow();
    if (remaining < 0)
        remaining = 0;
    return Clock::now() + std::chrono::nanoseconds(remaining * 100);
}

std::chrono::milliseconds hangLimit() {
    Kernel::Impl* impl = kernelImplOrNull();
    if (!impl)
        return std::chrono::milliseconds(30000);
    std::lock_guard lock(impl->mutex);
    return impl->options.hangLimit;
}

void checkEvent(PKEVENT event, const char* routine, const void* caller) {
    if (!event)
        bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kModelCheckInvalidObject, 0, 0, 0,
                 std::string(routine) + " called with a null event by " + describeCode(caller));
    if (event->Header.Type != NotificationEvent && event->Header.Type != SynchronizationEvent)
        bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kModelCheckInvalidObject,
                 reinterpret_cast<ULONG_PTR>(event), event->Header.Type, 0,
                 std::string(routine) + " on an object that is not an initialised event (type " +
                     std::to_string(event->Header.Type) + "), called by " + describeCode(caller));
}

std::atomic_ref<LONG> stateOf(PKEVENT event) {
    return std::atomic_ref<LONG>(event->Header.SignalState);
}

// KeSetEvent signals an event and then looks whether anybody sleeps on it. A waiter that sees the
// signal may free the event at once (an application request, a driver's stack frame), so the
// setter must be done with the event before any waiter goes on: the setter signals and looks
// under this lock, and a waiter that saw the signal takes the lock once before it returns. The
// wake-up itself uses only the event's address.
std::mutex& eventSetMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

// Lets a setter that may still be looking at the event finish first.
void afterSignalSeen() {
    std::lock_guard lock(eventSetMutex());
}

// Takes the event's signal for the waiter: a synchronization event is reset by a satisfied wait.
bool trySatisfy(PKEVENT event) {
    auto state = stateOf(event);
    bool satisfied;
    if (event->Header.Type == NotificationEvent) {
        satisfied = state.load() != 0;
    } else {
        LONG expected = 1;
        satisfied = state.compare_exchange_strong(expected, 0);
    }
    if (satisfied)
        afterSignalSeen();
    return satisfied;
}

// Waits until the event is signalled or the deadline passes.
// The number of threads blocked on an event, kept in its wait list head: setting an event that
// nobody waits for then costs no system call.
// (Counted in steps of one list entry: the field keeps its pointer type.)
std::atomic_ref<PLIST_ENTRY> waitersOf(PKEVENT event) {
    return std::atomic_ref<PLIST_ENTRY>(event->Header.WaitListHead.Flink);
}

// Runs the kernel's wait hook (Kernel::setWaitHook) for a thread about to block; true when it
// did some work, so the event may be signalled now.
bool runWaitHook() {
    thread_local bool t_inHook = false;
    Kernel::Impl* impl = kernelImplOrNull();
    if (impl == nullptr || t_inHook)
        return false;
    std::shared_ptr<const std::function<bool()>> hook;
    {
        std::lock_guard lock(impl->mutex);
        hook = impl->waitHook;
    }
    if (!hook)
        return false;
    t_inHook = true;
    const bool worked = (*hook)();
    t_inHook = false;
    return worked;
}

bool waitUntil(PKEVENT event, std::optional<Clock::time_point> deadline) {
    if (trySatisfy(event))
        return true;
    KernelThread& self = thisThread();
    waitersOf(event).fetch_add(1);
    bool satisfied = false;
    for (;;) {
        if (trySatisfy(event)) {
            satisfied = true;
            break;
        }
        // An APC interrupts the wait, which starts again afterwards; time spent suspended does
        // not count against the wait's time-out.
        if (auto suspended = deliverApcs(); deadline && suspended.count() != 0)
            *deadline += suspended;
        if (trySatisfy(event)) {
            satisfied = true;
            break;
        }
        if (deadline && Clock::now() >= *deadline)
            break;
        // What the hook runs stands for a DPC, which interrupts the thread only below
        // DISPATCH_LEVEL (a zero time-out at DISPATCH_LEVEL polls and has left above).
        if (currentIrql() < DISPATCH_LEVEL && runWaitHook())
            continue;
        sleepForApcsOrWord(self, &event->Header.SignalState, 0, deadline);
    }
    waitersOf(event).fetch_sub(1);
    return satisfied;
}

// Lowering the IRQL to PASSIVE_LEVEL lets the thread's pending APCs in.
void loweredTo(KIRQL irql) {
    if (irql == PASSIVE_LEVEL)
        deliverApcs();
}

}  // namespace

KIRQL currentIrql() {
    return t_irql;
}
void setIrql(KIRQL irql) {
    t_irql = irql;
}
ULONG_PTR threadToken() {
    return reinterpret_cast<ULONG_PTR>(&t_threadMarker) | 1;
}

bool waitOnAddress(volatile LONG* address, LONG expected,
                   std::optional<Clock::time_point> deadline) {
    struct timespec ts {};
    struct timespec* timeout = nullptr;
    if (deadline) {
        auto left = *deadline - Clock::now();
        if (left <= Clock::duration::zero())
            return false;
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        ts.tv_sec = ns / 1000000000;
        ts.tv_nsec = ns % 1000000000;
        timeout = &ts;
    }
    long r = syscall(SYS_futex, const_cast<LONG*>(address), FUTEX_WAIT_PRIVATE, expected, timeout,
                     nullptr, 0);
    return !(r != 0 && errno == ETIMEDOUT);
}

void wakeAddress(volatile LONG* address) {
    syscall(SYS_futex, const_cast<LONG*>(address), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr,
            0);
}

bool waitForEventUntil(PKEVENT event, Clock::time_point deadline) {
    return waitUntil(event, deadline);
}

void waitForEventWithWatchdog(PKEVENT event, const std::function<std::string()>& what) {
    if (trySatisfy(event))
        return;  // no clock needed
    auto limit = hangLimit();
    if (waitUntil(event, Clock::now() + limit))
        return;
    bugCheck(THREAD_STUCK_IN_DEVICE_DRIVER, reinterpret_cast<ULONG_PTR>(event), 0, 0, 0,
             what() + ": the wait did not end within the hang limit of " +
                 std::to_string(limit.count()) + " ms");
}

// ---------------------------------------------------------------- spin locks

void acquireSpinLock(PKSPIN_LOCK lock, const void* site, const char* routine) {
    if (!lock)
        bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kModelCheckInvalidObject, 0, 0, 0,
                 std::string(routine) + " with a null spin lock, called by " + describeCode(site));
    ULONG_PTR me = threadToken();
    std::atomic_ref<ULONG_PTR> word(*lock);
    if (word.load(std::memory_order_relaxed) == me)
        bugCheck(SPIN_LOCK_ALREADY_OWNED, reinterpret_cast<ULONG_PTR>(lock), 0, 0, 0,
                 std::string(routine) + " by " + describeCode(site) + ": spin lock " +
                     hex(reinterpret_cast<ULONG_PTR>(lock)) +
                     " is already held by this thread (deadlock)");
    Clock::time_point deadline{};
    for (unsigned spins = 0;; ++spins) {
        ULONG_PTR expected = 0;
        if (word.compare_exchange_weak(expected, me, std::memory_order_acquire))
            break;
        if (spins < 64)
            continue;
        if (spins == 64)
            deadline = Clock::now() + hangLimit();
        std::this_thread::yield();
        if ((spins & 255) == 0 && Clock::now() > deadline)
            bugCheck(THREAD_STUCK_IN_DEVICE_DRIVER, reinterpret_cast<ULONG_PTR>(lock), 0, 0, 0,
                     std::string(routine) + " by " + describeCode(site) + ": spin lock " +
                         hex(reinterpret_cast<ULONG_PTR>(lock)) +
                         " was not released by its holder within the hang limit");
    }
    if (Kernel::Impl* impl = kernelImplOrNull()) {
        std::lock_guard g(impl->mutex);
        impl->heldLocks[lock] = {me, site, routine};
    }
}

void releaseSpinLock(PKSPIN_LOCK lock, const void* caller, const char* routine) {
    if (!lock)
        bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kModelCheckInvalidObject, 0, 0, 0,
                 std::string(routine) + " with a null spin lock");
    ULONG_PTR me = threadToken();
    std::atomic_ref<ULONG_PTR> word(*lock);
    if (word.load(std::memory_order_relaxed) != me)
        bugCheck(SPIN_LOCK_NOT_OWNED, reinterpret_cast<ULONG_PTR>(lock), 0, 0, 0,
                 std::string(routine) + ": spin lock " + hex(reinterpret_cast<ULONG_PTR>(lock)) +
                     (word.load() == 0 ? " is not held" : " is held by another thread") +
                     " (released near " + describeCode(caller) + ")");
    if (Kernel::Impl* impl = kernelImplOrNull()) {
        std::lock_guard g(impl->mutex);
        impl->heldLocks.erase(lock);
    }
    word.store(0, std::memory_order_release);
}

bool spinLockHeldByThisThread(PKSPIN_LOCK lock) {
    return std::atomic_ref<ULONG_PTR>(*lock).load() == threadToken();
}

}  // namespace sim

using namespace sim;

// ---------------------------------------------------------------- IRQL

extern "C" KIRQL NTAPI KeGetCurrentIrql(VOID) {
    return t_irql;
}

extern "C" KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
    KIRQL old = t_irql;
    if (NewIrql < old)
        bugCheck(IRQL_NOT_GREATER_OR_EQUAL, old, NewIrql, 0, 0,
                 "KfRaiseIrql to " + describeIrql(NewIrql) + ", below the current " +
                     describeIrql(old) + ", called by " +
                     describeCode(__builtin_return_address(0)));
    t_irql = NewIrql;
    return old;
}

extern "C" VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
    KIRQL old = t_irql;
    if (NewIrql > old)
        bugCheck(IRQL_NOT_LESS_OR_EQUAL, old, NewIrql, 0, 0,
                 "KeLowerIrql to " + describeIrql(NewIrql) + ", above the current " +
                     describeIrql(old) + ", called by " +
                     describeCode(__builtin_return_address(0)));
    t_irql = NewIrql;
    loweredTo(NewIrql);
}

// ---------------------------------------------------------------- spin locks

extern "C" KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    const void* caller = __builtin_return_address(0);
    KIRQL old = t_irql;
    if (old > DISPATCH_LEVEL)
        bugCheck(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(SpinLock), old, 0, 0,
                 "KeAcquireSpinLock at " + describeIrql(old) + " (above DISPATCH_LEVEL) by " +
                     describeCode(caller));
    t_irql = DISPATCH_LEVEL;
    acquireSpinLock(SpinLock, caller, "KeAcquireSpinLock");
    return old;
}

extern "C" VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    releaseSpinLock(SpinLock, __builtin_return_address(0), "KeReleaseSpinLock");
    if (NewIrql > t_irql)
        bugCheck(IRQL_NOT_LESS_OR_EQUAL, t_irql, NewIrql, 0, 0,
                 "KeReleaseSpinLock to " + describeIrql(NewIrql) + ", above the current " +
                     describeIrql(t_irql) + ", called by " +
                     describeCode(__builtin_return_address(0)));
    t_irql = NewIrql;
    loweredTo(NewIrql);
}

extern "C" VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    const void* caller = __builtin_return_address(0);
    if (t_irql < DISPATCH_LEVEL)
        bugCheck(IRQL_NOT_GREATER_OR_EQUAL, reinterpret_cast<ULONG_PTR>(SpinLock), t_irql, 0, 0,
                 "KeAcquireSpinLockAtDpcLevel at " + describeIrql(t_irql) +
                     " (below DISPATCH_LEVEL) by " + describeCode(caller));
    acquireSpinLock(SpinLock, caller, "KeAcquireSpinLockAtDpcLevel");
}

extern "C" VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    if (t_irql < DISPATCH_LEVEL)
        bugCheck(IRQL_NOT_GREATER_OR_EQUAL, reinterpret_cast<ULONG_PTR>(SpinLock), t_irql, 0, 0,
                 "KeReleaseSpinLockFromDpcLevel at " + describeIrql(t_irql) +
                     " (below DISPATCH_LEVEL) by " + describeCode(__builtin_return_address(0)));
    releaseSpinLock(SpinLock, __builtin_return_address(0), "KeReleaseSpinLockFromDpcLevel");
}

// ---------------------------------------------------------------- events

extern "C" VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    if (!Event)
        bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kModelCheckInvalidObject, 0, 0, 0,
                 "KeInitializeEvent with a null event, called by " +
                     describeCode(__builtin_return_address(0)));
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Signalling = 0;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.Reserved1 = 0;
    Event->Header.WaitListHead.Blink = nullptr;
    waitersOf(Event).store(nullptr);
    stateOf(Event).store(State ? 1 : 0);
}

extern "C" LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
    const void* caller = __builtin_return_address(0);
    checkEvent(Event, "KeSetEvent", caller);
    if (t_irql > DISPATCH_LEVEL)
        bugCheck(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(Event), t_irql, 0, 0,
                 "KeSetEvent above DISPATCH_LEVEL by " + describeCode(caller));
    LONG previous;
    bool sleepers;
    {
        std::lock_guard lock(eventSetMutex());
        previous = stateOf(Event).exchange(1);
        sleepers = previous == 0 && waitersOf(Event).load() != nullptr;
    }
    if (sleepers)
        wakeAddress(&Event->Header.SignalState);
    return previous;
}

extern "C" LONG NTAPI KeResetEvent(PRKEVENT Event) {
    checkEvent(Event, "KeResetEvent", __builtin_return_address(0));
    return stateOf(Event).exchange(0);
}

extern "C" VOID NTAPI KeClearEvent(PRKEVENT Event) {
    checkEvent(Event, "KeClearEvent", __builtin_return_address(0));
    stateOf(Event).store(0);
}

extern "C" LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    checkEvent(Event, "KeReadStateEvent", __builtin_return_address(0));
    const LONG state = stateOf(Event).load();
    if (state != 0)
        afterSignalSeen();
    return state;
}

extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE,
                                                BOOLEAN, PLARGE_INTEGER Timeout) {
    const void* caller = __builtin_return_address(0);
    auto* event = static_cast<PKEVENT>(Object);
    checkEvent(event, "KeWaitForSingleObject", caller);
    bool poll = Timeout && Timeout->QuadPart == 0;
    if (t_irql >= DISPATCH_LEVEL && !poll)
        bugCheck(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(Object), t_irql, 0, 0,
                 "KeWaitForSingleObject at " + describeIrql(t_irql) +
                     (Timeout ? " with a time-out" : " without a time-out") +
                     " (only a zero time-out is allowed at DISPATCH_LEVEL), called by " +
                     describeCode(caller));
    if (poll)
        return trySatisfy(event) ? STATUS_SUCCESS : STATUS_TIMEOUT;
    if (Timeout)
        return waitUntil(event, deadlineOf(Timeout->QuadPart)) ? STATUS_SUCCESS : STATUS_TIMEOUT;
    waitForEventWithWatchdog(event, [&] {
        return "KeWaitForSingleObject without a time-out in " + describeCode(caller) +
               " on event " + hex(reinterpret_cast<ULONG_PTR>(event));
    });
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN,
                                                 PLARGE_INTEGER Interval) {
    const void* caller = __builtin_return_address(0);
    if (t_irql > APC_LEVEL)
        bugCheck(IRQL_NOT_LESS_OR_EQUAL, t_irql, 0, 0, 0,
                 "KeDelayExecutionThread at " + describeIrql(t_irql) +
                     " (above APC_LEVEL), called by " + describeCode(caller));
    if (!Interval)
        bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kModelCheckInvalidObject, 0, 0, 0,
                 "KeDelayExecutionThread with a null interval, called by " + describeCode(caller));
    std::this_thread::sleep_until(deadlineOf(Interval->QuadPart));
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
    auto end = Clock::now() + std::chrono::microseconds(MicroSeconds);
    while (Clock::now() < end) {
    }
}

extern "C" VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = systemTimeNow();
}
