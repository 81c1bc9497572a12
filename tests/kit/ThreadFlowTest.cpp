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

// Pumps the main loop for the given time, so flow blocks can run meanwhile.
void pump(std::chrono::milliseconds duration)
{
    const auto end = Clock::now() + duration;
    waitFor([&] { return Clock::now() >= end; }, duration + 1s);
}

} // namespace

TEST(QueueTimer, FiresOnItsQueueAfterTheStartRepeatsAndStopsWhenCancelledEvenFromItsHandler)
{
    SerialQueue queue("timer");
    std::atomic<int> firings{0}, selfCancelled{0};
    std::atomic<bool> offQueue{false};
    const auto created = Clock::now();
    std::atomic<Clock::rep> firstFiring{0};
    QueueTimer timer(queue, 60ms, 5ms, 1ms, [&] {
        offQueue = offQueue || !queue.isCurrent();
        if (firings.fetch_add(1) == 0)
            firstFiring = (Clock::now() - created).count();
    });
    QueueTimer* self = nullptr;
    QueueTimer once(queue, 1ms, 1ms, 0ms, [&] {
        ++selfCancelled;
        self->cancel();
    });
    QueueSync::sync(queue, [&] { self = &once; }); // published before its first firing runs
    ASSERT_TRUE(waitFor([&] { return firings.load() >= 5; }));
    EXPECT_GE(Clock::duration(firstFiring.load()), 60ms);
    EXPECT_FALSE(offQueue);
    QueueSync::sync(queue, [&] { timer.cancel(); });
    const int atCancel = firings.load();
    std::this_thread::sleep_for(40ms);
    queue.waitUntilIdle();
    EXPECT_EQ(firings.load(), atCancel);
    EXPECT_EQ(selfCancelled.load(), 1);
}

TEST(OperationQueue, RunsAtMostTheBoundAtOnceAndDestructionDropsWhatHasNotStarted)
{
    std::atomic<int> running{0}, mostAtOnce{0}, done{0};
    {
        OperationQueue queue(2);
        for (int i = 0; i < 12; ++i)
            queue.addOperation([&] {
                const int now = running.fetch_add(1) + 1;
                int seen = mostAtOnce.load();
                while (now > seen && !mostAtOnce.compare_exchange_weak(seen, now)) {
                }
                std::this_thread::sleep_for(10ms);
                running.fetch_sub(1);
                ++done;
            });
        queue.waitUntilAllOperationsAreFinished();
        EXPECT_EQ(done.load(), 12);
        EXPECT_EQ(mostAtOnce.load(), 2);
        std::atomic<int> countInside{-1};
        queue.addOperation([&] { countInside = queue.operationCount(); });
        queue.waitUntilAllOperationsAreFinished();
        EXPECT_EQ(countInside.load(), 1); // an operation counts itself while it runs
    }
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
    EXPECT_TRUE(firstFinished); // waited for
    EXPECT_EQ(started.load(), 1);
}

TEST(ThreadFlow, NewSubmissionPushesTheCompletionBackAndTheFirstRegistrationStays)
{
    int completions = 0;
    int second = 0;
    ThreadFlow* flow = ThreadFlow::flowNamed("test.pushback", 0.3f, [&] { ++completions; });
    EXPECT_EQ(ThreadFlow::flowNamed("test.pushback", 5.0f, [&] { ++second; }), flow);
    flow->execute(); // an empty submission still schedules the completion
    pump(200ms);
    flow->execute(); // 200 ms in: cancels the timer that would fire at 300 ms
    pump(200ms);
    EXPECT_EQ(completions, 0);
    ASSERT_TRUE(waitFor([&] { return completions > 0; }, 3s));
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(second, 0);
}

// A burst from several threads runs every block on the main thread and
// gives one completion, there too, the flow's delay after the last block.
TEST(ThreadFlow, ABurstFromManyThreadsGivesOneCompletionADelayAfterTheLastBlock)
{
    int completions = 0, blocks = 0;
    bool offMain = false;
    Clock::time_point completedAt, lastBlockAt;
    ThreadFlow* flow = ThreadFlow::flowNamed("test.threads", 0.3f, [&] {
        offMain = offMain || !MainThread::isCurrent();
        ++completions;
        completedAt = Clock::now();
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i)
                flow->execute([&] {
                    offMain = offMain || !MainThread::isCurrent();
                    ++blocks;
                    lastBlockAt = Clock::now();
                });
        });
    for (auto& thread : threads)
        thread.join();
    ASSERT_TRUE(waitFor([&] { return completions > 0; }, 10s));
    pump(400ms); // a second completion would come within this
    EXPECT_EQ(blocks, 100);
    EXPECT_EQ(completions, 1);
    EXPECT_FALSE(offMain);
    const double gap = std::chrono::duration<double>(completedAt - lastBlockAt).count();
    EXPECT_GE(gap, 0.3);
    EXPECT_LT(gap, 0.6);
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
    EXPECT_NE(&serialQueueNamed("test.queue.a"), &serialQueueNamed("test.queue.b"));
    std::vector<SerialQueue*> fromThreads(8);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] { fromThreads[t] = &serialQueueNamed("test.queue.race"); });
    for (auto& thread : threads)
        thread.join();
    for (SerialQueue* queue : fromThreads)
        EXPECT_EQ(queue, fromThreads[0]);
}
