#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Recorder.h"
#include "velkor/rx/ConcurrentDispatchQueueScheduler.h"
#include "velkor/rx/ImmediateScheduler.h"
#include "velkor/rx/Observable.h"
#include "velkor/rx/PublishSubject.h"
#include "velkor/rx/SerialEventLoopScheduler.h"
#include "velkor/rx/Unit.h"
#include "velkor/testing/VirtualTimeScheduler.h"

using namespace velkor::rx;
using velkor::rx::test::errorMessage;
using velkor::rx::test::Recorder;

TEST(ShareTest, OneSourceSubscriptionWhileObserversRemainAndReconnectionAfterZeroOrTheEnd) {
    PublishSubject<int> subject;
    int subscribed = 0;
    int disposed = 0;
    auto shared = subject.asObservable().doOn([&] { ++subscribed; }, [&] { ++disposed; }).share();

    auto first = Recorder<int>::make();
    auto second = Recorder<int>::make();
    auto firstSubscription = first->subscribeTo(shared);
    subject.onNext(1);
    auto secondSubscription = second->subscribeTo(shared);
    EXPECT_EQ(subscribed, 1);  // the second observer joins the existing subscription
    subject.onNext(2);
    firstSubscription->dispose();
    EXPECT_EQ(disposed, 0);
    subject.onNext(3);
    secondSubscription->dispose();
    EXPECT_EQ(disposed, 1);
    EXPECT_FALSE(subject.hasObservers());
    EXPECT_EQ(first->values(), (std::vector<int>{1, 2}));
    EXPECT_EQ(second->values(), (std::vector<int>{2, 3}));

    // Back at zero, the next observers subscribe to the source anew; its end reaches them all
    // and disposes the connection once.
    auto third = Recorder<int>::make();
    auto fourth = Recorder<int>::make();
    third->subscribeTo(shared);
    fourth->subscribeTo(shared);
    EXPECT_EQ(subscribed, 2);
    subject.onNext(4);
    subject.onCompleted();
    EXPECT_EQ(third->values(), (std::vector<int>{4}));
    EXPECT_EQ(third->completions(), 1);
    EXPECT_EQ(fourth->completions(), 1);
    EXPECT_EQ(third->disposals(), 1);
    EXPECT_EQ(disposed, 2);

    auto late = Recorder<int>::make();
    late->subscribeTo(shared);
    EXPECT_EQ(subscribed, 3);
    EXPECT_EQ(late->completions(), 1);  // the subject replays its end at once
    EXPECT_EQ(disposed, 3);
}

TEST(ShareTest, ErrorPushedFromTheSubscribeSideEffectTerminatesTheStreamForGood) {
    // A failing side effect pushes an error into the very subject being subscribed to: the
    // first observer gets it during its subscribe call, and so does every later observer.
    PublishSubject<int> subject;
    int subscribed = 0;
    int disposed = 0;
    auto shared =
        subject.asObservable()
            .doOn(
                [&] {
                    ++subscribed;
                    subject.onError(std::make_exception_ptr(std::runtime_error("refused")));
                },
                [&] { ++disposed; })
            .share();

    for (int attempt = 1; attempt <= 2; ++attempt) {
        auto recorder = Recorder<int>::make();
        auto subscription = recorder->subscribeTo(shared);
        ASSERT_EQ(recorder->errors().size(), 1u);
        EXPECT_EQ(errorMessage(recorder->errors()[0]), "refused");
        EXPECT_TRUE(subscription->isDisposed());
        EXPECT_EQ(subscribed, attempt);
        EXPECT_EQ(disposed, attempt);
    }
    EXPECT_FALSE(subject.hasObservers());
}

TEST(DoOnTest, EachSubscriptionHasItsOwnSideEffectsAndEndsThemAfterTheTerminalEvent) {
    PublishSubject<int> subject;
    std::vector<std::string> log;
    auto observable = subject.asObservable().doOn([&] { log.push_back("subscribe"); },
                                                  [&] { log.push_back("dispose"); });
    auto a = observable.subscribe([&](const int&) { log.push_back("a"); });
    auto b = observable.subscribe([&](const int&) { log.push_back("b"); }, nullptr,
                                  [&] { log.push_back("b completed"); });
    subject.onNext(1);
    a->dispose();
    subject.onCompleted();
    EXPECT_EQ(log, (std::vector<std::string>{"subscribe", "subscribe", "a", "b", "dispose",
                                             "b completed", "dispose"}));
}

