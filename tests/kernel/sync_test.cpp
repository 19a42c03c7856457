// IRQL, spin locks, events, waits and the hang watchdog.
#include "tests/kernel/kernel_test.hpp"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace ktest;
using namespace std::chrono_literals;

namespace {

class SyncTest : public KernelTest {};
using SyncDeathTest = SyncTest;

TEST_F(SyncTest, IrqlIsPerThread) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    KIRQL other = HIGH_LEVEL;
    std::thread([&] { other = KeGetCurrentIrql(); }).join();
    EXPECT_EQ(other, PASSIVE_LEVEL);
    EXPECT_NE(kernel_->checkClean().find("not PASSIVE_LEVEL"), std::string::npos);
    KeLowerIrql(old);
}

TEST_F(SyncDeathTest, IrqlRules) {
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeRaiseIrql(APC_LEVEL, &old);
        },
        "STOP: 0x00000009.*KfRaiseIrql to APC_LEVEL, below the current DISPATCH_LEVEL");
    EXPECT_DEATH(
        KeLowerIrql(DISPATCH_LEVEL),
        "STOP: 0x0000000A.*KeLowerIrql to DISPATCH_LEVEL, above the current PASSIVE_LEVEL");
}

TEST_F(SyncTest, SpinLockRaisesAndRestoresIrql) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_NE(kernel_->checkClean().find("still held"), std::string::npos);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeAcquireSpinLockAtDpcLevel(&lock);
    KeReleaseSpinLockFromDpcLevel(&lock);
    KeLowerIrql(old);
}

TEST_F(SyncTest, SpinLockExcludesOtherThreads) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;  // not atomic: the lock protects it
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            if (inside.fetch_add(1) != 0)
                overlap = true;
            ++counter;
            inside.fetch_sub(1);
            KeReleaseSpinLock(&lock, old);
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back(work);
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 80000);
    EXPECT_FALSE(overlap);
}

TEST_F(SyncDeathTest, SpinLockRules) {
    struct Case {
        const char* name;
        std::function<void()> body;
        const char* expected;
    };
    static KSPIN_LOCK lock;
    std::vector<Case> cases = {
        {"release of a lock not held",
         [] {
             KeInitializeSpinLock(&lock);
             KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
         },
         "STOP: 0x00000010.*is not held"},
        {"acquiring a held lock again",
         [] {
             KIRQL a, b;
             KeInitializeSpinLock(&lock);
             KeAcquireSpinLock(&lock, &a);
             KeAcquireSpinLock(&lock, &b);
         },
         "STOP: 0x0000000F.*already held by this thread \\(deadlock\\)"},
        {"AtDpcLevel below DISPATCH_LEVEL",
         [] {
             KeInitializeSpinLock(&lock);
             KeAcquireSpinLockAtDpcLevel(&lock);
         },
         "STOP: 0x00000009.*KeAcquireSpinLockAtDpcLevel at PASSIVE_LEVEL"},
        {"release by another thread",
         [] {
             KIRQL a;
             KeInitializeSpinLock(&lock);
             KeAcquireSpinLock(&lock, &a);
             std::thread([] { KeReleaseSpinLock(&lock, PASSIVE_LEVEL); }).join();
         },
         "STOP: 0x00000010.*held by another thread"},
    };
    for (const auto& c : cases)
        EXPECT_DEATH(c.body(), c.expected) << c.name;
}

TEST_F(SyncTest, NotificationEventWakesEveryWaiter) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                      STATUS_SUCCESS);
            ++woken;
        });
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(woken.load(), 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(woken.load(), 3);
    EXPECT_NE(KeReadStateEvent(&event), 0) << "a notification event stays signalled";
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(SyncTest, SynchronizationEventReleasesOneWaiterPerSignal) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i)
        waiters.emplace_back([&] {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            ++woken;
        });
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    auto deadline = std::chrono::steady_clock::now() + 2s;
    while (woken.load() < 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(woken.load(), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "the satisfied wait reset it";
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(woken.load(), 2);
}

TEST_F(SyncTest, TimeOuts) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER relative;
    relative.QuadPart = -20 * 10000;  // 20 ms
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &relative),
              STATUS_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 19ms);
    LARGE_INTEGER absolute;
    KeQuerySystemTime(&absolute);
    absolute.QuadPart += 10 * 10000;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute),
              STATUS_TIMEOUT);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    KeLowerIrql(old);
    LARGE_INTEGER delay;
    delay.QuadPart = -5 * 10000;
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 4ms);
}

TEST_F(SyncDeathTest, WaitingAtDispatchLevel) {
    EXPECT_DEATH(
        {
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        },
        "STOP: 0x0000000A.*KeWaitForSingleObject at DISPATCH_LEVEL without a time-out");
}

__attribute__((noinline)) void waitForeverInDriver(PKEVENT event) {
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
    asm volatile("" ::: "memory");  // not a tail call: the waiter is this routine
}

TEST_F(SyncDeathTest, HangWatchdogNamesTheWaiter) {
    EXPECT_DEATH(
        {
            kernel_->setHangLimit(50ms);
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            waitForeverInDriver(&event);
        },
        "STOP: 0x000000EA.*KeWaitForSingleObject without a time-out in "
        ".*waitForeverInDriver.*hang limit of 50 ms");
}

// SuspendThread stops a thread that waits at PASSIVE_LEVEL where it is, however its wait ends,
// until it is resumed; inside a critical region the suspension waits for the region's end.
TEST_F(SyncTest, ASuspendedWaiterStopsOutsideCriticalRegionsOnly) {
    for (bool critical : {false, true}) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        std::atomic<sim::ThreadId> id{0};
        std::atomic<bool> waited{false}, left{false};
        std::thread waiter([&] {
            id = sim::currentThreadId();
            if (critical)
                KeEnterCriticalRegion();
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            waited = true;
            if (critical)
                KeLeaveCriticalRegion();
            left = true;
        });
        while (!id)
            std::this_thread::yield();
        kernel_->suspendThread(id);
        EXPECT_EQ(kernel_->waitUntilSuspended(id, 200ms), !critical);
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        if (critical) {
            // The wait ends; the suspension takes the thread as it leaves the region.
            EXPECT_TRUE(kernel_->waitUntilSuspended(id, 5s));
            EXPECT_TRUE(waited);
        } else {
            std::this_thread::sleep_for(50ms);
            EXPECT_FALSE(waited) << "a suspended thread does not go on when its event is set";
        }
        EXPECT_FALSE(left);
        kernel_->resumeThread(id);
        waiter.join();
        EXPECT_TRUE(left);
    }
}

TEST_F(SyncDeathTest, CriticalRegionRules) {
    EXPECT_DEATH(KeLeaveCriticalRegion(),
                 "STOP: 0x000000C4 \\(0x000000000000003E.*not in a critical region");
    auto raised = [] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeEnterCriticalRegion();
    };
    EXPECT_DEATH(raised(), "STOP: 0x000000C4 \\(0x000000000000011A.*KeEnterCriticalRegion at "
                           "DISPATCH_LEVEL");
}

}  // namespace
