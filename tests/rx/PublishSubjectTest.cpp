#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "Recorder.h"
#include "velkor/rx/Disposables.h"
#include "velkor/rx/Observable.h"
#include "velkor/rx/PublishSubject.h"
#include "velkor/rx/Unit.h"

using namespace velkor::rx;
using velkor::rx::test::errorMessage;
using velkor::rx::test::Recorder;

TEST(PublishSubjectTest, DeliversToCurrentObserversInOrderUntilDisposed) {
    PublishSubject<int> subject;
    EXPECT_FALSE(subject.hasObservers());
    subject.onNext(0);  // nobody listens: dropped

    auto first = Recorder<int>::make();
    auto second = Recorder<int>::make();
    auto firstSubscription = first->subscribeTo(subject.asObservable());
    EXPECT_TRUE(subject.hasObservers());
    subject.onNext(1);
    auto secondSubscription = second->subscribeTo(subject.asObservable());
    subject.onNext(2);
    subject.onNext(3);

    firstSubscription->dispose();
    firstSubscription->dispose();
    EXPECT_TRUE(firstSubscription->isDisposed());
    subject.onNext(4);
    secondSubscription->dispose();
    EXPECT_FALSE(subject.hasObservers());
    subject.onNext(5);

    EXPECT_EQ(first->values(), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(second->values(), (std::vector<int>{2, 3, 4}));
    EXPECT_EQ(first->disposals(), 1);
    EXPECT_EQ(second->disposals(), 1);
    EXPECT_EQ(first->completions(), 0);

    // The subject as an observer: what is sent to it is emitted.
    auto third = Recorder<int>::make();
    third->subscribeTo(subject.asObservable());
    subject.asObserver()->onNext(6);
    subject.asObserver()->onCompleted();
    EXPECT_EQ(third->values(), (std::vector<int>{6}));
    EXPECT_EQ(third->completions(), 1);
}

TEST(PublishSubjectTest, CompletionEndsEveryObserverAndIsReplayedToLateSubscribers) {
    PublishSubject<std::string> subject;
    auto early = Recorder<std::string>::make();
    auto subscription = early->subscribeTo(subject.asObservable());

    subject.onNext("a");
    subject.onCompleted();
    subject.onNext("b");
    subject.onError(std::make_exception_ptr(std::runtime_error("ignored")));
    subject.onCompleted();

    EXPECT_EQ(early->values(), (std::vector<std::string>{"a"}));
    EXPECT_EQ(early->completions(), 1);
    EXPECT_TRUE(early->errors().empty());
    // The subscription ended by itself: onDisposed ran, and disposing again changes nothing.
    EXPECT_TRUE(subscription->isDisposed());
    EXPECT_EQ(early->disposals(), 1);
    subscription->dispose();
    EXPECT_EQ(early->disposals(), 1);
    EXPECT_FALSE(subject.hasObservers());

    auto late = Recorder<std::string>::make();
    auto lateSubscription = late->subscribeTo(subject.asObservable());
    EXPECT_EQ(late->completions(), 1);
    EXPECT_TRUE(late->values().empty());
    EXPECT_EQ(late->disposals(), 1);
    EXPECT_TRUE(lateSubscription->isDisposed());
}

TEST(PublishSubjectTest, ErrorReachesCurrentAndLaterSubscribersOnce) {
    PublishSubject<Unit> subject;
    auto early = Recorder<Unit>::make();
    early->subscribeTo(subject.asObservable());

    subject.onNext(Unit{});
    subject.onError(std::make_exception_ptr(std::runtime_error("lost")));
    subject.onError(std::make_exception_ptr(std::runtime_error("second")));
    subject.onCompleted();

    ASSERT_EQ(early->errors().size(), 1u);
    EXPECT_EQ(errorMessage(early->errors()[0]), "lost");
    EXPECT_EQ(early->values().size(), 1u);
    EXPECT_EQ(early->completions(), 0);

    auto late = Recorder<Unit>::make();
    late->subscribeTo(subject.asObservable());
    ASSERT_EQ(late->errors().size(), 1u);
    EXPECT_EQ(errorMessage(late->errors()[0]), "lost");
    EXPECT_EQ(late->disposals(), 1);
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
}

TEST(ObservableTest, ThrowingSubscribeFunctionBecomesAnErrorAndEmptyObservableNeverEmits) {
    auto failing = Observable<int>::create(
        [](ObserverPtr<int>) -> DisposablePtr { throw std::runtime_error("cannot start"); });
    auto recorder = Recorder<int>::make();
    auto subscription = recorder->subscribeTo(failing);
    ASSERT_EQ(recorder->errors().size(), 1u);
    EXPECT_EQ(errorMessage(recorder->errors()[0]), "cannot start");
    EXPECT_TRUE(subscription->isDisposed());

    Observable<int> never;
    auto silent = Recorder<int>::make();
    auto silentSubscription = silent->subscribeTo(never.share());
    EXPECT_FALSE(silentSubscription->isDisposed());
    silentSubscription->dispose();
    EXPECT_TRUE(silent->values().empty());
    EXPECT_EQ(silent->completions(), 0);
    EXPECT_EQ(silent->disposals(), 1);
}
