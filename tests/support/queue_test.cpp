// Packet queues of the support library, seen through the test driver: order, independence, the
// busy word, cancel, stalls while stopped, removal with requests waiting, deep queues.
#include "tests/support/support_fixture.hpp"

#include <algorithm>
#include <atomic>
#include <random>
#include <set>
#include <thread>

namespace sim {
namespace {

using Events = std::vector<std::string>;
using Packets = std::vector<std::unique_ptr<QueuedPacket>>;

std::string startIo(ULONG queueIndex, ULONG tag) {
    return "StartIo " + std::to_string(queueIndex) + " " + std::to_string(tag);
}

ULONG bit(ULONG queueIndex) {
    return 1u << queueIndex;
}

void spinFor(std::chrono::nanoseconds delay) {
    const auto until = std::chrono::steady_clock::now() + delay;
    while (std::chrono::steady_clock::now() < until) {
    }
}

class QueueTest : public SupportTest {
  protected:
    void SetUp() override {
        SupportTest::SetUp();
        node = plugIn();
        ASSERT_EQ(system.lastStartStatus(node), STATUS_SUCCESS);
        handle = open();
        ASSERT_TRUE(handle.valid());
    }

    Packets queueMany(ULONG queueIndex, ULONG mode, ULONG firstTag, ULONG count) {
        Packets packets;
        for (ULONG i = 0; i < count; ++i) {
            packets.push_back(queue(handle, queueIndex, mode, firstTag + i));
        }
        return packets;
    }

