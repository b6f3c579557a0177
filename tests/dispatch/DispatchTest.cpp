#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "dispatch/ReadWriteQueue.h"
#include "dispatch/SerialQueue.h"

using namespace velkor::dispatch;
using namespace std::chrono_literals;

TEST(SerialQueueTest, RunsBlocksOneAtATimeAndPassesResultsAndErrors) {
    SerialQueue queue("LookupMapOfContainers");
    EXPECT_EQ(queue.label(), "LookupMapOfContainers");
    int inside = 0;
    int maxInside = 0;
    long total = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                queue.sync([&] {
                    maxInside = std::max(maxInside, ++inside);
                    ++total;
                    --inside;
                });
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(maxInside, 1);
    EXPECT_EQ(total, 8000);
    EXPECT_EQ(queue.sync([] { return 5; }), 5);
    EXPECT_THROW(queue.sync([]() -> int { throw std::logic_error("x"); }), std::logic_error);
    EXPECT_EQ(queue.sync([] { return 6; }), 6);  // the throw released the queue
}

TEST(ReadWriteQueueTest, ReadersShareAndBarriersRunAlone) {
    ReadWriteQueue queue("VKContainer_items_X");
    std::atomic<int> readers{0};
    std::atomic<int> maxReaders{0};
    std::atomic<bool> writerInside{false};
    std::atomic<int> violations{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 3000; ++i) {
                if ((i + t) % 10 == 0) {
                    queue.syncBarrier([&] {
                        if (readers.load() != 0 || writerInside.exchange(true))
                            ++violations;
                        writerInside = false;
                    });
                } else {
                    queue.sync([&] {
                        int now = ++readers;
                        int seen = maxReaders.load();
                        while (now > seen && !maxReaders.compare_exchange_weak(seen, now)) {
                        }
                        if (writerInside.load())
                            ++violations;
                        --readers;
                    });
                }
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(violations.load(), 0);

    // A lock that cannot be taken (here: entered again from its own barrier) throws instead of
    // running the block unlocked, and the barrier still holds the queue.
    bool ranUnlocked = false;
    queue.syncBarrier([&] {
        EXPECT_THROW(queue.syncBarrier([&] { ranUnlocked = true; }), std::system_error);
        EXPECT_THROW(queue.sync([&] { ranUnlocked = true; }), std::system_error);
    });
    EXPECT_FALSE(ranUnlocked);
    EXPECT_EQ(queue.syncBarrier([] { return 7; }), 7);
}

TEST(ReadWriteQueueTest, WaitingBarrierIsNotStarvedByNewReaders) {
    ReadWriteQueue queue("q");
    std::atomic<bool> stop{false};
    std::atomic<bool> firstReaderIn{false};
    // Readers keep overlapping each other, so the lock is never free of readers unless
    // a waiting writer holds new readers back.
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            while (!stop) {
                queue.sync([&] {
                    firstReaderIn = true;
                    std::this_thread::sleep_for(1ms);
                });
            }
        });
    }
    while (!firstReaderIn)
        std::this_thread::yield();
    std::atomic<bool> wrote{false};
    std::thread writer([&] { queue.syncBarrier([&] { wrote = true; }); });
    for (int i = 0; i < 5000 && !wrote; ++i)
        std::this_thread::sleep_for(1ms);
    bool writerGotIn = wrote;
    stop = true;
    writer.join();
    for (auto& r : readers)
        r.join();
    EXPECT_TRUE(writerGotIn) << "a barrier waited more than 5 s behind readers";
}

TEST(ReadWriteQueueTest, BarrierWaitsForReadersThatDidNotTakeTheLock) {
    ReadWriteQueue queue("q");
    queue.sync([] {});  // a reader on the lock favours the readers that follow
    std::atomic<bool> readerInside{false};
    std::atomic<bool> releaseReader{false};
    std::atomic<bool> wrote{false};
    std::atomic<bool> readerSawWrite{false};
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
    bool wroteWhileReading = wrote;
    releaseReader = true;
    reader.join();
    writer.join();
    EXPECT_FALSE(wroteWhileReading);
    EXPECT_FALSE(readerSawWrite);
    EXPECT_TRUE(wrote);
    // After the barrier, readers still share the queue and see what it wrote.
    EXPECT_TRUE(queue.sync([&] { return wrote.load(); }));
}
