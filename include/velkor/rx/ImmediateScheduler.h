#pragma once

#include "velkor/rx/Scheduler.h"

namespace velkor::rx {

/// Runs every action at once, on the calling thread, before schedule() returns. A delayed
/// action blocks the calling thread for the delay (sleeping) and then runs; it cannot be
/// cancelled. The returned disposables are already disposed.
class ImmediateScheduler final : public Scheduler {
  public:
    TimePoint now() const override;
    DisposablePtr schedule(Action action) override;

  protected:
    DisposablePtr scheduleDelayed(Duration delay, Action action) override;
};

}  // namespace velkor::rx
