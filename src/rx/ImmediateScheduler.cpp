#include "velkor/rx/ImmediateScheduler.h"

#include <thread>
#include <utility>

#include "rx/ScheduledAction.h"

namespace velkor::rx {

Scheduler::TimePoint ImmediateScheduler::now() const {
    return Clock::now();
}

DisposablePtr ImmediateScheduler::schedule(Action action) {
    auto item = std::make_shared<ScheduledAction>(std::move(action));
    item->run();
    return item;
}

DisposablePtr ImmediateScheduler::scheduleDelayed(Duration delay, Action action) {
    std::this_thread::sleep_for(delay);
    return schedule(std::move(action));
}

}  // namespace velkor::rx
