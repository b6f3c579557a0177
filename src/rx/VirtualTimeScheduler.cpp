#include "velkor/testing/VirtualTimeScheduler.h"

#include <utility>

#include "rx/ScheduledAction.h"

namespace velkor::rx {

bool VirtualTimeScheduler::Entry::operator>(const Entry& other) const {
    return due != other.due ? due > other.due : sequence > other.sequence;
}

VirtualTimeScheduler::VirtualTimeScheduler(TimePoint start) : now_(start) {}

VirtualTimeScheduler::~VirtualTimeScheduler() = default;

Scheduler::TimePoint VirtualTimeScheduler::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

DisposablePtr VirtualTimeScheduler::schedule(Action action) {
    return scheduleDelayed(Duration::zero(), std::move(action));
}

DisposablePtr VirtualTimeScheduler::scheduleDelayed(Duration delay, Action action) {
    auto item = std::make_shared<ScheduledAction>(std::move(action));
    std::lock_guard lock(mutex_);
    queue_.push(Entry{now_ + delay, ++sequence_, item});
    return item;
}

void VirtualTimeScheduler::advanceTo(TimePoint time) {
    while (auto action = takeNext(&time))
        action->run();
    std::lock_guard lock(mutex_);
    if (time > now_)
        now_ = time;
}

void VirtualTimeScheduler::runAll() {
    while (auto action = takeNext(nullptr))
        action->run();
}

std::size_t VirtualTimeScheduler::pendingCount() const {
    std::lock_guard lock(mutex_);
    auto copy = queue_;
    std::size_t count = 0;
    for (; !copy.empty(); copy.pop()) {
        if (!copy.top().action->isDisposed())
            ++count;
    }
    return count;
}

std::shared_ptr<ScheduledAction> VirtualTimeScheduler::takeNext(const TimePoint* limit) {
    std::lock_guard lock(mutex_);
    if (queue_.empty() || (limit && queue_.top().due > *limit))
        return nullptr;
    auto entry = queue_.top();
    queue_.pop();
    if (entry.due > now_)
        now_ = entry.due;
    return entry.action;
}

}  // namespace velkor::rx
