#include "TestSupport.h"
#include "platform/Allocator.h"
#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "platform/ParallelFor.h"
#include "platform/SerialQueue.h"
#include "platform/SystemLog.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QStringList>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

using testsupport::waitFor;

TEST(SerialQueue, RunsTasksInSubmissionOrderOneAtATime)
{
    SerialQueue queue("order");
    std::vector<int> seen; // touched only by the queue's worker, then read after the wait
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 200; ++i) {
        queue.async([&, i] {
            if (running.fetch_add(1) != 0)
                overlapped = true;
            seen.push_back(i);
            running.fetch_sub(1);
        });
    }
    std::atomic<bool> inside{false};
    queue.async([&] { inside = queue.isCurrent(); });
    queue.waitUntilIdle();
    std::vector<int> expected(200);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(seen, expected);
    EXPECT_FALSE(overlapped);
    EXPECT_TRUE(inside); // current on its worker only
    EXPECT_FALSE(queue.isCurrent());
}

TEST(SerialQueue, AcceptsSubmissionsFromManyThreadsAndFromItsOwnTasks)
{
    SerialQueue queue("many");
    std::atomic<int> count{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i)
                queue.async([&] {
                    ++count;
                    if (count % 50 == 0)
                        queue.async([&] { ++count; }); // a task queueing a task
                });
        });
    for (auto& thread : threads)
        thread.join();
    queue.waitUntilIdle();
    EXPECT_EQ(count.load(), 400 + 8);
}

TEST(SerialQueue, DestructionRunsWhatIsQueuedAndJoins)
{
    std::atomic<int> count{0};
    {
        SerialQueue queue("drain");
        for (int i = 0; i < 50; ++i)
            queue.async([&] {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
                ++count;
            });
    }
    EXPECT_EQ(count.load(), 50);
}

TEST(MainThread, AsyncRunsLaterAndSyncWaitsOnTheMainThread)
{
    bool ran = false;
    MainThread::async([&] { ran = MainThread::isCurrent(); });
    EXPECT_FALSE(ran); // not at once, even from the main thread
    EXPECT_TRUE(waitFor([&] { return ran; }));
    int inlineValue = 0;
    MainThread::sync([&] { inlineValue = 1; }); // on the main thread: at once, no deadlock
    EXPECT_EQ(inlineValue, 1);

    std::atomic<int> value{0};
    std::atomic<bool> returned{false};
    std::atomic<bool> asyncOnMain{false};
    std::thread worker([&] {
        MainThread::async([&] { asyncOnMain = MainThread::isCurrent(); });
        MainThread::sync([&] { value = MainThread::isCurrent() ? 7 : -1; });
        // The call has finished by the time sync returns.
        EXPECT_EQ(value.load(), 7);
        returned = true;
    });
    EXPECT_TRUE(waitFor([&] { return returned.load() && asyncOnMain.load(); }));
    worker.join();
}

TEST(ParallelFor, CallsThatThrowAllRunAndTheCallerGetsTheException)
{
    // Thrown on a pool thread, the exception used to end the process; thrown
    // on the caller's, it left helpers running on a body that had gone.
    std::atomic<int> calls{0};
    EXPECT_THROW(ParallelFor::run(64,
                                  [&](int) {
                                      ++calls;
                                      std::this_thread::sleep_for(std::chrono::microseconds(200));
                                      throw std::bad_alloc();
                                  }),
                 std::bad_alloc);
    EXPECT_EQ(calls.load(), 64);
}

TEST(NotificationCenter, PostsReachObserversOfThatNameAndMayComeFromThreadsAndRegisterMore)
{
    auto& center = NotificationCenter::defaultCenter();
    std::atomic<int> count{0};
    int other = 0;
    std::once_flag once;
    NotificationCenter::Token late = 0;
    const auto token = center.addObserver("test.c", [&](const void* sender) {
        if (sender == &count)
            ++count;
        std::call_once(
            once, [&] { late = center.addObserver("test.other", [&](const void*) { ++other; }); });
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i)
                center.post("test.c", &count);
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(count.load(), 200);
    EXPECT_EQ(other, 0);
    center.removeObserver(token);
    center.post("test.c", &count);
    EXPECT_EQ(count.load(), 200);
    center.post("test.other");
    EXPECT_EQ(other, 1);
    center.removeObserver(late);
}

namespace {

long residentMb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong() / 1024;
    return -1;
}

} // namespace

// The heap keeps freed pictures for reuse; once the next picture is in,
// releaseFree hands what is left over back, wherever in the heap it lies.
TEST(Allocator, FreedPicturesGoBackToTheSystemOnRelease)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers bring allocators of their own";
#else
    Allocator::tuneForPictures();
    const long before = residentMb();
    std::vector<std::unique_ptr<char[]>> blocks;
    for (size_t mb : {96, 24, 6, 24, 48}) {
        blocks.emplace_back(new char[mb << 20]);
        std::memset(blocks.back().get(), 1, mb << 20);
    }
    std::unique_ptr<char[]> kept(new char[1 << 20]); // pins the heap's top
    blocks.clear();
    EXPECT_GT(residentMb() - before, 150) << "freed, yet kept for reuse";
    Allocator::releaseFree();
    EXPECT_LT(residentMb() - before, 20);
#endif
}
