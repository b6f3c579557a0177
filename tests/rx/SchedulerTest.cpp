#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
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

namespace {

/// A thread-safe log of strings with a bounded wait for its length.
class Log {
  public:
    void add(std::string entry) {
        // Notified under the lock: a waiter that wakes may destroy the log at once.
        std::lock_guard lock(mutex_);
        entries_.push_back(std::move(entry));
        changed_.notify_all();
    }
    std::vector<std::string> entries() const {
        std::lock_guard lock(mutex_);
        return entries_;
    }
    bool waitForSize(std::size_t size) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 20s, [&] { return entries_.size() >= size; });
    }

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> entries_;
};

/// Blocks a scheduler's worker until released, so a test can line up work behind it.
class Gate {
  public:
    /// The action holds its own copy of the future, so the gate may go before the worker.
    Scheduler::Action blocker() {
        return [opened = opened_] { opened.wait(); };
    }
    void open() { promise_.set_value(); }

  private:
    std::promise<void> promise_;
    std::shared_future<void> opened_ = promise_.get_future().share();
};

}  // namespace

TEST(SerialEventLoopSchedulerTest, RunsActionsInOrderOnOneNamedThreadAndTimersByDueTime) {
    auto scheduler = std::make_shared<SerialEventLoopScheduler>("RxTestLoop");
    Log log;
    Gate gate;
    scheduler->schedule(gate.blocker());

    // Lined up behind the blocked worker: timers in reverse due order, a cancelled timer, and
    // plain actions.
    const auto scheduledAt = scheduler->now();
    scheduler->scheduleAfter(40ms, [&] { log.add("timer 40"); });
    scheduler->scheduleAfter(std::chrono::duration<double>(0.01), [&] { log.add("timer 10"); });
    auto captured = std::make_shared<int>(0);
    std::weak_ptr<int> watch = captured;
    auto cancelled = scheduler->scheduleAfter(20ms, [&log, captured] { log.add("cancelled"); });
    captured.reset();
    for (int i = 0; i < 3; ++i)
        scheduler->schedule(
            [&, i] { log.add("action " + std::to_string(i) + " " + currentThreadName()); });

    cancelled->dispose();
    EXPECT_TRUE(cancelled->isDisposed());
    EXPECT_TRUE(watch.expired());  // a cancelled action is released at once

    // Let both timers fall due while the worker is still blocked, then release it.
    std::this_thread::sleep_until(scheduledAt + 60ms);
    gate.open();
    ASSERT_TRUE(log.waitForSize(5));
    scheduler->schedule([&] { log.add("last"); });
    ASSERT_TRUE(log.waitForSize(6));
    EXPECT_EQ(log.entries(),
              (std::vector<std::string>{"action 0 RxTestLoop", "action 1 RxTestLoop",
                                        "action 2 RxTestLoop", "timer 10", "timer 40", "last"}));
}

