#include "kit/ThreadFlow.h"
#include "TestSupport.h"
#include "kit/OperationQueue.h"
#include "kit/QueueRegistry.h"
#include "kit/QueueSync.h"
#include "kit/QueueTimer.h"
#include "platform/MainThread.h"
#include "platform/SerialQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using testsupport::waitFor;
using Clock = std::chrono::steady_clock;

namespace {

double secondsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

// Pumps the main loop for the given time, so flow blocks can run meanwhile.
void pump(std::chrono::milliseconds duration)
{
    const auto end = Clock::now() + duration;
    waitFor([&] { return Clock::now() >= end; }, duration + 1s);
}

} // namespace

TEST(QueueTimer, FiresOnItsQueueAfterTheStartThenRepeatsUntilCancelled)
{
    SerialQueue queue("timer");
    std::atomic<int> firings{0};
    std::atomic<bool> offQueue{false};
    const auto created = Clock::now();
    std::atomic<Clock::rep> firstFiring{0};
    QueueTimer timer(queue, 60ms, 5ms, 1ms, [&] {
        if (!queue.isCurrent())
            offQueue = true;
        if (firings.fetch_add(1) == 0)
            firstFiring = (Clock::now() - created).count();
    });
    ASSERT_TRUE(waitFor([&] { return firings.load() >= 5; }));
    EXPECT_GE(Clock::duration(firstFiring.load()), 60ms);
    EXPECT_FALSE(offQueue);

    QueueSync::sync(queue, [&] { timer.cancel(); });
    const int atCancel = firings.load();
    std::this_thread::sleep_for(40ms);
    queue.waitUntilIdle();
    EXPECT_EQ(firings.load(), atCancel);
}

TEST(QueueTimer, CancelledFromItsOwnHandlerFiresOnce)
{
    SerialQueue queue("timer self");
    std::atomic<int> firings{0};
    QueueTimer* self = nullptr;
    QueueTimer timer(queue, 1ms, 1ms, 0ms, [&] {
        ++firings;
        self->cancel();
    });
    QueueSync::sync(queue, [&] { self = &timer; }); // published before the first firing runs
    ASSERT_TRUE(waitFor([&] { return firings.load() >= 1; }));
    std::this_thread::sleep_for(20ms);
    queue.waitUntilIdle();
    EXPECT_EQ(firings.load(), 1);
}

TEST(OperationQueue, RunsAtMostTheBoundAtOnceAndCountsRunningOperations)
{
    OperationQueue queue(2);
    std::atomic<int> running{0};
    std::atomic<int> mostAtOnce{0};
    std::atomic<int> done{0};
    for (int i = 0; i < 12; ++i) {
        queue.addOperation([&] {
            const int now = running.fetch_add(1) + 1;
            int seen = mostAtOnce.load();
            while (now > seen && !mostAtOnce.compare_exchange_weak(seen, now)) {
            }
            std::this_thread::sleep_for(10ms);
            running.fetch_sub(1);
            ++done;
        });
    }
    EXPECT_GT(queue.operationCount(), 0);
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(done.load(), 12);
    EXPECT_EQ(mostAtOnce.load(), 2);
    EXPECT_EQ(queue.operationCount(), 0);

    std::atomic<int> countInside{-1};
    queue.addOperation([&] { countInside = queue.operationCount(); });
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(countInside.load(), 1); // an operation counts itself while it runs
}

TEST(OperationQueue, DestructionDropsWhatHasNotStartedAndWaitsForWhatRuns)
{
    std::atomic<bool> firstFinished{false};
    std::atomic<int> started{0};
    {
        OperationQueue queue(1);
        queue.addOperation([&] {
            ++started;
            std::this_thread::sleep_for(30ms);
            firstFinished = true;
        });
        for (int i = 0; i < 5; ++i)
            queue.addOperation([&] { ++started; });
        ASSERT_TRUE(waitFor([&] { return started.load() >= 1; }));
    }
    EXPECT_TRUE(firstFinished);
    EXPECT_EQ(started.load(), 1);
}

