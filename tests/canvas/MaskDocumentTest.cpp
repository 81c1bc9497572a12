#include "canvas/MaskDocument.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <new>
#include <vector>

TEST(MaskDocument, ATaskThatThrowsIsReportedForItsPictureAndTheQueueGoesOn)
{
    // Thrown on the serial queue's thread, the exception used to end the process.
    std::atomic<int> publishes{0};
    std::mutex mutex;
    std::vector<std::pair<std::uint64_t, QString>> failures;
    MaskDocument document({[&](const QImage&, const QRect&) {
                               if (publishes++ == 0)
                                   throw std::bad_alloc();
                           },
                           [] {},
                           [&](std::uint64_t picture, const QString& reason) {
                               std::lock_guard lock(mutex);
                               failures.emplace_back(picture, reason);
                           }});
    document.setPicture({300, 200});
    document.waitUntilIdle();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].first, document.drain().generation());
    EXPECT_EQ(failures[0].second, "std::bad_alloc");
    EXPECT_EQ(document.history().length(), 1); // the tasks behind it still ran
    document.drain().buffer().append({10, 10, 20, 20});
    document.updateMap();
    document.waitUntilIdle();
    EXPECT_EQ(publishes.load(), 2);
}
