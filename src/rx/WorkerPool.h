#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <queue>
#include <string>
#include <thread>
#include <vector>

#include "velkor/rx/Disposable.h"
#include "velkor/rx/Scheduler.h"

namespace velkor::rx {

class ScheduledAction;

/// The threads, ready queue and timers behind the threaded schedulers. Workers start on demand
/// up to a maximum; a pool of one worker runs its actions strictly in order. Each worker holds
/// the pool alive, so the pool outlives the scheduler that owns it for as long as a worker
/// still runs.
class WorkerPool final : public std::enable_shared_from_this<WorkerPool> {
  public:
    WorkerPool(std::string label, std::size_t maxWorkers);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    const std::string& label() const { return label_; }
    std::size_t maxWorkers() const { return maxWorkers_; }

    /// Queue an action, or a timer for `due`. Once the pool is shutting down, actions are
    /// refused: released at once and never run (the returned handle reads as disposed).
    DisposablePtr schedule(Scheduler::Action action);
    DisposablePtr scheduleAt(Scheduler::TimePoint due, Scheduler::Action action);

    /// Stops taking actions and cancels the timers not yet due; the workers run what is queued
    /// and end. Waits for them, unless called on one of them (then they are detached). Called
    /// once, by the owning scheduler's destructor.
    void shutdown();

  private:
    struct Timer {
        Scheduler::TimePoint due;
        std::uint64_t sequence;
        std::shared_ptr<ScheduledAction> action;
        bool operator>(const Timer& other) const;
    };

    /// A worker's loop: runs ready actions, moves due timers to the ready queue, waits.
    void work();
    /// Moves the timers that are due to the end of the ready queue, in due order.
    void promoteDueTimersLocked();
    void startWorkerLocked();
    void runGuarded(ScheduledAction& action) const;

    const std::string label_;
    const std::size_t maxWorkers_;

    std::mutex mutex_;
    std::condition_variable wakeUp_;
    std::deque<std::shared_ptr<ScheduledAction>> ready_;
    std::priority_queue<Timer, std::vector<Timer>, std::greater<>> timers_;
    std::uint64_t timerSequence_ = 0;
    std::vector<std::thread> workers_;
    std::size_t idle_ = 0;
    bool stopping_ = false;
};

}  // namespace velkor::rx
