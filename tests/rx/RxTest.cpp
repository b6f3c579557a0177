// Subjects, variables, share, observeOn and composites, the schedulers that run their work, and
// stress tests of them across threads (run under ThreadSanitizer too).
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/OnThreads.h"
#include "velkor/rx/CompositeDisposable.h"
#include "velkor/rx/ConcurrentDispatchQueueScheduler.h"
#include "velkor/rx/Disposables.h"
#include "velkor/rx/ImmediateScheduler.h"
#include "velkor/rx/PublishSubject.h"
#include "velkor/rx/SerialEventLoopScheduler.h"
#include "velkor/rx/Variable.h"
#include "velkor/testing/VirtualTimeScheduler.h"

using namespace velkor::rx;
using namespace std::chrono_literals;
using velkor::test::onThreads;

namespace {

/// The name of the calling thread (schedulers name their threads after their label).
std::string currentThreadName() {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

/// Records what a subscription delivers, from any thread; waits give up after 20 s so that a lost
/// event fails the test instead of hanging it.
template <typename T>
class Recorder : public std::enable_shared_from_this<Recorder<T>> {
  public:
    static std::shared_ptr<Recorder> make() { return std::make_shared<Recorder>(); }

    DisposablePtr subscribeTo(const Observable<T>& observable) {
        auto self = this->shared_from_this();
        return observable.subscribe([self](const T& value) { self->record(&value, "value"); },
                                    [self](Error e) {
                                        try {
                                            std::rethrow_exception(e);
                                        } catch (const std::exception& x) {
                                            self->record(nullptr, x.what());
                                        }
                                    },
                                    [self] { self->record(nullptr, "completed"); },
                                    [self] { self->record(nullptr, "disposed"); });
    }

    std::vector<T> values() const {
        std::lock_guard lock(mutex_);
        return values_;
    }
    /// Everything in order: "value", "completed", "disposed" or an error's message.
    std::vector<std::string> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    /// Records a value as if delivered, for tests that subscribe with handlers of their own.
    void recordValue(const T& value) { record(&value, "value"); }

    bool waitForEvents(std::size_t count) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(20),
                                 [&] { return events_.size() >= count; });
    }

  private:
    void record(const T* value, std::string event) {
        std::lock_guard lock(mutex_);
        if (value)
            values_.push_back(*value);
        events_.push_back(std::move(event));
        changed_.notify_all();
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<T> values_;
    std::vector<std::string> events_;
};

using Log = Recorder<std::string>;
using Strings = std::vector<std::string>;
using Ints = std::vector<int>;

}  // namespace

