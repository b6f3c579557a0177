#include "rx/WorkerPool.h"

#include <pthread.h>

#include <algorithm>
#include <exception>
#include <utility>

#include "basalt/QZLogger.h"
#include "rx/ScheduledAction.h"

namespace velkor::rx {

namespace {

auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Rx");

/// The pool whose worker the current thread is, if any.
thread_local const WorkerPool* currentPool = nullptr;

}  // namespace

bool WorkerPool::Timer::operator>(const Timer& other) const {
    return due != other.due ? due > other.due : sequence > other.sequence;
}

WorkerPool::WorkerPool(std::string label, std::size_t maxWorkers)
    : label_(std::move(label)), maxWorkers_(std::max<std::size_t>(maxWorkers, 1)) {}

WorkerPool::~WorkerPool() = default;

DisposablePtr WorkerPool::schedule(Scheduler::Action action) {
    auto item = std::make_shared<ScheduledAction>(std::move(action));
    {
        std::lock_guard lock(mutex_);
        if (!stopping_) {
            ready_.push_back(item);
            // Every idle worker takes one ready action; start another worker when they cannot
            // take them all.
            if (ready_.size() > idle_ && workers_.size() < maxWorkers_)
                startWorkerLocked();
            else
                wakeUp_.notify_one();
            return item;
        }
    }
    item->dispose();
    return item;
}

DisposablePtr WorkerPool::scheduleAt(Scheduler::TimePoint due, Scheduler::Action action) {
    auto item = std::make_shared<ScheduledAction>(std::move(action));
    {
        std::lock_guard lock(mutex_);
        if (!stopping_) {
            timers_.push(Timer{due, ++timerSequence_, item});
            if (idle_ == 0 && workers_.size() < maxWorkers_)
                startWorkerLocked();
            else if (timers_.top().action == item)
                wakeUp_.notify_all();  // the earliest deadline changed: waiting workers re-arm
            return item;
        }
    }
    item->dispose();
    return item;
}

void WorkerPool::shutdown() {
    std::vector<std::thread> workers;
    std::vector<std::shared_ptr<ScheduledAction>> cancelled;
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        stopping_ = true;
        workers.swap(workers_);
        while (!timers_.empty()) {
            auto& top = timers_.top();
            if (top.due <= Scheduler::Clock::now())
                ready_.push_back(top.action);  // already due: runs like a queued action
            else
                cancelled.push_back(top.action);
            timers_.pop();
        }
    }
    wakeUp_.notify_all();
    // Released outside the lock: an action's captures may schedule or drop other things.
    for (auto& action : cancelled)
        action->dispose();
    const bool onWorker = currentPool == this;
    for (auto& worker : workers) {
        if (onWorker)
            worker.detach();
        else
            worker.join();
    }
}

void WorkerPool::startWorkerLocked() {
    workers_.emplace_back([self = shared_from_this()] { self->work(); });
}

void WorkerPool::work() {
    currentPool = this;
    pthread_setname_np(pthread_self(), label_.substr(0, 15).c_str());
    std::unique_lock lock(mutex_);
    for (;;) {
        promoteDueTimersLocked();
        if (!ready_.empty()) {
            auto action = std::move(ready_.front());
            ready_.pop_front();
            lock.unlock();
            // The action (and what it captured, possibly the last reference to the scheduler
            // that owns this pool) is released inside run(), with no lock held.
            runGuarded(*action);
            action.reset();
            lock.lock();
            continue;
        }
        if (stopping_)
            break;
        ++idle_;
        if (timers_.empty()) {
            wakeUp_.wait(lock);
        } else {
            // A copy: the heap may reallocate while the lock is released.
            const auto due = timers_.top().due;
            wakeUp_.wait_until(lock, due);
        }
        --idle_;
    }
    currentPool = nullptr;
}

void WorkerPool::promoteDueTimersLocked() {
    if (timers_.empty())
        return;
    const auto now = Scheduler::Clock::now();
    while (!timers_.empty() && timers_.top().due <= now) {
        ready_.push_back(timers_.top().action);
        timers_.pop();
    }
}

void WorkerPool::runGuarded(ScheduledAction& action) const {
    // An exception must not end the worker (std::terminate): it is logged and dropped.
    try {
        action.run();
    } catch (const std::exception& e) {
        log.error("An action on scheduler '%@' threw: %@", label_, e.what());
    } catch (...) {
        log.error("An action on scheduler '%@' threw a non-standard exception.", label_);
    }
}

}  // namespace velkor::rx
