// Threads and their asynchronous procedure calls, as far as drivers can see them.
//
// Every host thread that runs kernel code is a thread of the model. The platform delivers two
// kinds of kernel APC to a thread, and the model both:
//   special kernel APCs: the I/O manager's final step of a request built by
//     IoBuildDeviceIoControlRequest (status block, event, freeing the IRP) runs as one in the
//     thread that built the request. Delivered when the thread runs at PASSIVE_LEVEL outside a
//     guarded region: in a wait, when it lowers its IRQL to PASSIVE_LEVEL, when it leaves a
//     guarded region, and on its way back to user mode.
//   normal kernel APCs: the one that suspends a thread (SuspendThread). Delivered at the same
//     points, but not while the thread is in a critical or guarded region (KeEnterCriticalRegion,
//     or holding a kernel mutex); a suspended thread stops there until it is resumed, holding
//     whatever it holds.
// A thread cannot be interrupted in the middle of driver code on the host, so the model delivers
// at those points only; a thread at PASSIVE_LEVEL reaches one whenever it waits or returns.
#include "sim/kernel/internal.hpp"

#include <algorithm>
#include <thread>

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

// A waiter also looks for APCs this often: the event's futex cannot be woken for an APC without
// racing the waiter going to sleep, so a queued APC is noticed at the latest after this long.
constexpr auto kApcPoll = std::chrono::milliseconds(20);

struct ThreadTable {
    std::mutex mutex;
    std::unordered_map<ULONG_PTR, KernelThread*> byToken;
};

// Threads are the process's, not one kernel's: a test thread outlives the kernels it uses.
ThreadTable& threadTable() {
    static auto* table = new ThreadTable;
    return *table;
}

// Owns the calling host thread's record; at thread exit its queued APCs run (the platform runs a
// dying thread's pending APCs), so no request is left half finished.
struct ThreadRecordHolder {
    std::unique_ptr<KernelThread> record;
    ~ThreadRecordHolder() {
        if (!record)
            return;
        record->suspendCount.store(0);
        runSpecialApcs(*record);
        std::lock_guard lock(threadTable().mutex);
        threadTable().byToken.erase(record->token);
    }
    static void runSpecialApcs(KernelThread& thread) {
        for (;;) {
            std::function<void()> apc;
            {
                std::lock_guard lock(thread.apcMutex);
                if (thread.specialApcs.empty())
                    return;
                apc = std::move(thread.specialApcs.front());
                thread.specialApcs.pop_front();
                thread.queuedSpecial.fetch_sub(1);
            }
            apc();
        }
    }
};

thread_local ThreadRecordHolder t_record;

bool specialApcsDeliverable(const KernelThread& thread) {
    return currentIrql() == PASSIVE_LEVEL && thread.guardedRegions.load() == 0 && !thread.inApc;
}

bool normalApcsDeliverable(const KernelThread& thread) {
    return specialApcsDeliverable(thread) && thread.criticalRegions.load() == 0;
}

bool specialApcQueued(const KernelThread& thread) {
    return thread.queuedSpecial.load() > 0;
}

// Runs one queued special APC at APC_LEVEL, as the platform runs kernel APCs.
bool runOneSpecialApc(KernelThread& thread) {
    if (!specialApcQueued(thread))
        return false;
    std::function<void()> apc;
    {
        std::lock_guard lock(thread.apcMutex);
        if (thread.specialApcs.empty())
            return false;
        apc = std::move(thread.specialApcs.front());
        thread.specialApcs.pop_front();
        thread.queuedSpecial.fetch_sub(1);
    }
    thread.inApc = true;
    setIrql(APC_LEVEL);
    apc();
    setIrql(PASSIVE_LEVEL);
    thread.inApc = false;
    return true;
}

void wake(KernelThread& thread) {
    if (volatile LONG* word = thread.waitingOn.load())
        wakeAddress(word);
    thread.suspendCount.notify_all();
}

// The suspend APC: the thread stops here until its suspend count is back at zero. Special APCs
// still reach it meanwhile, as they reach a thread waiting inside a normal APC on the platform.
Clock::duration park(KernelThread& thread) {
    auto start = Clock::now();
    thread.parked.store(true);
    thread.parked.notify_all();
    while (int count = thread.suspendCount.load()) {
        while (runOneSpecialApc(thread)) {
        }
        thread.suspendCount.wait(count);
    }
    thread.parked.store(false);
    thread.parked.notify_all();
    return Clock::now() - start;
}

KernelThread* findThread(ULONG_PTR token) {
    auto& table = threadTable();
    std::lock_guard lock(table.mutex);
    auto it = table.byToken.find(token);
    return it == table.byToken.end() ? nullptr : it->second;
}

}  // namespace

KernelThread& thisThread() {
    if (!t_record.record) {
        t_record.record = std::make_unique<KernelThread>();
        t_record.record->token = threadToken();
        std::lock_guard lock(threadTable().mutex);
        threadTable().byToken[t_record.record->token] = t_record.record.get();
    }
    return *t_record.record;
}

Clock::duration deliverApcs() {
    KernelThread& thread = thisThread();
    Clock::duration parked{};
    for (;;) {
        if (!specialApcsDeliverable(thread))
            return parked;
        if (runOneSpecialApc(thread))
            continue;
        if (thread.suspendCount.load() > 0 && normalApcsDeliverable(thread)) {
            parked += park(thread);
            continue;
        }
        return parked;
    }
}