TEST(ThreadFlow, TenSubmissionsInABurstGiveOneCompletionADelayAfterTheLast)
{
    int completions = 0;
    Clock::time_point completedAt;
    ThreadFlow* flow = ThreadFlow::flowNamed("test.burst", 1.0f, [&] {
        EXPECT_TRUE(MainThread::isCurrent());
        ++completions;
        completedAt = Clock::now();
    });

    std::vector<int> ran;
    bool offMain = false;
    Clock::time_point lastBlockAt;
    for (int i = 0; i < 10; ++i) {
        flow->execute([&, i] {
            offMain = offMain || !MainThread::isCurrent();
            ran.push_back(i);
            lastBlockAt = Clock::now();
        });
        pump(100ms);
    }
    ASSERT_TRUE(waitFor([&] { return completions > 0; }, 5s));
    pump(300ms); // a second completion would come within this
    EXPECT_EQ(completions, 1);
    EXPECT_FALSE(offMain);
    EXPECT_EQ(ran, std::vector<int>({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    const double gap = secondsBetween(lastBlockAt, completedAt);
    EXPECT_GE(gap, 1.0);
    EXPECT_LT(gap, 1.3);
    EXPECT_EQ(flow->state(), ThreadFlow::State::Idle);
}

TEST(ThreadFlow, NewSubmissionPushesTheCompletionBackAndTheFirstRegistrationStays)
{
    int completions = 0;
    int second = 0;
    ThreadFlow* flow = ThreadFlow::flowNamed("test.pushback", 0.3f, [&] { ++completions; });
    EXPECT_EQ(ThreadFlow::flowNamed("test.pushback", 5.0f, [&] { ++second; }), flow);
    flow->execute(); // an empty submission still schedules the completion
    pump(200ms);
    EXPECT_EQ(flow->state(), ThreadFlow::State::Waiting);
    flow->execute(); // 200 ms in: cancels the timer that would fire at 300 ms
    pump(200ms);
    EXPECT_EQ(completions, 0);
    ASSERT_TRUE(waitFor([&] { return completions > 0; }, 3s));
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(second, 0);
}

TEST(ThreadFlow, WithoutCompletionTheFlowFallsIdleAndRunsNothing)
{
    ThreadFlow* flow = ThreadFlow::flowNamed("test.nocompletion", 0.1f, {});
    bool ran = false;
    flow->execute([&] { ran = true; });
    ASSERT_TRUE(waitFor([&] { return ran; }));
    ASSERT_TRUE(waitFor([&] { return flow->state() == ThreadFlow::State::Idle; }, 3s));

    // A completion set later is for later bursts only.
    int completions = 0;
    flow->setCompletionBlock([&] { ++completions; });
    pump(200ms);
    EXPECT_EQ(completions, 0);
    flow->execute();
    EXPECT_TRUE(waitFor([&] { return completions == 1; }, 3s));
}

TEST(ThreadFlow, ManyThreadsSubmittingAtOnceStillGiveOneCompletion)
{
    int completions = 0;
    int blocks = 0;
    ThreadFlow* flow = ThreadFlow::flowNamed("test.threads", 0.2f, [&] { ++completions; });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i)
                flow->execute([&] { ++blocks; }); // blocks run on the main thread only
        });
    for (auto& thread : threads)
        thread.join();
    ASSERT_TRUE(waitFor([&] { return completions > 0; }, 10s));
    pump(300ms);
    EXPECT_EQ(blocks, 100);
    EXPECT_EQ(completions, 1);
}

TEST(ThreadFlow, DestroyedWhileBlocksWaitForTheMainThreadDoesNotHang)
{
    std::atomic<int> ran{0};
    {
        ThreadFlow flow;
        for (int i = 0; i < 5; ++i)
            flow.execute([&] { ++ran; });
        // The main thread does not pump here, so the first block is stuck
        // waiting for it when the flow goes away.
        std::this_thread::sleep_for(20ms);
    }
    MainThread::flush(); // the stranded block may still run, harmlessly
    EXPECT_LE(ran.load(), 1);
}

TEST(SerialQueueNamed, EqualNamesShareAQueueAndOtherNamesDoNot)
{
    SerialQueue& a = serialQueueNamed("test.queue.a");
    SerialQueue& again = serialQueueNamed(QStringLiteral("test.queue.a"));
    SerialQueue& b = serialQueueNamed("test.queue.b");
    EXPECT_EQ(&a, &again);
    EXPECT_NE(&a, &b);

    std::vector<SerialQueue*> fromThreads(8);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] { fromThreads[t] = &serialQueueNamed("test.queue.race"); });
    for (auto& thread : threads)
        thread.join();
    for (SerialQueue* queue : fromThreads)
        EXPECT_EQ(queue, fromThreads[0]);
}
