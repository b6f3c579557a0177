#pragma once

#include <atomic>

#include "velkor/rx/Disposable.h"
#include "velkor/rx/Scheduler.h"

namespace velkor::rx {

/// One action handed to a scheduler, and the disposable that cancels it. It runs at most once
/// and never after it was cancelled; whichever of run() and dispose() comes first wins.
class ScheduledAction final : public Disposable {
  public:
    explicit ScheduledAction(Scheduler::Action action);

    /// Runs the action unless it was cancelled or has already run; the action is released once
    /// it returns. Returns whether it ran. An exception from the action propagates.
    bool run();

    /// Cancels the action if it has not started, releasing it at once (on this thread).
    void dispose() override;

    /// True once the action was cancelled or has started.
    bool isDisposed() const override;

  private:
    enum State : int { pending, started, cancelled };

    std::atomic<int> state_{pending};
    Scheduler::Action action_;
};

}  // namespace velkor::rx