bool apcWaiting(KernelThread& thread) {
    if (!specialApcsDeliverable(thread))
        return false;
    return specialApcQueued(thread) ||
           (thread.suspendCount.load() > 0 && normalApcsDeliverable(thread));
}

void sleepForApcsOrWord(KernelThread& thread, volatile LONG* word, LONG expected,
                        std::optional<Clock::time_point> deadline) {
    auto until = Clock::now() + kApcPoll;
    if (deadline)
        until = std::min(until, *deadline);
    thread.waitingOn.store(word);
    if (!apcWaiting(thread))
        waitOnAddress(word, expected, until);
    thread.waitingOn.store(nullptr);
}

// Queues `routine` to the thread of `threadToken` and returns the thread; nullptr (the routine
// left as it was) when that thread is gone.
static KernelThread* queueOnThread(ULONG_PTR threadToken, std::function<void()>& routine) {
    auto& table = threadTable();
    std::lock_guard lock(table.mutex);
    auto it = table.byToken.find(threadToken);
    if (it == table.byToken.end())
        return nullptr;
    KernelThread* thread = it->second;
    std::lock_guard apcs(thread->apcMutex);
    thread->specialApcs.push_back(std::move(routine));
    thread->queuedSpecial.fetch_add(1);
    return thread;
}

void queueSpecialApc(ULONG_PTR threadToken, std::function<void()> routine) {
    KernelThread* thread = queueOnThread(threadToken, routine);
    if (!thread) {
        routine();  // the thread is gone: the I/O manager finishes the request itself
        return;
    }
    wake(*thread);
    if (thread == &thisThread())
        deliverApcs();
}

void discardQueuedApcs() {
    auto& table = threadTable();
    std::lock_guard lock(table.mutex);
    for (auto& [token, thread] : table.byToken) {
        std::lock_guard apcs(thread->apcMutex);
        thread->specialApcs.clear();
        thread->queuedSpecial.store(0);
        thread->suspendCount.store(0);
        thread->suspendCount.notify_all();
    }
}

ThreadId currentThreadId() {
    return thisThread().token;
}

void Kernel::suspendThread(ThreadId thread) {
    KernelThread* record = findThread(thread);
    if (!record)
        bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kModelCheckInvalidObject, thread, 0, 0,
                 "suspendThread: " + hex(thread) + " is not a thread that ran kernel code");
    record->suspendCount.fetch_add(1);
    wake(*record);
}

void Kernel::resumeThread(ThreadId thread) {
    KernelThread* record = findThread(thread);
    if (!record || record->suspendCount.load() == 0)
        return;
    record->suspendCount.fetch_sub(1);
    record->suspendCount.notify_all();
}

bool Kernel::waitUntilSuspended(ThreadId thread, std::chrono::milliseconds timeout) {
    KernelThread* record = findThread(thread);
    if (!record)
        return false;
    auto deadline = Clock::now() + timeout;
    while (!record->parked.load()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace sim

using namespace sim;

// ---------------------------------------------------------------- critical and guarded regions

extern "C" VOID NTAPI KeEnterCriticalRegion(VOID) {
    if (currentIrql() > APC_LEVEL)
        bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kVerifierEnterCriticalRegionIrql,
                 currentIrql(), 0, 0,
                 "KeEnterCriticalRegion at " + describeIrql(currentIrql()) +
                     " (APC_LEVEL at most), called by " +
                     describeCode(__builtin_return_address(0)));
    thisThread().criticalRegions.fetch_add(1);
}

extern "C" VOID NTAPI KeLeaveCriticalRegion(VOID) {
    const void* caller = __builtin_return_address(0);
    if (currentIrql() > APC_LEVEL)
        bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kVerifierLeaveCriticalRegionIrql,
                 currentIrql(), 0, 0,
                 "KeLeaveCriticalRegion at " + describeIrql(currentIrql()) +
                     " (APC_LEVEL at most), called by " + describeCode(caller));
    KernelThread& thread = thisThread();
    if (thread.criticalRegions.load() == 0)
        bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kVerifierLeaveCriticalRegionNotIn, 0, 0, 0,
                 "KeLeaveCriticalRegion by " + describeCode(caller) +
                     " for a thread that is not in a critical region");
    thread.criticalRegions.fetch_sub(1);
    deliverApcs();
}

extern "C" VOID NTAPI KeEnterGuardedRegion(VOID) {
    if (currentIrql() > APC_LEVEL)
        bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kVerifierApiAtWrongIrql, currentIrql(), 0, 0,
                 "KeEnterGuardedRegion at " + describeIrql(currentIrql()) +
                     " (APC_LEVEL at most), called by " +
                     describeCode(__builtin_return_address(0)));
    thisThread().guardedRegions.fetch_add(1);
}

extern "C" VOID NTAPI KeLeaveGuardedRegion(VOID) {
    const void* caller = __builtin_return_address(0);
    KernelThread& thread = thisThread();
    if (currentIrql() > APC_LEVEL || thread.guardedRegions.load() == 0)
        bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kVerifierApiAtWrongIrql, currentIrql(),
                 thread.guardedRegions.load(), 0,
                 "KeLeaveGuardedRegion by " + describeCode(caller) + " at " +
                     describeIrql(currentIrql()) +
                     (thread.guardedRegions.load() == 0 ? " outside a guarded region" : ""));
    thread.guardedRegions.fetch_sub(1);
    deliverApcs();
}