TEST(SerialEventLoopSchedulerTest, DestructionRunsQueuedActionsAndCancelsTimersNotYetDue) {
    std::vector<int> ran;
    auto captured = std::make_shared<int>(0);
    std::weak_ptr<int> watch = captured;
    DisposablePtr timer;
    {
        SerialEventLoopScheduler scheduler("RxTestDrain");
        Gate gate;
        scheduler.schedule(gate.blocker());
        for (int i = 0; i < 100; ++i)
            scheduler.schedule([&ran, i] { ran.push_back(i); });
        timer = scheduler.scheduleAfter(1h, [captured] { ADD_FAILURE() << "timer ran"; });
        captured.reset();
        gate.open();
    }
    // The destructor waited for the queue; the far timer was dropped, not waited for.
    ASSERT_EQ(ran.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(ran[i], i);
    EXPECT_TRUE(timer->isDisposed());
    EXPECT_TRUE(watch.expired());
}

TEST(SerialEventLoopSchedulerTest, LastReferenceDroppedInsideItsOwnActionShutsDownCleanly) {
    Log log;
    std::weak_ptr<Scheduler> watch;
    {
        auto scheduler = std::make_shared<SerialEventLoopScheduler>("RxTestSelf");
        watch = scheduler;
        Gate gate;
        scheduler->schedule(gate.blocker());
        // This action holds the last reference once the test lets go of its own: the scheduler
        // is destroyed on its own thread when the action is released.
        scheduler->schedule(
            [&log, keep = std::shared_ptr<Scheduler>(scheduler)] { log.add("holder"); });
        scheduler->schedule([&log] { log.add("queued behind"); });
        scheduler.reset();
        gate.open();
    }
    ASSERT_TRUE(log.waitForSize(2));
    EXPECT_EQ(log.entries(), (std::vector<std::string>{"holder", "queued behind"}));
    EXPECT_TRUE(watch.expired());
}

TEST(ConcurrentDispatchQueueSchedulerTest, RunsActionsInParallelAndDelayedOnesUnlessCancelled) {
    auto scheduler = std::make_shared<ConcurrentDispatchQueueScheduler>("ConnectionImpl", 2);

    // Each action waits for the other one: this completes only if both run at once.
    std::promise<void> firstStarted;
    std::promise<void> secondStarted;
    Log log;
    auto meet = [&](std::promise<void>& mine, std::promise<void>& other, std::string name) {
        return [&log, m = &mine, o = &other, name] {
            m->set_value();
            if (o->get_future().wait_for(20s) == std::future_status::ready)
                log.add(name + " met on " + currentThreadName());
        };
    };
    scheduler->schedule(meet(firstStarted, secondStarted, "first"));
    scheduler->schedule(meet(secondStarted, firstStarted, "second"));
    ASSERT_TRUE(log.waitForSize(2));
    for (const auto& entry : log.entries())
        EXPECT_NE(entry.find("met on ConnectionImpl"), std::string::npos) << entry;

    // A cancelled timer never runs, also when a later one, due after it, has run.
    auto cancelled = scheduler->scheduleAfter(10ms, [&] { log.add("cancelled"); });
    cancelled->dispose();
    scheduler->scheduleAfter(30ms, [&] { log.add("due"); });
    ASSERT_TRUE(log.waitForSize(3));
    EXPECT_EQ(log.entries().back(), "due");
    EXPECT_EQ(log.entries().size(), 3u);
}

TEST(ConcurrentDispatchQueueSchedulerTest, LastReferenceDroppedOnAWorkerWhileOthersAreBusy) {
    Log log;
    std::weak_ptr<Scheduler> watch;
    {
        auto scheduler = std::make_shared<ConcurrentDispatchQueueScheduler>("RxTestPoolSelf", 3);
        watch = scheduler;
        Gate gate;
        scheduler->schedule(gate.blocker());
        // The holder runs in parallel with the blocker, so it waits for the gate as well.
        scheduler->schedule(
            [&log, keep = std::shared_ptr<Scheduler>(scheduler), opened = gate.blocker()] {
                opened();
                log.add("holder");
            });
        for (int i = 0; i < 10; ++i)
            scheduler->schedule([&log] { log.add("queued"); });
        scheduler.reset();
        gate.open();
    }
    ASSERT_TRUE(log.waitForSize(11));
    EXPECT_EQ(log.entries().size(), 11u);
    // The workers end by themselves; the pool is gone once they have.
    for (int i = 0; i < 2000 && !watch.expired(); ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(watch.expired());
}

TEST(VirtualTimeSchedulerTest, RunsDueActionsInTimeOrderWhenTheClockIsAdvanced) {
    VirtualTimeScheduler scheduler;
    const auto start = scheduler.now();
    std::vector<std::string> log;
    auto at = [&](const std::string& name) {
        return [&, name] {
            log.push_back(name + "@" +
                          std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                             scheduler.now() - start)
                                             .count()));
        };
    };
    scheduler.scheduleAfter(10s, at("ten"));
    scheduler.scheduleAfter(5s, at("five-a"));
    scheduler.scheduleAfter(5s, at("five-b"));  // equal times: first scheduled runs first
    auto cancelled = scheduler.scheduleAfter(7s, at("cancelled"));
    scheduler.schedule(at("now"));
    scheduler.scheduleAfter(3s, [&] {
        at("three")();
        // Scheduled by an action: runs in this advance when it falls due within it.
        scheduler.scheduleAfter(1s, at("four"));
        scheduler.scheduleAfter(30s, at("thirty-three"));
    });
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(scheduler.pendingCount(), 6u);

    cancelled->dispose();
    EXPECT_EQ(scheduler.pendingCount(), 5u);
    scheduler.advanceBy(std::chrono::duration<double>(9.5));
    EXPECT_EQ(log,
              (std::vector<std::string>{"now@0", "three@3", "four@4", "five-a@5", "five-b@5"}));
    EXPECT_EQ(scheduler.now() - start, 9500ms);

    scheduler.advanceTo(start + 1s);  // the past: nothing due, the clock stays
    EXPECT_EQ(scheduler.now() - start, 9500ms);
    scheduler.advanceBy(500ms);
    EXPECT_EQ(log.back(), "ten@10");

    // Scheduled and cancelled from other threads, actions run on the advancing thread.
    std::thread::id ranOn;
    std::thread([&] {
        scheduler.scheduleAfter(1s, [&] { ranOn = std::this_thread::get_id(); });
        scheduler.scheduleAfter(2s, at("cancelled"))->dispose();
    }).join();
    scheduler.runAll();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_EQ(log.back(), "thirty-three@33");
    EXPECT_EQ(scheduler.now() - start, 33s);
    EXPECT_EQ(scheduler.pendingCount(), 0u);
    EXPECT_EQ(log.size(), 7u);
}
