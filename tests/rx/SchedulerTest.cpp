#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Recorder.h"
#include "velkor/rx/ConcurrentDispatchQueueScheduler.h"
#include "velkor/rx/SerialEventLoopScheduler.h"
#include "velkor/testing/VirtualTimeScheduler.h"

using namespace velkor::rx;
using namespace std::chrono_literals;
using velkor::rx::test::currentThreadName;
using Log = velkor::rx::test::Recorder<std::string>;
using Strings = std::vector<std::string>;

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
            std::shared_ptr<Scheduler> scheduler;
            if (workers == 0)
                scheduler = std::make_shared<SerialEventLoopScheduler>("RxTestSelf");
            else
                scheduler =
                    std::make_shared<ConcurrentDispatchQueueScheduler>("RxTestSelf", workers);
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
TEST(VirtualTimeSchedulerTest, RunsDueActionsInTimeOrderWhenTheClockIsAdvanced) {
    VirtualTimeScheduler scheduler;
    const auto start = scheduler.now();
    Strings log;
    auto at = [&](std::string name) {
        return [&, name] { log.push_back(name + std::to_string((scheduler.now() - start) / 1s)); };
    };
    scheduler.scheduleAfter(5s, at("a"));
    scheduler.scheduleAfter(5s, at("b"));
    scheduler.scheduleAfter(4s, at("cancelled"))->dispose();
    scheduler.scheduleAfter(3s, [&] {
        at("c")();
        scheduler.scheduleAfter(1s, at("d"));
    });
    EXPECT_EQ(scheduler.pendingCount(), 3u);
    scheduler.advanceBy(std::chrono::duration<double>(5.5));
    scheduler.advanceTo(start + 1s);
    EXPECT_EQ(scheduler.now() - start, 5500ms);
    EXPECT_EQ(log, (Strings{"c3", "d4", "a5", "b5"}));
}
