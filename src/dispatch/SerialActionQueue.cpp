#include "dispatch/SerialActionQueue.h"

namespace velkor::dispatch {

void SerialActionQueue::add(std::function<void()> action) {
    {
        std::lock_guard lock(mutex_);
        actions_.push_back(std::move(action));
        if (draining_)
            return;
        draining_ = true;
    }
    // The task keeps the queue alive until it has drained it.
    scheduler_->schedule([self = shared_from_this()] { self->drain(); });
}

void SerialActionQueue::drain() {
    for (;;) {
        std::function<void()> action;
        {
            std::lock_guard lock(mutex_);
            if (actions_.empty()) {
                draining_ = false;
                return;
            }
            action = std::move(actions_.front());
            actions_.pop_front();
        }
        try {
            action();
        } catch (...) {
            // An action that throws loses only itself: stopping here would strand every later
            // action of the queue.
        }
    }
}

}  // namespace velkor::dispatch
