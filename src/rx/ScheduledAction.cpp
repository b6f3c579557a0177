#include "rx/ScheduledAction.h"

#include <utility>

namespace velkor::rx {

ScheduledAction::ScheduledAction(Scheduler::Action action) : action_(std::move(action)) {}

bool ScheduledAction::run() {
    int expected = pending;
    if (!state_.compare_exchange_strong(expected, started, std::memory_order_acq_rel))
        return false;
    // Moved out so that whatever the action captured is released when it returns, or throws.
    auto action = std::move(action_);
    if (action)
        action();
    return true;
}

void ScheduledAction::dispose() {
    int expected = pending;
    if (state_.compare_exchange_strong(expected, cancelled, std::memory_order_acq_rel))
        action_ = nullptr;
}

bool ScheduledAction::isDisposed() const {
    return state_.load(std::memory_order_acquire) != pending;
}

}  // namespace velkor::rx
