#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "Recorder.h"
#include "velkor/rx/ConcurrentDispatchQueueScheduler.h"
#include "velkor/rx/PublishSubject.h"
#include "velkor/rx/SerialEventLoopScheduler.h"

using namespace velkor::rx;
using velkor::rx::test::Recorder;

namespace {

/// What one subscription saw, checked after all threads have stopped.
struct Observed {
    std::atomic<int> disposedCalls{0};
    std::atomic<int> deliveriesAfterOnDisposed{0};
    std::atomic<int> markerDeliveries{0};
};

}  // namespace

TEST(RaceTest, DisposalRacingEmissionFromSeveralThreads) {
    PublishSubject<int> subject;
    std::atomic<bool> stop{false};
    std::vector<std::thread> emitters;
    for (int t = 0; t < 3; ++t) {
        emitters.emplace_back([&] {
            for (int i = 0; !stop.load(std::memory_order_relaxed); i = (i + 1) % 1000000)
                subject.onNext(i);
        });
    }

    constexpr int kChurners = 2;
    constexpr int kRounds = 300;
    std::vector<std::shared_ptr<Observed>> all;
    std::vector<std::vector<std::shared_ptr<Observed>>> perThread(kChurners);
    std::vector<std::thread> churners;
    for (int t = 0; t < kChurners; ++t) {
        churners.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                auto observed = std::make_shared<Observed>();
                const int marker = -(t * kRounds + round) - 1;
                auto subscription = subject.asObservable().subscribe(
                    [observed, marker](const int& value) {
                        if (observed->disposedCalls.load() > 0)
                            observed->deliveriesAfterOnDisposed.fetch_add(1);
                        if (value == marker)
                            observed->markerDeliveries.fetch_add(1);
                    },
                    nullptr, nullptr, [observed] { observed->disposedCalls.fetch_add(1); });
                std::this_thread::yield();
                subscription->dispose();
                // Emitted after dispose() returned on this thread: must never be delivered.
                subject.onNext(marker);
                perThread[t].push_back(observed);
            }
        });
    }
    for (auto& churner : churners)
        churner.join();
    stop = true;
    for (auto& emitter : emitters)
        emitter.join();

    for (const auto& list : perThread)
        all.insert(all.end(), list.begin(), list.end());
    ASSERT_EQ(all.size(), static_cast<std::size_t>(kChurners * kRounds));
    for (const auto& observed : all) {
        EXPECT_EQ(observed->disposedCalls.load(), 1);
        EXPECT_EQ(observed->deliveriesAfterOnDisposed.load(), 0);
        EXPECT_EQ(observed->markerDeliveries.load(), 0);
    }
    EXPECT_FALSE(subject.hasObservers());
}

TEST(RaceTest, SharedStreamUnderConcurrentJoinsLeavesAndEmissions) {
    auto pool = std::make_shared<ConcurrentDispatchQueueScheduler>("RxRacePool", 3);
    PublishSubject<int> subject;
    std::atomic<int> connections{0};
    std::atomic<int> overlapping{0};
    std::atomic<int> subscribes{0};
    std::atomic<int> disposes{0};
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
    std::vector<std::thread> joiners;
    for (int t = 0; t < 3; ++t) {
        joiners.emplace_back([&] {
            for (int round = 0; round < 200; ++round) {
                auto recorder = Recorder<int>::make();
                auto subscription = recorder->subscribeTo(shared);
                std::this_thread::yield();
                subscription->dispose();
                // Values reach one subscription in emission order, even on the pool.
                auto values = recorder->values();
                for (std::size_t i = 1; i < values.size(); ++i)
                    ASSERT_LT(values[i - 1], values[i]);
            }
        });
    }
    for (auto& joiner : joiners)
        joiner.join();
    stop = true;
    emitter.join();

    EXPECT_EQ(overlapping.load(), 0);
    EXPECT_GE(subscribes.load(), 1);
    EXPECT_EQ(subscribes.load(), disposes.load());
    EXPECT_EQ(connections.load(), 0);
    EXPECT_FALSE(subject.hasObservers());
}

TEST(RaceTest, CompletionRacingSubscriptionsReachesEverySubscriberExactlyOnce) {
    for (int round = 0; round < 20; ++round) {
        PublishSubject<int> subject;
        auto scheduler = std::make_shared<SerialEventLoopScheduler>("RxRaceLoop");
        std::vector<std::shared_ptr<Recorder<int>>> recorders(40);
        for (auto& recorder : recorders)
            recorder = Recorder<int>::make();

        std::thread subscriber([&] {
            for (std::size_t i = 0; i < recorders.size(); ++i) {
                auto observable = subject.asObservable();
                recorders[i]->subscribeTo(i % 2 ? observable : observable.observeOn(scheduler));
            }
        });
        subject.onNext(1);
        subject.onCompleted();
        subscriber.join();

        for (const auto& recorder : recorders) {
            ASSERT_TRUE(recorder->waitForEnd());
            EXPECT_EQ(recorder->completions(), 1);
            EXPECT_LE(recorder->values().size(), 1u);
        }
    }
}
