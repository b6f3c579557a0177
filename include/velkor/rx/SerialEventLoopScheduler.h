#pragma once

#include <memory>
#include <string>

#include "velkor/rx/Scheduler.h"

namespace velkor::rx {

class WorkerPool;

/// Runs actions one at a time, in the order they were scheduled, on one thread of its own
/// (started on first use). Delayed actions run when due, in due-time order (first scheduled
/// first for equal times), between the other actions.
///
/// Destruction stops taking new actions, lets the running action and every action already
/// queued or already due run, and cancels the delayed actions that are not yet due (they never
/// run, as if disposed); it waits for the thread to end. When the last reference is dropped on
/// the scheduler's own thread (inside one of its actions), the destructor does not wait: the
/// thread finishes the queued actions after the current one and then ends by itself.
class SerialEventLoopScheduler final : public Scheduler {
  public:
    /// `label` names the thread (first 15 characters) and appears in log lines.
    explicit SerialEventLoopScheduler(std::string label = "SerialEventLoop");
    ~SerialEventLoopScheduler() override;
    SerialEventLoopScheduler(const SerialEventLoopScheduler&) = delete;
    SerialEventLoopScheduler& operator=(const SerialEventLoopScheduler&) = delete;

    const std::string& label() const;

    TimePoint now() const override;
    DisposablePtr schedule(Action action) override;

  protected:
    DisposablePtr scheduleDelayed(Duration delay, Action action) override;

  private:
    std::shared_ptr<WorkerPool> pool_;
};

}  // namespace velkor::rx
