#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <queue>
#include <vector>

#include "velkor/rx/Scheduler.h"

namespace velkor::rx {

class ScheduledAction;

/// Part of the testing headers (velkor/testing/), aids for the host's own tests that
/// velkor/velkor.h does not include.
///
/// A scheduler for tests, with a clock of its own that moves only when told. Actions never run
/// inside schedule(): they wait until the clock is advanced, and then run on the thread that
/// advances it, in due-time order (first scheduled first for equal times), with now() set to
/// their due time. Actions that actions schedule run in the same advance when they fall due
/// within it. Cancelled actions never run. Actions may be scheduled from any thread.
///
/// A pending action keeps what it captured until it runs, is cancelled or the scheduler goes.
/// An `observeOn` subscription whose events wait on this scheduler keeps the scheduler alive
/// until the events are delivered or the subscription is disposed: tests run the clock on or
/// dispose before they end.
class VirtualTimeScheduler final : public Scheduler {
  public:
    /// The clock starts at `start` (the clock's epoch by default).
    explicit VirtualTimeScheduler(TimePoint start = TimePoint{});
    ~VirtualTimeScheduler() override;
    VirtualTimeScheduler(const VirtualTimeScheduler&) = delete;
    VirtualTimeScheduler& operator=(const VirtualTimeScheduler&) = delete;

    TimePoint now() const override;

    /// Schedules for the current virtual time: the action runs on the next advance.
    DisposablePtr schedule(Action action) override;

    /// Runs every action due up to now() + `delay`, then leaves the clock there.
    template <typename Rep, typename Period>
    void advanceBy(std::chrono::duration<Rep, Period> delay) {
        advanceTo(now() + std::chrono::ceil<Duration>(delay));
    }

    /// Runs every action due up to `time`, then leaves the clock at `time` (a time in the past
    /// only runs what is already due and leaves the clock alone).
    void advanceTo(TimePoint time);

    /// Runs actions until none is left, moving the clock to each one's due time. An action
    /// that always schedules another keeps this from returning.
    void runAll();

    /// How many actions wait to run (cancelled ones not counted).
    std::size_t pendingCount() const;

  protected:
    DisposablePtr scheduleDelayed(Duration delay, Action action) override;

  private:
    struct Entry {
        TimePoint due;
        std::uint64_t sequence;
        std::shared_ptr<ScheduledAction> action;
        bool operator>(const Entry& other) const;
    };

    /// Takes the next action due at or before `limit` (any when `limit` is empty), moving the
    /// clock to its due time; gives nothing when there is none.
    std::shared_ptr<ScheduledAction> takeNext(const TimePoint* limit);

    mutable std::mutex mutex_;
    TimePoint now_;
    std::uint64_t sequence_ = 0;
    std::priority_queue<Entry, std::vector<Entry>, std::greater<>> queue_;
};

}  // namespace velkor::rx
