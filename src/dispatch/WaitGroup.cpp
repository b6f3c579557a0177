#include "dispatch/WaitGroup.h"

namespace velkor::dispatch {

void WaitGroup::enter() {
    std::lock_guard lock(mutex_);
    ++count_;
}

void WaitGroup::leave() {
    // Notifying under the lock lets a woken waiter destroy the group as soon as it returns.
    std::lock_guard lock(mutex_);
    if (count_ > 0 && --count_ == 0) {
        zero_.notify_all();
    }
}

bool WaitGroup::waitUntil(Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    return zero_.wait_until(lock, deadline, [this] { return count_ == 0; });
}

}  // namespace velkor::dispatch