// A subject delivers to its current observers until its first end, which every observer, even a
// later one, gets exactly once.
TEST(Streams, ASubjectDeliversUntilItsFirstEndAndShareHoldsOneSourceSubscription) {
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

    // share() holds one source subscription while observers remain and subscribes anew after
    // dropping to zero or after the end; doOn's effects run per source subscription.
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

// Actions run in order on the loop's named thread, timers by due time; a cancelled timer is
// released at once. Destruction runs what is queued and drops the timers not yet due.
TEST(SerialEventLoopSchedulerTest, RunsActionsInOrderAndTimersByDueTimeAndDrainsOnDestruction) {
    auto log = Log::make();
    auto captured = std::make_shared<int>(0), farCaptured = std::make_shared<int>(0);
    std::weak_ptr<int> watch = captured, farWatch = farCaptured;
    DisposablePtr cancelled, far;
    {
        SerialEventLoopScheduler scheduler("RxTestLoop");
        std::promise<void> gate;
        scheduler.schedule([opened = gate.get_future().share()] { opened.wait(); });
        const auto scheduledAt = scheduler.now();
        scheduler.scheduleAfter(40ms, [log] { log->recordValue("timer 40"); });
        scheduler.scheduleAfter(std::chrono::duration<double>(0.01),
                                [log] { log->recordValue("timer 10"); });
        cancelled = scheduler.scheduleAfter(20ms, [log, captured] { log->recordValue("x"); });
        far = scheduler.scheduleAfter(1h, [farCaptured] { ADD_FAILURE() << "timer ran"; });
        for (int i = 0; i < 2; ++i)
            scheduler.schedule(
                [log, i] { log->recordValue(std::to_string(i) + currentThreadName()); });
        cancelled->dispose();
        captured.reset();
        EXPECT_TRUE(watch.expired());  // a cancelled action is released at once
        std::this_thread::sleep_until(scheduledAt + 60ms);  // both timers fall due while blocked
        gate.set_value();
        ASSERT_TRUE(log->waitForEvents(4));
        for (int i = 2; i < 100; ++i)
            scheduler.schedule([log, i] { log->recordValue(std::to_string(i)); });
        farCaptured.reset();
    }
    auto values = log->values();
    ASSERT_EQ(values.size(), 102u);
    EXPECT_EQ(Strings(values.begin(), values.begin() + 5),
              (Strings{"0RxTestLoop", "1RxTestLoop", "timer 10", "timer 40", "2"}));
    EXPECT_EQ(values.back(), "99");
    EXPECT_TRUE(cancelled->isDisposed() && far->isDisposed());
    EXPECT_TRUE(farWatch.expired());
}

// Each action waits for the other one: this completes only if both run at once. A cancelled timer
// never runs, also when a later one has.
TEST(ConcurrentDispatchQueueSchedulerTest, RunsActionsInParallelAndDelayedOnesUnlessCancelled) {
    auto scheduler = std::make_shared<ConcurrentDispatchQueueScheduler>("ConnectionImpl", 2);
    std::promise<void> first, second;
    auto log = Log::make();
    auto meet = [&](std::promise<void>& mine, std::promise<void>& other) {
        return [log, m = &mine, o = &other] {
            m->set_value();
            if (o->get_future().wait_for(20s) == std::future_status::ready)
                log->recordValue(currentThreadName());
        };
    };
    scheduler->schedule(meet(first, second));
    scheduler->schedule(meet(second, first));
    ASSERT_TRUE(log->waitForEvents(2));
    scheduler->scheduleAfter(10ms, [log] { log->recordValue("cancelled"); })->dispose();
    scheduler->scheduleAfter(30ms, [log] { log->recordValue("due"); });
    ASSERT_TRUE(log->waitForEvents(3));
    EXPECT_EQ(log->values(), (Strings{"ConnectionImpl", "ConnectionImpl", "due"}));
}

// The last reference to a scheduler, held by one of its own actions, goes on its own worker while
// work is queued behind it (and, in a pool, while other workers are busy): the queued work runs and
// the scheduler shuts down cleanly.
TEST(SchedulerLifetimeTest, LastReferenceDroppedInsideItsOwnActionShutsDownCleanly) {
    for (int workers : {0, 3}) {
        SCOPED_TRACE(workers);
        auto log = Log::make();
        std::weak_ptr<Scheduler> watch;
        {
            SchedulerPtr scheduler =
                workers ? SchedulerPtr(std::make_shared<ConcurrentDispatchQueueScheduler>(
                              "RxTestSelf", workers))
                        : std::make_shared<SerialEventLoopScheduler>("RxTestSelf");
            watch = scheduler;
            std::promise<void> gate;
            auto opened = gate.get_future().share();
            scheduler->schedule([opened] { opened.wait(); });
            scheduler->schedule([log, keep = scheduler, opened] {
                opened.wait();
                log->recordValue("holder");
            });
            for (int i = 0; i < 10; ++i)
                scheduler->schedule([log] { log->recordValue("queued"); });
            scheduler.reset();
            gate.set_value();
        }
        ASSERT_TRUE(log->waitForEvents(11));
        if (workers == 0) {
            EXPECT_EQ(log->values().front(), "holder");
        }
        for (int i = 0; i < 2000 && !watch.expired(); ++i)
            std::this_thread::sleep_for(10ms);
        EXPECT_TRUE(watch.expired());
    }
}

// Due actions run in time order (equal times in scheduling order), including those scheduled by
// actions; the past leaves the clock alone.
TEST(VirtualTimeSchedulerTest, RunsDueActionsInTimeOrderAndObserveOnDeliversWhenTheClockMoves) {
    auto scheduler = std::make_shared<VirtualTimeScheduler>();
    const auto start = scheduler->now();
    Strings log;
    auto at = [&](std::string name) {
        return [&, name] { log.push_back(name + std::to_string((scheduler->now() - start) / 1s)); };
    };
    scheduler->scheduleAfter(5s, at("a"));
    scheduler->scheduleAfter(5s, at("b"));
    scheduler->scheduleAfter(4s, at("cancelled"))->dispose();
    scheduler->scheduleAfter(3s, [&] {
        at("c")();
        scheduler->scheduleAfter(1s, at("d"));
    });
    EXPECT_EQ(scheduler->pendingCount(), 3u);
    scheduler->advanceBy(std::chrono::duration<double>(5.5));
    scheduler->advanceTo(start + 1s);
    EXPECT_EQ(scheduler->now() - start, 5500ms);
    EXPECT_EQ(log, (Strings{"c3", "d4", "a5", "b5"}));

    // observeOn delivers on the scheduler, with virtual time only when the clock moves; disposal
    // drops what is queued.
    PublishSubject<int> subject;
    auto kept = Recorder<int>::make(), dropped = Recorder<int>::make();
    kept->subscribeTo(subject.asObservable().observeOn(scheduler));
    auto droppedSubscription = dropped->subscribeTo(subject.asObservable().observeOn(scheduler));
    subject.onNext(1);
    subject.onCompleted();
    EXPECT_TRUE(kept->events().empty());
    droppedSubscription->dispose();
    scheduler->advanceBy(0s);
    EXPECT_EQ(kept->events(), (Strings{"value", "completed", "disposed"}));
    EXPECT_EQ(dropped->events(), Strings{"disposed"});
}

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
    std::vector<std::shared_ptr<std::atomic<int>>> all(2 * 300);  // each round's own slot
    onThreads(2, [&](int t) {
        for (int round = 0; round < 300; ++round) {
            const int slot = t * 300 + round, marker = -slot - 1;
            auto disposed = all[slot] = std::make_shared<std::atomic<int>>(0);
            auto subscription = subject.asObservable().subscribe(
                [&faults, disposed, marker](const int& value) {
                    faults += disposed->load() > 0 || value == marker;
                },
                nullptr, nullptr, [disposed] { disposed->fetch_add(1); });
            std::this_thread::yield();
            subscription->dispose();
            subject.onNext(marker);
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
    auto connect = [&] {
        subscribes.fetch_add(1);
        faults += connections.fetch_add(1) != 0;
    };
    auto disconnect = [&] {
        connections.fetch_sub(1);
        disposes.fetch_add(1);
    };
    auto shared = variable.asObservable().doOn(connect, disconnect).share().observeOn(pool);
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
