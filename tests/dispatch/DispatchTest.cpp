#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <system_error>
#include <thread>
#include <utility>

#include "dispatch/ReadWriteQueue.h"
#include "dispatch/SerialQueue.h"
#include "support/OnThreads.h"

using namespace velkor::dispatch;
using namespace std::chrono_literals;
using velkor::test::onThreads;

// A serial queue runs one block at a time, a read/write queue its barriers alone; a block that
// throws releases the queue.
TEST(QueueTest, SerialBlocksAndBarriersRunAloneAndAThrowReleasesTheQueue) {
    SerialQueue serial("LookupMapOfContainers");
    ReadWriteQueue queue;
    std::atomic<int> readers{0}, violations{0};
    std::atomic<bool> writerInside{false};
    int inside = 0;
    onThreads(4, [&](int t) {
        for (int i = 0; i < 3000; ++i) {
            serial.sync([&] { violations += ++inside != 1, --inside; });
            if ((i + t) % 10 == 0) {
                queue.syncBarrier([&] {
                    violations += readers.load() != 0 || writerInside.exchange(true);
                    writerInside = false;
                });
            } else {
                queue.sync([&] {
                    ++readers;
                    violations += writerInside.load();
                    --readers;
                });
            }
        }
    });
    EXPECT_EQ(violations.load(), 0);
    EXPECT_THROW(serial.sync([]() -> int { throw std::logic_error("x"); }), std::logic_error);
    EXPECT_EQ(serial.sync([] { return 6; }), 6);
    EXPECT_THROW(queue.syncBarrier([]() -> int { throw std::logic_error("x"); }), std::logic_error);

    // Entered again from its own barrier, the lock cannot be taken: that throws instead of running
    // the block unlocked, and the barrier still holds the queue.
    bool ranUnlocked = false;
    queue.syncBarrier([&] {
        EXPECT_THROW(queue.syncBarrier([&] { ranUnlocked = true; }), std::system_error);
        EXPECT_THROW(queue.sync([&] { ranUnlocked = true; }), std::system_error);
    });
    EXPECT_FALSE(ranUnlocked);
    EXPECT_EQ(queue.syncBarrier([] { return 7; }), 7);
}

// Readers keep overlapping: the lock is never free of them unless a waiting barrier holds new ones
// back. A barrier waits for the readers already inside, also for those that entered without the
// lock while readers were favoured.
TEST(QueueTest, AWaitingBarrierIsNotStarvedByOverlappingReadersNorRunsBesideThem) {
    ReadWriteQueue queue;
    std::atomic<bool> stop{false}, readerIn{false}, wrote{false};
    std::atomic<int> sawWrite{0};
    std::thread writer([&] {
        while (!readerIn)
            std::this_thread::yield();
        queue.syncBarrier([&] { wrote = true; });
    });
    onThreads(3, [&](int t) {
        for (int i = 0; !stop; ++i) {
            queue.sync([&] {
                readerIn = true;
                const bool before = wrote;
                std::this_thread::sleep_for(1ms);
                sawWrite += wrote != before;
            });
            stop = stop || (t == 0 && (wrote || i == 5000));
        }
    });
    EXPECT_TRUE(wrote) << "a barrier waited behind 5000 reads";
    EXPECT_EQ(sawWrite.load(), 0);
    writer.join();
}

// Timed entries give up at their deadline without running their block while a barrier holds
// the queue, and otherwise run it as the untimed ones do: a barrier alone, readers together.
TEST(QueueTest, TimedEntriesGiveUpAtTheirDeadline) {
    ReadWriteQueue queue;
    std::atomic<bool> holding{false}, release{false};
    std::thread holder([&] {
        queue.syncBarrier([&] {
            holding = true;
            while (!release)
                std::this_thread::sleep_for(1ms);
        });
    });
    while (!holding)
        std::this_thread::yield();
    bool ran = false;
    const auto soon = [] { return std::chrono::steady_clock::now() + 50ms; };
    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(queue.syncBarrierUntil(soon(), [&] { ran = true; }));
    EXPECT_FALSE(queue.syncUntil(soon(), [&] { ran = true; }));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 100ms);
    EXPECT_FALSE(queue.trySync([&] { ran = true; }));
    EXPECT_FALSE(ran);
    release = true;
    holder.join();
    EXPECT_TRUE(queue.trySync([&] { ran = true; }));
    EXPECT_TRUE(std::exchange(ran, false));

    std::atomic<int> readers{0}, overlapped{0};
    onThreads(2, [&](int) {
        EXPECT_TRUE(queue.syncUntil(soon() + 5s, [&] {
            ++readers;
            for (int i = 0; i < 200 && readers < 2; ++i)
                std::this_thread::sleep_for(1ms);
            overlapped += readers == 2;
            --readers;
        }));
    });
    EXPECT_GT(overlapped.load(), 0) << "readers run together";
    EXPECT_TRUE(queue.syncBarrierUntil(soon(), [&] { ran = true; }));
    EXPECT_TRUE(ran);
}

// While the queues are read far more than written, readers announce themselves in their own
// thread's record instead of taking the lock; bursts of barriers withdraw that favour and quiet
// spells bring it back, while reader threads end and new ones take their records over. No
// barrier runs beside a reader of either kind (the pairs are plain fields, which
// ThreadSanitizer watches), a reader inside two queues sees both pairs whole, and a thread
// inside more queues than its record has slots takes the locks for the rest.
TEST(QueueTest, ReadersWithOrWithoutTheLockNeverRunBesideABarrier) {
    constexpr int kQueues = 8;
    ReadWriteQueue queues[kQueues];
    struct Pair {
        long a = 0, b = 0;
    } pairs[kQueues];
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0}, bursts{0};
    std::thread writer([&] {
        for (int burst = 0; !stop; bursts = ++burst) {
            for (int i = 0; i < 16; ++i)
                queues[i % 2].syncBarrier([&, i] {
                    ++pairs[i % 2].a;
                    std::this_thread::yield();
                    ++pairs[i % 2].b;
                });
            std::this_thread::sleep_for(burst % 2 ? 2ms : 0ms);
        }
    });
    // Reads `depth` queues nested, from queue `from` on; checks each pair on the way in.
    std::function<void(int, int, bool)> readNested = [&](int from, int depth, bool timed) {
        const auto check = [&] {
            torn += pairs[from].a != pairs[from].b;
            if (depth > 1)
                readNested((from + 1) % kQueues, depth - 1, timed);
        };
        if (timed)
            EXPECT_TRUE(queues[from].syncUntil(std::chrono::steady_clock::now() + 5s, check));
        else
            queues[from].sync(check);
    };
    for (int generation = 0; generation < 4; ++generation) {
        onThreads(3, [&](int t) {
            // Each generation reads through two bursts at least, and through quiet spells.
            for (int i = 0; i < 3000 || bursts < 2 * (generation + 1); ++i)
                readNested(i % 2, t == 2 && i % 100 == 0 ? kQueues : 1 + t, t == 1);
        });
    }
    stop = true;
    writer.join();
    EXPECT_EQ(torn.load(), 0);
}
