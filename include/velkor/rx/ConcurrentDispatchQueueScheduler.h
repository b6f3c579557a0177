#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "velkor/rx/Scheduler.h"

namespace velkor::rx {

class WorkerPool;

/// A small pool of threads: actions may run in parallel and in any order. Threads start on
/// demand, up to `maxWorkers`, and stay until the scheduler is destroyed. Delayed actions run
/// when due. The label names the threads and identifies the scheduler in logs and tests.
///
/// Destruction stops taking new actions, lets the running actions and every action already
/// queued or already due run, and cancels the delayed actions that are not yet due (they never
/// run, as if disposed); it waits for the threads to end. When the last reference is dropped on
/// one of the scheduler's own threads (inside one of its actions), the destructor does not
/// wait: the threads finish the queued actions and then end by themselves.
class ConcurrentDispatchQueueScheduler final : public Scheduler {
  public:
    static constexpr std::size_t kDefaultMaxWorkers = 4;

    /// `maxWorkers` below 1 counts as 1.
    explicit ConcurrentDispatchQueueScheduler(std::string label,
                                              std::size_t maxWorkers = kDefaultMaxWorkers);
    ~ConcurrentDispatchQueueScheduler() override;
    ConcurrentDispatchQueueScheduler(const ConcurrentDispatchQueueScheduler&) = delete;
    ConcurrentDispatchQueueScheduler& operator=(const ConcurrentDispatchQueueScheduler&) = delete;

    const std::string& label() const;
    std::size_t maxWorkers() const;

    TimePoint now() const override;
    DisposablePtr schedule(Action action) override;

  protected:
    DisposablePtr scheduleDelayed(Duration delay, Action action) override;

  private:
    std::shared_ptr<WorkerPool> pool_;
};

}  // namespace velkor::rx
