#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Recorder.h"
#include "velkor/rx/Variable.h"

using namespace velkor::rx;
using velkor::rx::test::Recorder;

TEST(VariableTest, SubscribersGetTheCurrentValueThenEveryLaterOneAndTheEndOnDestruction) {
    using Value = std::optional<std::string>;
    auto variable = std::make_unique<Variable<Value>>(std::nullopt);
    auto observable = variable->asObservable();
    auto early = Recorder<Value>::make();
    auto subscription = early->subscribeTo(observable);
    variable->setValue("first");
    auto late = Recorder<Value>::make();
    late->subscribeTo(observable);
    variable->setValue(std::nullopt);
    subscription->dispose();
    variable->setValue("second");
    EXPECT_EQ(variable->value(), "second");
    EXPECT_EQ(early->values(), (std::vector<Value>{std::nullopt, "first", std::nullopt}));
    EXPECT_EQ(late->values(), (std::vector<Value>{"first", std::nullopt, "second"}));

    // Destroying the variable completes its observers; later subscribers get only the end.
    variable.reset();
    EXPECT_EQ(late->completions(), 1);
    auto after = Recorder<Value>::make();
    EXPECT_TRUE(after->subscribeTo(observable)->isDisposed());
    EXPECT_TRUE(after->values().empty());
    EXPECT_EQ(after->completions(), 1);
}

TEST(VariableTest, ValueSetFromAHandlerIsDeliveredAfterTheCurrentOneToEveryObserver) {
    Variable<int> variable(0);
    std::vector<std::string> log;
    auto a = variable.asObservable().subscribe([&](const int& v) {
        log.push_back("a" + std::to_string(v));
        if (v == 1)
            variable.setValue(2);
        log.push_back("a" + std::to_string(v) + " done");
    });
    auto b = variable.asObservable().subscribe(
        [&](const int& v) { log.push_back("b" + std::to_string(v)); });
    log.clear();

    variable.setValue(1);
    // a is never re-entered: 2 waits until a is done with 1. b, idle, gets 1 and then 2 from
    // the nested setValue (1 was queued for it first).
    EXPECT_EQ(log, (std::vector<std::string>{"a1", "b1", "b2", "a1 done", "a2", "a2 done"}));
    EXPECT_EQ(variable.value(), 2);
    a->dispose();
    b->dispose();
}

TEST(VariableTest, ObserversSeeValuesInTheOrderTheyWereSetWhenThreadsRace) {
    // Two threads set tagged, increasing values while observers come and go. Every observer
    // sees each thread's values in increasing order, never twice, and ends on the final value.
    Variable<std::pair<int, int>> variable({0, 0});
    constexpr int kValues = 2000;
    std::vector<std::shared_ptr<Recorder<std::pair<int, int>>>> recorders;
    std::vector<DisposablePtr> subscriptions;

    std::thread setters[2];
    for (int t = 0; t < 2; ++t) {
        setters[t] = std::thread([&variable, t] {
            for (int i = 1; i <= kValues; ++i)
                variable.setValue({t, i});
        });
    }
    for (int i = 0; i < 20; ++i) {
        auto recorder = Recorder<std::pair<int, int>>::make();
        subscriptions.push_back(recorder->subscribeTo(variable.asObservable()));
        recorders.push_back(recorder);
        std::this_thread::yield();
    }
    for (auto& setter : setters)
        setter.join();

    const auto last = variable.value();
    for (const auto& recorder : recorders) {
        auto values = recorder->values();
        ASSERT_FALSE(values.empty());
        EXPECT_EQ(values.back(), last);
        int lastSeen[2] = {-1, -1};
        for (std::size_t i = 0; i < values.size(); ++i) {
            auto [thread, n] = values[i];
            EXPECT_GT(n, lastSeen[thread]) << "value " << i;
            lastSeen[thread] = n;
        }
    }
    for (auto& subscription : subscriptions)
        subscription->dispose();
}
