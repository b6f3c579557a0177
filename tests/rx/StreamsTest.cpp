#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Recorder.h"
#include "velkor/rx/CompositeDisposable.h"
#include "velkor/rx/Disposables.h"
#include "velkor/rx/ImmediateScheduler.h"
#include "velkor/rx/PublishSubject.h"
#include "velkor/rx/Variable.h"
#include "velkor/testing/VirtualTimeScheduler.h"

using namespace velkor::rx;
using velkor::rx::test::Recorder;
using Strings = std::vector<std::string>;
using Ints = std::vector<int>;

// A subject delivers to its current observers until its first end, which every observer, even a
// later one, gets exactly once.
TEST(Streams, ASubjectDeliversUntilItsFirstEndAndReplaysThatEnd) {
    for (bool completes : {true, false}) {
        PublishSubject<int> subject;
        subject.onNext(0);  // nobody listens: dropped
        auto first = Recorder<int>::make(), second = Recorder<int>::make();
        auto firstSubscription = first->subscribeTo(subject.asObservable());
        subject.onNext(1);
        second->subscribeTo(subject.asObservable());
        firstSubscription->dispose();
        subject.onNext(2);
        completes ? subject.onCompleted()
                  : subject.onError(std::make_exception_ptr(std::runtime_error("lost")));
        subject.onNext(3);
        subject.onError(std::make_exception_ptr(std::runtime_error("second")));
        auto late = Recorder<int>::make();
        EXPECT_TRUE(late->subscribeTo(subject.asObservable())->isDisposed());
        const std::string end = completes ? "completed" : "lost";
        EXPECT_EQ(first->events(), (Strings{"value", "disposed"}));
        EXPECT_EQ(second->events(), (Strings{"value", end, "disposed"}));
        EXPECT_EQ(second->values(), Ints{2});
        EXPECT_EQ(late->events(), (Strings{end, "disposed"}));
        EXPECT_FALSE(subject.hasObservers());
    }
}

// share() holds one source subscription while observers remain and subscribes anew after dropping
// to zero or after the end; doOn's effects run per source subscription.
TEST(Streams, ShareHoldsOneSourceSubscriptionWhileObserversRemain) {
    PublishSubject<int> subject;
    Strings log;
    auto shared = subject.asObservable()
                      .doOn([&] { log.push_back("subscribe"); }, [&] { log.push_back("dispose"); })
                      .share();
    auto first = Recorder<int>::make(), second = Recorder<int>::make();
    auto firstSubscription = first->subscribeTo(shared);
    subject.onNext(1);
    auto secondSubscription = second->subscribeTo(shared);
    subject.onNext(2);
    firstSubscription->dispose();
    subject.onNext(3);
    EXPECT_EQ(log, Strings{"subscribe"});
    secondSubscription->dispose();
    EXPECT_EQ(first->values(), (Ints{1, 2}));
    EXPECT_EQ(second->values(), (Ints{2, 3}));

    auto third = Recorder<int>::make(), late = Recorder<int>::make();
    third->subscribeTo(shared);
    subject.onCompleted();
    late->subscribeTo(shared);
    EXPECT_EQ(third->events(), (Strings{"completed", "disposed"}));
    EXPECT_EQ(late->events(), (Strings{"completed", "disposed"}));
    EXPECT_EQ(log,
              (Strings{"subscribe", "dispose", "subscribe", "dispose", "subscribe", "dispose"}));
}

// observeOn delivers on the scheduler: with virtual time only when the clock moves; disposal drops
// what is queued.
TEST(Streams, ObserveOnDeliversOnTheSchedulerAndDisposalDropsTheQueue) {
    auto scheduler = std::make_shared<VirtualTimeScheduler>();
    PublishSubject<int> subject;
    auto kept = Recorder<int>::make(), dropped = Recorder<int>::make();
    kept->subscribeTo(subject.asObservable().observeOn(scheduler));
    auto droppedSubscription = dropped->subscribeTo(subject.asObservable().observeOn(scheduler));
    subject.onNext(1);
    subject.onCompleted();
    EXPECT_TRUE(kept->events().empty());
    droppedSubscription->dispose();
    scheduler->advanceBy(std::chrono::seconds(0));
    EXPECT_EQ(kept->events(), (Strings{"value", "completed", "disposed"}));
    EXPECT_EQ(dropped->events(), Strings{"disposed"});
}

// A variable hands new subscribers its current value, delivers a value set from a handler after the
// current one (also through the immediate scheduler, which runs inline), and completes its
// observers when destroyed.
TEST(Streams, AVariableGivesItsCurrentValueThenEveryLaterOne) {
    auto variable = std::make_unique<Variable<int>>(0);
    Strings log;
    auto immediate = std::make_shared<ImmediateScheduler>();
    auto a = variable->asObservable().observeOn(immediate).subscribe([&](const int& v) {
        log.push_back("a" + std::to_string(v));
        if (v == 1)
            variable->setValue(2);
        log.push_back("a" + std::to_string(v) + " done");
    });
    auto b = Recorder<int>::make();
    b->subscribeTo(variable->asObservable());
    log.clear();
    variable->setValue(1);
    EXPECT_EQ(log, (Strings{"a1", "a1 done", "a2", "a2 done"}));
    EXPECT_EQ(b->values(), (Ints{0, 1, 2}));
    EXPECT_EQ(variable->value(), 2);
    auto observable = variable->asObservable();
    variable.reset();
    EXPECT_EQ(b->events().back(), "disposed");
    auto after = Recorder<int>::make();
    after->subscribeTo(observable);
    EXPECT_EQ(after->events(), (Strings{"completed", "disposed"}));
    a->dispose();
}

// A composite disposes each item once, in the order added, also items added while or after it
// disposes, and when it is destroyed.
TEST(Streams, ACompositeDisposesEachItemOnce) {
    Strings order;
    auto item = [&](const char* name) {
        return Disposables::create([&order, name] { order.push_back(name); });
    };
    auto bag = std::make_unique<CompositeDisposable>();
    bag->add(item("1"));
    bag->add(nullptr);
    bag->add(Disposables::create([&] { bag->add(item("added while disposing")); }));
    bag->dispose();
    bag->dispose();
    bag->add(item("2"));
    bag = std::make_unique<CompositeDisposable>();
    bag->add(item("3"));
    bag.reset();
    EXPECT_EQ(order, (Strings{"1", "added while disposing", "2", "3"}));
}
