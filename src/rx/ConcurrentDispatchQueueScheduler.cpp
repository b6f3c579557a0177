#include "velkor/rx/ConcurrentDispatchQueueScheduler.h"

#include <utility>

#include "rx/WorkerPool.h"

namespace velkor::rx {

ConcurrentDispatchQueueScheduler::ConcurrentDispatchQueueScheduler(std::string label,
                                                                   std::size_t maxWorkers)
    : pool_(std::make_shared<WorkerPool>(std::move(label), maxWorkers)) {}

ConcurrentDispatchQueueScheduler::~ConcurrentDispatchQueueScheduler() {
    pool_->shutdown();
}

const std::string& ConcurrentDispatchQueueScheduler::label() const {
    return pool_->label();
}

std::size_t ConcurrentDispatchQueueScheduler::maxWorkers() const {
    return pool_->maxWorkers();
}

Scheduler::TimePoint ConcurrentDispatchQueueScheduler::now() const {
    return Clock::now();
}

DisposablePtr ConcurrentDispatchQueueScheduler::schedule(Action action) {
    return pool_->schedule(std::move(action));
}

DisposablePtr ConcurrentDispatchQueueScheduler::scheduleDelayed(Duration delay, Action action) {
    return pool_->scheduleAt(now() + delay, std::move(action));
}

}  // namespace velkor::rx
