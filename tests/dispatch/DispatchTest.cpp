#include <gtest/gtest.h>

#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

#include "dispatch/ReadWriteQueue.h"
#include "dispatch/SerialQueue.h"
#include "support/OnThreads.h"

using namespace velkor::dispatch;
using namespace std::chrono_literals;
using velkor::test::onThreads;

TEST(SerialQueueTest, RunsBlocksOneAtATimeAndAThrowReleasesIt) {
    SerialQueue queue("LookupMapOfContainers");
    int inside = 0, maxInside = 0, total = 0;
    onThreads(4, [&](int) {
        for (int i = 0; i < 2000; ++i)
            queue.sync([&] {
                maxInside = std::max(maxInside, ++inside);
                ++total;
                --inside;
            });
    });
    EXPECT_EQ(maxInside, 1);
    EXPECT_EQ(total, 8000);
    EXPECT_THROW(queue.sync([]() -> int { throw std::logic_error("x"); }), std::logic_error);
    EXPECT_EQ(queue.sync([] { return 6; }), 6);
}

TEST(ReadWriteQueueTest, BarriersRunAloneAndALockThatCannotBeTakenRunsNothing) {
    ReadWriteQueue queue("VKContainer_items_X");
    std::atomic<int> readers{0};
    std::atomic<bool> writerInside{false};
    std::atomic<int> violations{0};
    onThreads(4, [&](int t) {
        for (int i = 0; i < 3000; ++i) {
            if ((i + t) % 10 == 0) {
                queue.syncBarrier([&] {
                    if (readers.load() != 0 || writerInside.exchange(true))
                        ++violations;
                    writerInside = false;
                });
            } else {
                queue.sync([&] {
                    ++readers;
                    if (writerInside.load())
                        ++violations;
                    --readers;
                });
            }
        }
    });
    EXPECT_EQ(violations.load(), 0);

    // Entered again from its own barrier, the lock cannot be taken: that throws instead of
    // running the block unlocked, and the barrier still holds the queue.
    bool ranUnlocked = false;
    queue.syncBarrier([&] {
        EXPECT_THROW(queue.syncBarrier([&] { ranUnlocked = true; }), std::system_error);
        EXPECT_THROW(queue.sync([&] { ranUnlocked = true; }), std::system_error);
    });
    EXPECT_FALSE(ranUnlocked);
    EXPECT_EQ(queue.syncBarrier([] { return 7; }), 7);
}

TEST(ReadWriteQueueTest, AWaitingBarrierIsNotStarvedByOverlappingReaders) {
    ReadWriteQueue queue("q");
    std::atomic<bool> stop{false}, readerIn{false}, wrote{false};
    std::thread writer([&] {
        while (!readerIn)
            std::this_thread::yield();
        queue.syncBarrier([&] { wrote = true; });
    });
    // Readers keep overlapping: the lock is never free of them unless the waiting barrier holds
    // new ones back.
    onThreads(3, [&](int t) {
        for (int i = 0; !stop; ++i) {
            queue.sync([&] {
                readerIn = true;
                std::this_thread::sleep_for(1ms);
            });
            if (t == 0 && (wrote || i == 5000))
                stop = true;
        }
    });
    EXPECT_TRUE(wrote) << "a barrier waited behind 5000 reads";
    stop = true;
    writer.join();
}

TEST(ReadWriteQueueTest, ABarrierWaitsForAReaderAlreadyInside) {
    ReadWriteQueue queue("q");
    queue.sync([] {});  // a reader on the lock favours the readers that follow
    std::atomic<bool> readerInside{false}, releaseReader{false}, wrote{false},
        readerSawWrite{false};
    std::thread reader([&] {
        queue.sync([&] {
            readerInside = true;
            while (!releaseReader)
                std::this_thread::yield();
            readerSawWrite = wrote.load();
        });
    });
    while (!readerInside)
        std::this_thread::yield();
    std::thread writer([&] { queue.syncBarrier([&] { wrote = true; }); });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(wrote);
    releaseReader = true;
    reader.join();
    writer.join();
    EXPECT_FALSE(readerSawWrite);
    EXPECT_TRUE(queue.sync([&] { return wrote.load(); }));
}
