#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "Recorder.h"
#include "support/OnThreads.h"
#include "velkor/rx/ConcurrentDispatchQueueScheduler.h"
#include "velkor/rx/Disposables.h"
#include "velkor/rx/PublishSubject.h"
#include "velkor/rx/SerialEventLoopScheduler.h"
#include "velkor/rx/Variable.h"

using namespace velkor::rx;
using velkor::rx::test::Recorder;
using velkor::test::onThreads;

// A disposal racing emissions from other threads: onDisposed runs once (perhaps after the
// delivery in progress), and nothing is delivered after it or after dispose() has returned. A
// disposable's action runs once however many threads dispose it.
TEST(RaceTest, DisposalRacingEmissions) {
    PublishSubject<int> subject;
    std::atomic<bool> stop{false};
    std::thread emitter([&] {
        for (int i = 0; !stop.load(std::memory_order_relaxed); i = (i + 1) % 1000000)
            subject.onNext(i);
    });
    std::atomic<int> faults{0};
    std::mutex mutex;
    std::vector<std::shared_ptr<std::atomic<int>>> all;
    onThreads(2, [&](int t) {
        for (int round = 0; round < 300; ++round) {
            auto disposed = std::make_shared<std::atomic<int>>(0);
            const int marker = -(t * 300 + round) - 1;
            auto subscription = subject.asObservable().subscribe(
                [&faults, disposed, marker](const int& value) {
                    if (disposed->load() > 0 || value == marker)
                        faults.fetch_add(1);
                },
                nullptr, nullptr, [disposed] { disposed->fetch_add(1); });
            std::this_thread::yield();
            subscription->dispose();
            subject.onNext(marker);
            std::lock_guard lock(mutex);
            all.push_back(disposed);
        }
    });
    stop = true;
    emitter.join();
    EXPECT_EQ(faults.load(), 0);
    for (const auto& disposed : all)
        ASSERT_EQ(disposed->load(), 1);
    EXPECT_FALSE(subject.hasObservers());

    for (int round = 0; round < 50; ++round) {
        std::atomic<int> runs{0};
        auto disposable = Disposables::create([&runs] { runs.fetch_add(1); });
        std::barrier start(8);
        onThreads(8, [&](int) {
            start.arrive_and_wait();
            disposable->dispose();
        });
        ASSERT_EQ(runs.load(), 1);
    }
}

// Observers join and leave a shared stream delivered on a pool while a thread emits: the
// source is subscribed at most once at a time, subscriptions and disposals balance, and each
// observer sees values in emission order.
TEST(RaceTest, ASharedStreamUnderJoinsLeavesAndEmissions) {
    auto pool = std::make_shared<ConcurrentDispatchQueueScheduler>("RxRacePool", 3);
    PublishSubject<int> subject;
    std::atomic<int> connections{0}, overlapping{0}, subscribes{0}, disposes{0};
    auto shared = subject.asObservable()
                      .doOn(
                          [&] {
                              subscribes.fetch_add(1);
                              if (connections.fetch_add(1) != 0)
                                  overlapping.fetch_add(1);
                          },
                          [&] {
                              connections.fetch_sub(1);
                              disposes.fetch_add(1);
                          })
                      .share()
                      .observeOn(pool);
    std::atomic<bool> stop{false};
    std::thread emitter([&] {
        for (int i = 0; !stop.load(std::memory_order_relaxed); ++i)
            subject.onNext(i);
    });
    std::atomic<int> outOfOrder{0};
    onThreads(3, [&](int) {
        for (int round = 0; round < 200; ++round) {
            auto recorder = Recorder<int>::make();
            auto subscription = recorder->subscribeTo(shared);
            std::this_thread::yield();
            subscription->dispose();
            auto values = recorder->values();
            for (std::size_t i = 1; i < values.size(); ++i)
                outOfOrder += values[i - 1] >= values[i];
        }
    });
    stop = true;
    emitter.join();
    EXPECT_EQ(outOfOrder.load(), 0);
    EXPECT_EQ(overlapping.load(), 0);
    EXPECT_GE(subscribes.load(), 1);
    EXPECT_EQ(subscribes.load(), disposes.load());
    EXPECT_FALSE(subject.hasObservers());
}

