#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <thread>
#include <vector>

#include "velkor/rx/CompositeDisposable.h"
#include "velkor/rx/Disposables.h"

using namespace velkor::rx;

TEST(DisposablesTest, ActionRunsExactlyOnceEvenWhenDisposedFromManyThreadsAtOnce) {
    constexpr int kThreads = 8;
    for (int round = 0; round < 50; ++round) {
        std::atomic<int> runs{0};
        auto captured = std::make_shared<int>(1);
        std::weak_ptr<int> watch = captured;
        auto disposable = Disposables::create([&runs, captured] { runs.fetch_add(1); });
        captured.reset();
        EXPECT_FALSE(disposable->isDisposed());

        std::barrier start(kThreads);
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&] {
                start.arrive_and_wait();
                disposable->dispose();
                EXPECT_TRUE(disposable->isDisposed());
            });
        }
        for (auto& t : threads)
            t.join();
        ASSERT_EQ(runs.load(), 1) << "round " << round;
        // The action, and what it captured, is released once it has run.
        EXPECT_TRUE(watch.expired());
    }
}

TEST(DisposablesTest, CompositeDisposesItsItemsOnceAndLateAdditionsAtOnce) {
    std::vector<int> order;
    auto bag = std::make_unique<CompositeDisposable>();
    bag->add(Disposables::create([&] { order.push_back(1); }));
    bag->add(nullptr);
    auto second = Disposables::create([&] { order.push_back(2); });
    bag->add(second);
    EXPECT_EQ(bag->count(), 2u);

    // An item disposed on its own is not disposed again by the bag.
    second->dispose();
    bag->dispose();
    bag->dispose();
    EXPECT_EQ(order, (std::vector<int>{2, 1}));
    EXPECT_EQ(bag->count(), 0u);

    bag->add(Disposables::create([&] { order.push_back(3); }));
    EXPECT_EQ(order, (std::vector<int>{2, 1, 3}));

    // A bag that is destroyed disposes what it still holds; an item may add to the bag while
    // the bag disposes it.
    auto other = std::make_unique<CompositeDisposable>();
    other->add(Disposables::create([&] { order.push_back(4); }));
    other->add(
        Disposables::create([&] { other->add(Disposables::create([&] { order.push_back(5); })); }));
    other->dispose();
    std::sort(order.begin() + 3, order.end());
    EXPECT_EQ(order, (std::vector<int>{2, 1, 3, 4, 5}));
    auto last = std::make_unique<CompositeDisposable>();
    last->add(Disposables::create([&] { order.push_back(6); }));
    last.reset();
    EXPECT_EQ(order.back(), 6);
}
