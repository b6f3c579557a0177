#include "velkor/rx/SerialEventLoopScheduler.h"

#include <utility>

#include "rx/WorkerPool.h"

namespace velkor::rx {

SerialEventLoopScheduler::SerialEventLoopScheduler(std::string label)
    : pool_(std::make_shared<WorkerPool>(std::move(label), 1)) {}

SerialEventLoopScheduler::~SerialEventLoopScheduler() {
    pool_->shutdown();
}

const std::string& SerialEventLoopScheduler::label() const {
    return pool_->label();
}

Scheduler::TimePoint SerialEventLoopScheduler::now() const {
    return Clock::now();
}

DisposablePtr SerialEventLoopScheduler::schedule(Action action) {
    return pool_->schedule(std::move(action));
}

DisposablePtr SerialEventLoopScheduler::scheduleDelayed(Duration delay, Action action) {
    return pool_->scheduleAt(now() + delay, std::move(action));
}

}  // namespace velkor::rx
