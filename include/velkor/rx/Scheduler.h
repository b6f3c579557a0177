#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "velkor/rx/Disposable.h"

namespace velkor::rx {

/// Runs actions, at once or after a delay, on the threads of its choice. Handled through
/// `SchedulerPtr`; every implementation accepts actions from any thread.
class Scheduler {
  public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;
    using Duration = Clock::duration;
    using Action = std::function<void()>;

    virtual ~Scheduler() = default;

    /// The scheduler's current time; delays are measured on this clock.
    virtual TimePoint now() const = 0;

    /// Runs `action` once, as soon as the scheduler allows. Disposing the result before the
    /// action has started cancels it; once it has started, disposing has no effect.
    virtual DisposablePtr schedule(Action action) = 0;

    /// Runs `action` once, `delay` after now() (a negative delay counts as zero). Disposing the
    /// result before the action has started cancels it and releases the action.
    template <typename Rep, typename Period>
    DisposablePtr scheduleAfter(std::chrono::duration<Rep, Period> delay, Action action) {
        auto rounded = std::chrono::ceil<Duration>(delay);
        return scheduleDelayed(rounded < Duration::zero() ? Duration::zero() : rounded,
                               std::move(action));
    }

  protected:
    /// scheduleAfter() with the delay already converted to the clock's unit and not negative.
    virtual DisposablePtr scheduleDelayed(Duration delay, Action action) = 0;
};

using SchedulerPtr = std::shared_ptr<Scheduler>;

}  // namespace velkor::rx