    int node = -1;
    Handle handle;
};

TEST_F(QueueTest, RequestsOfOneQueueRunOneAtATimeInArrivalOrder) {
    auto first = queue(handle, 3, SUPPORT_TEST_HOLD, 0);
    Packets rest = queueMany(3, SUPPORT_TEST_COMPLETE, 1, 8);
    for (const auto& p : rest) {
        EXPECT_FALSE(p->completed());
    }
    EXPECT_EQ(startIoEvents(), (Events{startIo(3, 0)}));

    ASSERT_EQ(release(handle, 3), STATUS_SUCCESS);
    EXPECT_EQ(first->wait().status, STATUS_SUCCESS);
    Events expected{startIo(3, 0)};
    for (const auto& p : rest) {
        const IoResult r = p->wait();
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, sizeof(ULONG));
        EXPECT_EQ(p->echoedTag, p->packet.Tag);
        expected.push_back(startIo(3, p->packet.Tag));
    }
    EXPECT_EQ(startIoEvents(), expected);
    EXPECT_EQ(busyQueues(handle), 0u);
}

TEST_F(QueueTest, QueuesRunIndependently) {
    auto out1 = queue(handle, 1, SUPPORT_TEST_HOLD, 10);
    auto in1 = queue(handle, 17, SUPPORT_TEST_HOLD, 20);
    EXPECT_EQ(busyQueues(handle), bit(1) | bit(17));

    // An idle queue runs at once while the others are busy.
    auto out2 = queue(handle, 2, SUPPORT_TEST_COMPLETE, 30);
    EXPECT_EQ(out2->wait().status, STATUS_SUCCESS);

    auto behindOut1 = queue(handle, 1, SUPPORT_TEST_COMPLETE, 11);
    ASSERT_EQ(release(handle, 17), STATUS_SUCCESS);
    EXPECT_EQ(in1->wait().status, STATUS_SUCCESS);
    EXPECT_FALSE(behindOut1->completed());
    EXPECT_EQ(busyQueues(handle), bit(1));

    ASSERT_EQ(release(handle, 1), STATUS_SUCCESS);
    EXPECT_EQ(out1->wait().status, STATUS_SUCCESS);
    EXPECT_EQ(behindOut1->wait().status, STATUS_SUCCESS);
    EXPECT_EQ(busyQueues(handle), 0u);
}

TEST_F(QueueTest, TheBusyWordMarksEveryQueueWhileItsRequestRuns) {
    Packets held;
    ULONG expected = 0;
    for (ULONG q = 0; q < SUPPORT_TEST_QUEUES; q += 3) {
        held.push_back(queue(handle, q, SUPPORT_TEST_HOLD, q));
        expected |= bit(q);
        EXPECT_EQ(busyQueues(handle), expected);
    }
    for (ULONG q = 0; q < SUPPORT_TEST_QUEUES; q += 3) {
        ASSERT_EQ(release(handle, q), STATUS_SUCCESS);
        expected &= ~bit(q);
        EXPECT_EQ(busyQueues(handle), expected);
    }
    for (auto& p : held) {
        EXPECT_EQ(p->wait().status, STATUS_SUCCESS);
    }
}

TEST_F(QueueTest, AQueueStaysBusyUntilStartNextPacketEvenForAFailedRequest) {
    auto failing = queue(handle, 9, SUPPORT_TEST_HOLD, 1);
    auto next = queue(handle, 9, SUPPORT_TEST_HOLD, 2);
    ASSERT_EQ(release(handle, 9, STATUS_DEVICE_DATA_ERROR), STATUS_SUCCESS);
    EXPECT_EQ(failing->wait().status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(busyQueues(handle), bit(9));  // the next one runs now
    ASSERT_EQ(release(handle, 9), STATUS_SUCCESS);
    EXPECT_EQ(next->wait().status, STATUS_SUCCESS);
    EXPECT_EQ(busyQueues(handle), 0u);
}

TEST_F(QueueTest, CancellingAWaitingRequestCompletesOnlyThatOne) {
    auto running = queue(handle, 5, SUPPORT_TEST_HOLD, 0);
    Packets waiting = queueMany(5, SUPPORT_TEST_COMPLETE, 1, 3);

    EXPECT_TRUE(waiting[1]->request->cancel());
    const IoResult cancelled = waiting[1]->wait();
    EXPECT_EQ(cancelled.status, STATUS_CANCELLED);
    EXPECT_EQ(cancelled.information, 0u);
    EXPECT_FALSE(running->completed());
    EXPECT_FALSE(waiting[0]->completed());
    EXPECT_FALSE(waiting[2]->completed());
    EXPECT_EQ(busyQueues(handle), bit(5));

    ASSERT_EQ(release(handle, 5), STATUS_SUCCESS);
    EXPECT_EQ(running->wait().status, STATUS_SUCCESS);
    EXPECT_EQ(waiting[0]->wait().status, STATUS_SUCCESS);
    EXPECT_EQ(waiting[2]->wait().status, STATUS_SUCCESS);
    EXPECT_EQ(startIoEvents(), (Events{startIo(5, 0), startIo(5, 1), startIo(5, 3)}));
}

TEST_F(QueueTest, CancellingTheRunningRequestLeavesItToTheDriver) {
    auto running = queue(handle, 6, SUPPORT_TEST_HOLD, 0);
    EXPECT_FALSE(running->request->cancel());  // no cancel routine while it runs
    EXPECT_FALSE(running->completed());
    ASSERT_EQ(release(handle, 6), STATUS_SUCCESS);
    EXPECT_EQ(running->wait().status, STATUS_SUCCESS);
}

// Cancels race with StartNextPacket taking the same requests: every request ends exactly once
// (the model stops on a second completion), either started and successful or cancelled, and the
// queue is idle and usable afterwards.
TEST_F(QueueTest, CancelRacingWithStartNextPacketNeitherLosesNorRepeatsARequest) {
    constexpr int kIterations = 1000;
    constexpr ULONG kWaiting = 32;
    constexpr ULONG kQueue = 12;
    std::mt19937 random(20261208);
    // How long the last release took; the cancels start at a random point within it, so that
    // they fall on every stage of the queue's run.
    std::chrono::nanoseconds releaseTime{0};
    for (int iteration = 0; iteration < kIterations; ++iteration) {
        SCOPED_TRACE("iteration " + std::to_string(iteration));
        system.kernel().clearDebugOutput();
        auto running = queue(handle, kQueue, SUPPORT_TEST_HOLD, 0);
        Packets waiting = queueMany(kQueue, SUPPORT_TEST_COMPLETE, 1, kWaiting);
        // A few go before the queue moves; the rest are cancelled from the back while the queue
        // starts them from the front, so the two meet somewhere in the middle.
        std::vector<size_t> order(kWaiting);
        for (size_t i = 0; i < order.size(); ++i) {
            order[i] = order.size() - 1 - i;
        }
        const size_t cancelsFirst = random() % 4;
        std::shuffle(order.begin(), order.begin() + cancelsFirst, random);
        for (size_t i = 0; i < cancelsFirst; ++i) {
            waiting[order[i]]->request->cancel();
        }
        std::atomic<bool> go{false};
        std::thread releaser([&] {
            while (!go.load()) {
            }
            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(release(handle, kQueue), STATUS_SUCCESS);
            releaseTime = std::chrono::steady_clock::now() - start;
        });
        const std::chrono::nanoseconds cancelDelay{
            std::uniform_int_distribution<int64_t>(0, releaseTime.count())(random)};
        go.store(true);
        spinFor(cancelDelay);
        for (size_t i = cancelsFirst; i < order.size(); ++i) {
            waiting[order[i]]->request->cancel();
        }
        releaser.join();

        EXPECT_EQ(running->wait().status, STATUS_SUCCESS);
        std::set<ULONG> succeeded;
        for (const auto& p : waiting) {
            const NTSTATUS status = p->wait().status;
            ASSERT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED)
                << statusName(status);
            if (status == STATUS_SUCCESS) {
                succeeded.insert(p->packet.Tag);
            }
        }
        ASSERT_FALSE(startIoOverlapped());
        std::set<ULONG> started;
        for (const std::string& e : startIoEvents()) {
            started.insert(static_cast<ULONG>(std::stoul(e.substr(e.rfind(' ') + 1))));
        }
        started.erase(0);
        EXPECT_EQ(started, succeeded);
        ASSERT_EQ(busyQueues(handle), 0u);
    }
    auto after = queue(handle, kQueue, SUPPORT_TEST_COMPLETE, 99);
    EXPECT_EQ(after->wait().status, STATUS_SUCCESS);
}

// The request running on one thread is finished from another while its start routine has not
// returned yet: the next request starts only once that start routine is done.
TEST_F(QueueTest, StartNextPacketFromAnotherThreadWaitsForTheRunningStartRoutine) {
    std::unique_ptr<QueuedPacket> inside;
    std::thread starter([&] { inside = queue(handle, 14, SUPPORT_TEST_HOLD_INSIDE, 0); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((busyQueues(handle) & bit(14)) == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    Packets waiting = queueMany(14, SUPPORT_TEST_COMPLETE, 1, 3);
    NTSTATUS released = STATUS_NOT_FOUND;
    while (released == STATUS_NOT_FOUND && std::chrono::steady_clock::now() < deadline) {
        released = release(handle, 14);
    }
    EXPECT_EQ(released, STATUS_SUCCESS);
    starter.join();

    EXPECT_EQ(inside->wait().status, STATUS_SUCCESS);
    for (const auto& p : waiting) {
        EXPECT_EQ(p->wait().status, STATUS_SUCCESS);
    }
    EXPECT_EQ(startIoEvents(),
              (Events{startIo(14, 0), startIo(14, 1), startIo(14, 2), startIo(14, 3)}));
    EXPECT_EQ(busyQueues(handle), 0u);
}

// Thousands of waiting requests that each finish inside the start routine run one after the
// other at one stack depth, far below the platform's kernel stack of 24 KiB.
TEST_F(QueueTest, ADeepQueueFinishingAtOnceDoesNotGrowTheStack) {
    constexpr ULONG kWaiting = 5000;
    auto running = queue(handle, 20, SUPPORT_TEST_HOLD, 0);
    Packets waiting = queueMany(20, SUPPORT_TEST_COMPLETE, 1, kWaiting);
    stackUse(handle);  // forget the first start

    ASSERT_EQ(release(handle, 20), STATUS_SUCCESS);
    for (const auto& p : waiting) {
        ASSERT_EQ(p->wait().status, STATUS_SUCCESS);
    }
    EXPECT_EQ(running->wait().status, STATUS_SUCCESS);
    const SUPPORT_TEST_STACK use = stackUse(handle);
    EXPECT_EQ(use.Starts, kWaiting);
    EXPECT_LT(use.Span, 4096u);
}

enum class Pause { StopThenStart, QueryStopThenCancel };

class StalledQueueTest : public QueueTest, public ::testing::WithParamInterface<Pause> {
  protected:
    NTSTATUS pause() {
        return GetParam() == Pause::StopThenStart ? system.stop(node) : system.queryStop(node);
    }
    NTSTATUS resume() {
        return GetParam() == Pause::StopThenStart ? system.start(node) : system.cancelStop(node);
    }
};

TEST_P(StalledQueueTest, RequestsWaitWhileStoppedAndRunAfterwards) {
    auto running = queue(handle, 4, SUPPORT_TEST_HOLD, 0);
    ASSERT_EQ(pause(), STATUS_SUCCESS);
    EXPECT_EQ(visibleInterfaces(), 1u);

    // A handle opened while stopped works; its requests wait.
    Handle late = open();
    ASSERT_TRUE(late.valid());
    auto waitingOnBusy = queue(late, 4, SUPPORT_TEST_COMPLETE, 1);
    auto waitingOnIdle = queue(late, 8, SUPPORT_TEST_COMPLETE, 2);
    auto cancelled = queue(late, 8, SUPPORT_TEST_COMPLETE, 3);
    ASSERT_EQ(release(handle, 4), STATUS_SUCCESS);  // the request that ran finishes
    EXPECT_EQ(running->wait().status, STATUS_SUCCESS);
    EXPECT_TRUE(cancelled->request->cancel());
    EXPECT_EQ(cancelled->wait().status, STATUS_CANCELLED);
    EXPECT_FALSE(waitingOnBusy->completed());
    EXPECT_FALSE(waitingOnIdle->completed());
    EXPECT_EQ(busyQueues(late), 0u);

    ASSERT_EQ(resume(), STATUS_SUCCESS);
    EXPECT_EQ(waitingOnBusy->wait().status, STATUS_SUCCESS);
    EXPECT_EQ(waitingOnIdle->wait().status, STATUS_SUCCESS);
    EXPECT_EQ(startIoEvents(), (Events{startIo(4, 0), startIo(4, 1), startIo(8, 2)}));
}

INSTANTIATE_TEST_SUITE_P(Pauses, StalledQueueTest,
                         ::testing::Values(Pause::StopThenStart, Pause::QueryStopThenCancel),
                         [](const auto& info) {
                             return info.param == Pause::StopThenStart ? "StopThenStart"
                                                                       : "QueryStopThenCancel";
                         });

TEST_F(QueueTest, SurpriseRemovalFailsWaitingRequestsAndRefusesNewOnes) {
    auto running = queue(handle, 2, SUPPORT_TEST_HOLD, 0);
    auto waiting = queue(handle, 2, SUPPORT_TEST_COMPLETE, 1);
    ASSERT_EQ(system.surpriseRemove(node), STATUS_SUCCESS);
    EXPECT_EQ(waiting->wait().status, STATUS_DELETE_PENDING);
    EXPECT_EQ(visibleInterfaces(), 0u);

    auto refused = queue(handle, 7, SUPPORT_TEST_COMPLETE, 2);
    EXPECT_EQ(refused->wait().status, STATUS_DELETE_PENDING);
    EXPECT_FALSE(running->completed());  // the running request is the driver's to finish
    ASSERT_EQ(release(handle, 2), STATUS_SUCCESS);
    EXPECT_EQ(running->wait().status, STATUS_SUCCESS);

    ASSERT_EQ(system.remove(node), STATUS_SUCCESS);
    EXPECT_EQ(events(), (Events{"StartDevice", "StopDevice", "RemoveDevice"}));
    EXPECT_EQ(startIoEvents(), (Events{startIo(2, 0)}));
}

// A surprise removal that meets a waiting request whose cancel routine runs already leaves the
// request to that routine: it ends once, cancelled, and the others waiting fail as usual.
TEST_F(QueueTest, SurpriseRemovalLeavesARequestBeingCancelledToItsCancelRoutine) {
    auto running = queue(handle, 2, SUPPORT_TEST_HOLD, 0);
    auto cancelling = queue(handle, 2, SUPPORT_TEST_SLOW_CANCEL, 1);
    auto waiting = queue(handle, 2, SUPPORT_TEST_COMPLETE, 2);
    std::thread canceller([&] { cancelling->request->cancel(); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (events() != Events{"StartDevice", "slow cancel"} &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(system.surpriseRemove(node), STATUS_SUCCESS);
    canceller.join();
    EXPECT_EQ(cancelling->wait().status, STATUS_CANCELLED);
    EXPECT_EQ(waiting->wait().status, STATUS_DELETE_PENDING);
    ASSERT_EQ(release(handle, 2), STATUS_SUCCESS);
    EXPECT_EQ(running->wait().status, STATUS_SUCCESS);
    EXPECT_EQ(startIoEvents(), (Events{startIo(2, 0)}));
}

TEST_F(QueueTest, RemoveFailsWaitingRequestsAndWaitsForTheRunningOnes) {
    auto runningA = queue(handle, 3, SUPPORT_TEST_HOLD, 0);
    auto runningB = queue(handle, 19, SUPPORT_TEST_HOLD, 1);
    Packets waiting = queueMany(3, SUPPORT_TEST_COMPLETE, 2, 3);
    waiting.push_back(queue(handle, 19, SUPPORT_TEST_COMPLETE, 5));

    NTSTATUS removeStatus = STATUS_PENDING;
    std::thread remover([&] { removeStatus = system.remove(node); });
    for (const auto& p : waiting) {
        EXPECT_EQ(p->wait().status, STATUS_DELETE_PENDING);
    }
    ASSERT_TRUE(waitUntilRemovalBegan(handle));
    EXPECT_EQ(events(), (Events{"StartDevice"}));  // the running requests hold the device

    ASSERT_EQ(release(handle, 3), STATUS_SUCCESS);
    EXPECT_EQ(runningA->wait().status, STATUS_SUCCESS);
    ASSERT_EQ(release(handle, 19), STATUS_SUCCESS);
    EXPECT_EQ(runningB->wait().status, STATUS_SUCCESS);
    remover.join();

    EXPECT_EQ(removeStatus, STATUS_SUCCESS);
    EXPECT_EQ(events(), (Events{"StartDevice", "StopDevice", "RemoveDevice"}));
    EXPECT_EQ(startIoEvents(), (Events{startIo(3, 0), startIo(19, 1)}));
}

TEST_F(QueueTest, RemoveOfAStoppedDeviceFailsItsWaitingRequests) {
    ASSERT_EQ(system.stop(node), STATUS_SUCCESS);
    Packets waiting = queueMany(11, SUPPORT_TEST_COMPLETE, 1, 4);
    ASSERT_EQ(system.remove(node), STATUS_SUCCESS);
    for (const auto& p : waiting) {
        EXPECT_EQ(p->wait().status, STATUS_DELETE_PENDING);
    }
    EXPECT_TRUE(startIoEvents().empty());
    EXPECT_EQ(events(), (Events{"StartDevice", "StopDevice", "RemoveDevice"}));
}

// Requests the library ends without the start routine: one handed over without a cancel routine
// (it could never be cancelled while it waits), one cancelled before it reached the queue.
TEST_F(QueueTest, RequestsThatCannotWaitNeverReachTheStartRoutine) {
    auto noCancel = queue(handle, 0, SUPPORT_TEST_NO_CANCEL_ROUTINE, 1);
    EXPECT_EQ(noCancel->wait().status, STATUS_INVALID_PARAMETER);
    auto cancelled = queue(handle, 0, SUPPORT_TEST_CANCELLED_FIRST, 2);
    EXPECT_EQ(cancelled->wait().status, STATUS_CANCELLED);
    EXPECT_TRUE(startIoEvents().empty());
    auto next = queue(handle, 0, SUPPORT_TEST_COMPLETE, 3);
    EXPECT_EQ(next->wait().status, STATUS_SUCCESS);
    EXPECT_EQ(startIoEvents(), (Events{startIo(0, 3)}));
}

// CancelRequest ends the request it is given wherever it is: waiting in another queue of the
// device than the one the driver names, or in none (the driver kept it after its start).
TEST_F(QueueTest, CancelRequestEndsTheRequestWhereverItWaits) {
    auto running = queue(handle, 5, SUPPORT_TEST_HOLD, 1);
    auto misnamed = queue(handle, 5, SUPPORT_TEST_CANCEL_NAMES_NEXT_QUEUE, 2);
    auto behind = queue(handle, 5, SUPPORT_TEST_COMPLETE, 3);
    EXPECT_TRUE(misnamed->request->cancel());
    EXPECT_EQ(misnamed->wait().status, STATUS_CANCELLED);

    auto parked = queue(handle, 6, SUPPORT_TEST_PARK, 4);
    EXPECT_EQ(busyQueues(handle), bit(5)) << "queue 6 went on";
    EXPECT_TRUE(parked->request->cancel());
    EXPECT_EQ(parked->wait().status, STATUS_CANCELLED);

    ASSERT_EQ(release(handle, 5), STATUS_SUCCESS);
    EXPECT_EQ(running->wait().status, STATUS_SUCCESS);
    EXPECT_EQ(behind->wait().status, STATUS_SUCCESS);
    EXPECT_EQ(startIoEvents(), (Events{startIo(5, 1), startIo(6, 4), startIo(5, 3)}));
}

}  // namespace
}  // namespace sim
