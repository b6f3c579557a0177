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
using velkor::rx::test::currentThreadName;
using velkor::rx::test::Recorder;
using velkor::test::onThreads;

// A disposal racing emissions from other threads: onDisposed runs once (perhaps after the delivery
// in progress), and nothing is delivered after it or after dispose() has returned. A disposable's
// action runs once however many threads dispose it.
TEST(RaceTest, DisposalRacingEmissions) {
    PublishSubject<int> subject;
    std::atomic<bool> stop{false};
    std::thread emitter([&] {
        for (int i = 0; !stop.load(std::memory_order_relaxed); ++i)
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
                    faults += disposed->load() > 0 || value == marker;
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

// A completion racing subscriptions, direct and through a loop, reaches each subscriber once.
TEST(RaceTest, ACompletionRacingSubscriptionsReachesEachSubscriberOnce) {
    auto scheduler = std::make_shared<SerialEventLoopScheduler>("RxRaceLoop");
    for (int round = 0; round < 20; ++round) {
        PublishSubject<int> subject;
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

// Two threads set tagged, increasing values of a variable while observers join, and others join
// and leave a shared stream of it delivered on a pool. Each observer sees each thread's values in
// order; those that stay end on the final value, and those delivered on a serial loop or a pool of
// four get every value, on the scheduler's threads, never two at once. The shared stream's source
// is subscribed at most once at a time, and disposed as often.
TEST(RaceTest, ObserveOnAndShareKeepEachThreadsOrderWhileObserversComeAndGo) {
    using Tagged = std::pair<int, int>;
    auto serial = std::make_shared<SerialEventLoopScheduler>("RxTestSerial");
    auto pool = std::make_shared<ConcurrentDispatchQueueScheduler>("RxTestPool", 4);
    Variable<Tagged> variable({0, 0});
    constexpr int kValues = 1500;
    std::vector<std::shared_ptr<Recorder<Tagged>>> recorders;
    std::vector<DisposablePtr> subscriptions;
    std::atomic<int> faults{0}, connections{0}, subscribes{0}, disposes{0};
    auto inOrder = [](const std::vector<Tagged>& values) {
        int lastSeen[2] = {-1, -1};
        for (auto [thread, n] : values) {
            if (n <= lastSeen[thread])
                return false;
            lastSeen[thread] = n;
        }
        return true;
    };
    for (int s = 0; s < 4; ++s) {
        SchedulerPtr scheduler = s == 0 ? SchedulerPtr(serial) : SchedulerPtr(pool);
        auto recorder = Recorder<Tagged>::make();
        auto inside = std::make_shared<std::atomic<bool>>(false);
        subscriptions.push_back(variable.asObservable().observeOn(scheduler).subscribe(
            [&faults, recorder, inside, scheduler, s](const Tagged& value) {
                faults += inside->exchange(true);
                faults += currentThreadName() != (s == 0 ? "RxTestSerial" : "RxTestPool");
                if (value.second % 64 == 0)
                    scheduler->schedule([] {});  // gives other workers a chance to drain
                std::this_thread::yield();
                recorder->recordValue(value);
                inside->store(false);
            }));
        recorders.push_back(recorder);
    }
    auto shared = variable.asObservable()
                      .doOn(
                          [&] {
                              subscribes.fetch_add(1);
                              faults += connections.fetch_add(1) != 0;
                          },
                          [&] {
                              connections.fetch_sub(1);
                              disposes.fetch_add(1);
                          })
                      .share()
                      .observeOn(pool);
    std::vector<std::shared_ptr<Recorder<Tagged>>> joiners;  // subscribe while values are set
    onThreads(4, [&](int t) {
        for (int i = 1; t < 2 && i <= kValues; ++i)
            variable.setValue({t, i});
        for (int j = 0; t == 2 && j < 20; ++j) {
            joiners.push_back(Recorder<Tagged>::make());
            subscriptions.push_back(joiners.back()->subscribeTo(variable.asObservable()));
            std::this_thread::yield();
        }
        for (int j = 0; t == 3 && j < 200; ++j) {
            auto passing = Recorder<Tagged>::make();
            auto subscription = passing->subscribeTo(shared);
            std::this_thread::yield();
            subscription->dispose();
            faults += !inOrder(passing->values());
        }
    });
    for (std::size_t r = 0; r < recorders.size() + joiners.size(); ++r) {
        auto& recorder = r < recorders.size() ? recorders[r] : joiners[r - recorders.size()];
        ASSERT_TRUE(recorder->waitForEvents(r < recorders.size() ? 2 * kValues + 1 : 1));
        EXPECT_TRUE(inOrder(recorder->values()));
        EXPECT_EQ(recorder->values().back(), variable.value());
    }
    EXPECT_EQ(faults.load(), 0);
    EXPECT_GE(subscribes.load(), 1);
    EXPECT_EQ(subscribes.load(), disposes.load());
    for (auto& subscription : subscriptions)
        subscription->dispose();
}