// A completion racing subscriptions, direct and through a loop, reaches each subscriber once.
TEST(RaceTest, ACompletionRacingSubscriptionsReachesEachSubscriberOnce) {
    for (int round = 0; round < 20; ++round) {
        PublishSubject<int> subject;
        auto scheduler = std::make_shared<SerialEventLoopScheduler>("RxRaceLoop");
        std::vector<std::shared_ptr<Recorder<int>>> recorders(40);
        std::thread subscriber([&] {
            for (std::size_t i = 0; i < recorders.size(); ++i) {
                recorders[i] = Recorder<int>::make();
                auto observable = subject.asObservable();
                recorders[i]->subscribeTo(i % 2 ? observable : observable.observeOn(scheduler));
            }
        });
        subject.onNext(1);
        subject.onCompleted();
        subscriber.join();
        for (const auto& recorder : recorders) {
            ASSERT_TRUE(recorder->waitForEvents(2));
            auto events = recorder->events();
            EXPECT_EQ(std::count(events.begin(), events.end(), "completed"), 1);
            EXPECT_LE(recorder->values().size(), 1u);
        }
    }
}

// A serial loop and a pool of four deliver every value of two emitting threads in order, on
// their own threads, never overlapping deliveries of one subscription.
TEST(RaceTest, ObserveOnKeepsOrderAndNeverOverlapsOneSubscription) {
    auto serial = std::make_shared<SerialEventLoopScheduler>("RxTestSerial");
    auto pool = std::make_shared<ConcurrentDispatchQueueScheduler>("RxTestPool", 4);
    PublishSubject<int> subject;
    constexpr int kValues = 3000;
    std::vector<std::shared_ptr<Recorder<int>>> recorders;
    std::vector<DisposablePtr> subscriptions;
    std::atomic<int> overlaps{0};
    for (int s = 0; s < 4; ++s) {
        SchedulerPtr scheduler = s == 0 ? SchedulerPtr(serial) : SchedulerPtr(pool);
        auto recorder = Recorder<int>::make();
        auto inside = std::make_shared<std::atomic<bool>>(false);
        subscriptions.push_back(subject.asObservable().observeOn(scheduler).subscribe(
            [&overlaps, recorder, inside, scheduler](const int& value) {
                overlaps += inside->exchange(true);
                if (value % 64 == 0)
                    scheduler->schedule([] {});  // gives other workers a chance to drain
                std::this_thread::yield();
                recorder->recordValue(value);
                inside->store(false);
            }));
        recorders.push_back(recorder);
    }
    std::thread([&] {
        for (int i = 0; i < kValues / 2; ++i)
            subject.onNext(i);
    }).join();
    std::thread([&] {
        for (int i = kValues / 2; i < kValues; ++i)
            subject.onNext(i);
    }).join();
    for (std::size_t s = 0; s < recorders.size(); ++s) {
        ASSERT_TRUE(recorders[s]->waitForEvents(kValues));
        auto values = recorders[s]->values();
        for (int i = 0; i < kValues; ++i)
            ASSERT_EQ(values[i], i);
        for (const auto& name : recorders[s]->threadNames())
            ASSERT_EQ(name, s == 0 ? "RxTestSerial" : "RxTestPool");
    }
    EXPECT_EQ(overlaps.load(), 0);
    for (auto& subscription : subscriptions)
        subscription->dispose();
}

// Two threads set tagged, increasing values while observers join: each observer sees each
// thread's values in increasing order and ends on the final value.
TEST(RaceTest, AVariableSetFromTwoThreadsKeepsEachThreadsOrder) {
    Variable<std::pair<int, int>> variable({0, 0});
    std::vector<std::shared_ptr<Recorder<std::pair<int, int>>>> recorders;
    std::vector<DisposablePtr> subscriptions;
    std::thread setters([&] {
        onThreads(2, [&](int t) {
            for (int i = 1; i <= 2000; ++i)
                variable.setValue({t, i});
        });
    });
    for (int i = 0; i < 20; ++i) {
        recorders.push_back(Recorder<std::pair<int, int>>::make());
        subscriptions.push_back(recorders.back()->subscribeTo(variable.asObservable()));
        std::this_thread::yield();
    }
    setters.join();
    for (const auto& recorder : recorders) {
        auto values = recorder->values();
        ASSERT_FALSE(values.empty());
        EXPECT_EQ(values.back(), variable.value());
        int lastSeen[2] = {-1, -1};
        for (auto [thread, n] : values) {
            ASSERT_GT(n, lastSeen[thread]);
            lastSeen[thread] = n;
        }
    }
    for (auto& subscription : subscriptions)
        subscription->dispose();
}