TEST(ObserveOnTest, SchedulersKeepOrderAndNeverOverlapDeliveriesOfOneSubscription) {
    // A serial loop and a pool of four: each delivers every value in order on its own threads.
    auto serial = std::make_shared<SerialEventLoopScheduler>("RxTestSerial");
    auto pool = std::make_shared<ConcurrentDispatchQueueScheduler>("RxTestPool", 4);
    PublishSubject<int> subject;
    constexpr int kValues = 3000;

    struct Watched {
        std::shared_ptr<Recorder<int>> recorder = Recorder<int>::make();
        std::string thread;
    };
    std::vector<Watched> watched;
    std::vector<DisposablePtr> subscriptions;
    std::atomic<int> overlaps{0};
    for (int s = 0; s < 4; ++s) {
        std::shared_ptr<Scheduler> scheduler = s == 0 ? std::shared_ptr<Scheduler>(serial) : pool;
        Watched w{.thread = s == 0 ? "RxTestSerial" : "RxTestPool"};
        auto inside = std::make_shared<std::atomic<bool>>(false);
        subscriptions.push_back(subject.asObservable().observeOn(scheduler).subscribe(
            [&overlaps, recorder = w.recorder, inside, scheduler](const int& value) {
                if (inside->exchange(true))
                    overlaps.fetch_add(1);
                // Yield and schedule unrelated work so that other workers get the chance to
                // pick up this subscription's next drain.
                if (value % 64 == 0)
                    scheduler->schedule([] {});
                std::this_thread::yield();
                recorder->recordValue(value);
                inside->store(false);
            }));
        watched.push_back(w);
    }

    // Two emitting threads, one after the other, so that the order is defined.
    std::thread([&] {
        for (int i = 0; i < kValues / 2; ++i)
            subject.onNext(i);
    }).join();
    std::thread([&] {
        for (int i = kValues / 2; i < kValues; ++i)
            subject.onNext(i);
    }).join();

    for (const auto& w : watched) {
        ASSERT_TRUE(w.recorder->waitForValues(kValues));
        auto values = w.recorder->values();
        ASSERT_EQ(values.size(), static_cast<std::size_t>(kValues));
        for (int i = 0; i < kValues; ++i)
            ASSERT_EQ(values[i], i);
        for (const auto& name : w.recorder->threadNames())
            EXPECT_EQ(name, w.thread);
    }
    EXPECT_EQ(overlaps.load(), 0);
    for (auto& subscription : subscriptions)
        subscription->dispose();
}

TEST(ObserveOnTest, VirtualTimeDeliversOnAdvanceAndDisposalDropsWhatIsQueued) {
    auto scheduler = std::make_shared<VirtualTimeScheduler>();
    PublishSubject<int> subject;
    auto kept = Recorder<int>::make();
    auto dropped = Recorder<int>::make();
    kept->subscribeTo(subject.asObservable().observeOn(scheduler));
    auto droppedSubscription = dropped->subscribeTo(subject.asObservable().observeOn(scheduler));
    // The way a connection's end is watched: completion only, through a shared stream.
    PublishSubject<Unit> connected;
    int completions = 0;
    auto ending = connected.asObservable().share().observeOn(scheduler).subscribe(
        nullptr, nullptr, [&] { ++completions; });

    subject.onNext(1);
    subject.onNext(2);
    subject.onCompleted();
    connected.onCompleted();
    EXPECT_TRUE(kept->values().empty());  // nothing before the clock moves
    EXPECT_EQ(completions, 0);

    droppedSubscription->dispose();
    scheduler->advanceBy(std::chrono::seconds(0));
    EXPECT_EQ(kept->values(), (std::vector<int>{1, 2}));
    EXPECT_EQ(kept->completions(), 1);
    EXPECT_TRUE(dropped->values().empty());
    EXPECT_EQ(dropped->completions(), 0);
    EXPECT_EQ(dropped->disposals(), 1);
    EXPECT_EQ(completions, 1);
    EXPECT_TRUE(ending->isDisposed());

    // Events left waiting on a clock that never moves do not keep the scheduler alive once
    // their subscription is disposed.
    auto idle = std::make_shared<VirtualTimeScheduler>();
    std::weak_ptr<VirtualTimeScheduler> watch = idle;
    PublishSubject<int> other;
    auto pending = other.asObservable().observeOn(idle).subscribe([](const int&) {});
    other.onNext(1);
    pending->dispose();
    idle.reset();
    EXPECT_TRUE(watch.expired());

    // The immediate scheduler delivers inline, re-entrant emissions included, in order.
    std::vector<int> seen;
    PublishSubject<int> direct;
    auto inline_ = direct.asObservable()
                       .observeOn(std::make_shared<ImmediateScheduler>())
                       .subscribe([&](const int& v) {
                           seen.push_back(v);
                           if (v == 1)
                               direct.onNext(2);
                           seen.push_back(-v);
                       });
    direct.onNext(1);
    EXPECT_EQ(seen, (std::vector<int>{1, -1, 2, -2}));
    inline_->dispose();
}
