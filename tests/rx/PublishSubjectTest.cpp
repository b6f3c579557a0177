#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "Recorder.h"
#include "velkor/rx/Disposables.h"
#include "velkor/rx/Observable.h"
#include "velkor/rx/PublishSubject.h"

using namespace velkor::rx;
using velkor::rx::test::errorMessage;
using velkor::rx::test::Recorder;

TEST(PublishSubjectTest, DeliversToCurrentObserversInOrderUntilDisposed) {
    PublishSubject<int> subject;
    subject.onNext(0);  // nobody listens: dropped

    auto first = Recorder<int>::make();
    auto second = Recorder<int>::make();
    auto firstSubscription = first->subscribeTo(subject.asObservable());
    EXPECT_TRUE(subject.hasObservers());
    subject.onNext(1);
    auto secondSubscription = second->subscribeTo(subject.asObservable());
    subject.onNext(2);
    firstSubscription->dispose();
    firstSubscription->dispose();
    subject.onNext(3);
    secondSubscription->dispose();
    EXPECT_FALSE(subject.hasObservers());
    subject.onNext(4);

    EXPECT_EQ(first->values(), (std::vector<int>{1, 2}));
    EXPECT_EQ(second->values(), (std::vector<int>{2, 3}));
    EXPECT_EQ(first->disposals(), 1);
    EXPECT_EQ(first->completions(), 0);
}

TEST(PublishSubjectTest, TheFirstEndReachesCurrentObserversOnceAndIsReplayedToLaterOnes) {
    for (bool completes : {true, false}) {
        SCOPED_TRACE(completes ? "completion" : "error");
        PublishSubject<int> subject;
        auto early = Recorder<int>::make();
        auto subscription = early->subscribeTo(subject.asObservable());
        subject.onNext(1);
        if (completes)
            subject.onCompleted();
        else
            subject.onError(std::make_exception_ptr(std::runtime_error("lost")));
        // Nothing after the end gets through.
        subject.onNext(2);
        subject.onError(std::make_exception_ptr(std::runtime_error("second")));
        subject.onCompleted();

        auto late = Recorder<int>::make();
        auto lateSubscription = late->subscribeTo(subject.asObservable());
        for (const auto& recorder : {early, late}) {
            EXPECT_EQ(recorder->completions(), completes ? 1 : 0);
            ASSERT_EQ(recorder->errors().size(), completes ? 0u : 1u);
            if (!completes) {
                EXPECT_EQ(errorMessage(recorder->errors()[0]), "lost");
            }
            // The subscription ended by itself: onDisposed ran once.
            EXPECT_EQ(recorder->disposals(), 1);
        }
        EXPECT_EQ(early->values(), (std::vector<int>{1}));
        EXPECT_TRUE(late->values().empty());
        EXPECT_TRUE(subscription->isDisposed());
        EXPECT_TRUE(lateSubscription->isDisposed());
        subscription->dispose();
        EXPECT_EQ(early->disposals(), 1);
        EXPECT_FALSE(subject.hasObservers());
    }
}

TEST(PublishSubjectTest, ObserversMaySubscribeDisposeAndEmitFromInsideAHandler) {
    PublishSubject<int> subject;
    std::vector<std::string> log;
    DisposablePtr self;
    DisposablePtr added;

    self = subject.asObservable().subscribe(
        [&](const int& value) {
            log.push_back("self " + std::to_string(value));
            if (value == 1) {
                // Joins during an emission: sees the next event, not this one.
                added = subject.asObservable().subscribe(
                    [&](const int& v) { log.push_back("added " + std::to_string(v)); });
                subject.onNext(2);  // re-entrant emission
            }
            if (value == 2) {
                self->dispose();
                log.push_back("disposed itself");
            }
        },
        nullptr, nullptr, [&] { log.push_back("self onDisposed"); });

    subject.onNext(1);
    subject.onNext(3);

    // onDisposed waits until the outer delivery (of 1) has returned too.
    EXPECT_EQ(log, (std::vector<std::string>{"self 1", "self 2", "disposed itself", "added 2",
                                             "self onDisposed", "added 3"}));
    added->dispose();
    EXPECT_FALSE(subject.hasObservers());
}

TEST(ObservableTest, CreateKeepsTheGrammarAndDisposesItsWorkWhenTheSubscriptionEnds) {
    int workDisposed = 0;
    auto observable = Observable<int>::create([&](ObserverPtr<int> observer) {
        observer->onNext(1);
        observer->onCompleted();
        observer->onNext(2);  // after the end: dropped
        observer->onError(std::make_exception_ptr(std::runtime_error("late")));
        return Disposables::create([&] { ++workDisposed; });
    });
    auto recorder = Recorder<int>::make();
    auto subscription = recorder->subscribeTo(observable);
    EXPECT_EQ(recorder->values(), (std::vector<int>{1}));
    EXPECT_EQ(recorder->completions(), 1);
    EXPECT_TRUE(recorder->errors().empty());
    // The subscription ended with the completion, so the work it started was disposed.
    EXPECT_EQ(workDisposed, 1);
    subscription->dispose();
    EXPECT_EQ(workDisposed, 1);

    // Without a terminal event the work ends when the subscription is disposed.
    std::shared_ptr<Observer<int>> kept;
    auto open = Observable<int>::create([&](ObserverPtr<int> observer) {
        kept = observer;
        return Disposables::create([&] { ++workDisposed; });
    });
    auto openRecorder = Recorder<int>::make();
    auto openSubscription = openRecorder->subscribeTo(open);
    kept->onNext(5);
    openSubscription->dispose();
    kept->onNext(6);
    EXPECT_EQ(openRecorder->values(), (std::vector<int>{5}));
    EXPECT_EQ(workDisposed, 2);

    // A throwing subscribe function becomes an error.
    auto failing = Observable<int>::create(
        [](ObserverPtr<int>) -> DisposablePtr { throw std::runtime_error("cannot start"); });
    auto failed = Recorder<int>::make();
    EXPECT_TRUE(failed->subscribeTo(failing)->isDisposed());
    ASSERT_EQ(failed->errors().size(), 1u);
    EXPECT_EQ(errorMessage(failed->errors()[0]), "cannot start");
}
