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

TEST(VariableTest, NewSubscriberGetsTheCurrentValueFirstThenEveryLaterOne) {
    Variable<std::optional<std::string>> variable(std::nullopt);
    auto early = Recorder<std::optional<std::string>>::make();
    auto subscription = early->subscribeTo(variable.asObservable());
    EXPECT_EQ(early->values(), (std::vector<std::optional<std::string>>{std::nullopt}));

    variable.setValue("first");
    auto late = Recorder<std::optional<std::string>>::make();
    late->subscribeTo(variable.asObservable());
    variable.setValue(std::nullopt);
    variable.setValue("second");
    EXPECT_EQ(variable.value(), "second");

    EXPECT_EQ(early->values(), (std::vector<std::optional<std::string>>{std::nullopt, "first",
                                                                        std::nullopt, "second"}));
    EXPECT_EQ(late->values(),
              (std::vector<std::optional<std::string>>{"first", std::nullopt, "second"}));

    subscription->dispose();
    variable.setValue("third");
    EXPECT_EQ(early->values().size(), 4u);
    EXPECT_EQ(late->values().back(), "third");
}

TEST(VariableTest, CompletesWhenDestroyedAndLaterSubscribersGetOnlyTheCompletion) {
    auto variable = std::make_unique<Variable<int>>(1);
    auto observable = variable->asObservable();
    auto recorder = Recorder<int>::make();
    auto subscription = recorder->subscribeTo(observable);
    variable->setValue(2);
    variable.reset();

    EXPECT_EQ(recorder->values(), (std::vector<int>{1, 2}));
    EXPECT_EQ(recorder->completions(), 1);
    EXPECT_TRUE(subscription->isDisposed());

    auto late = Recorder<int>::make();
    late->subscribeTo(observable);
    EXPECT_TRUE(late->values().empty());
    EXPECT_EQ(late->completions(), 1);
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
