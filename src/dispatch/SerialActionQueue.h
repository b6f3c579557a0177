#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "velkor/rx/Scheduler.h"

namespace velkor::dispatch {

/// Runs actions one at a time, in the order they were added, on a scheduler of any kind: even a
/// concurrent pool then never runs two of them at once or swaps two. Actions are drained by one
/// scheduled task at a time, which keeps going until the queue is empty.
class SerialActionQueue : public std::enable_shared_from_this<SerialActionQueue> {
  public:
    static std::shared_ptr<SerialActionQueue> make(rx::SchedulerPtr scheduler) {
        return std::shared_ptr<SerialActionQueue>(new SerialActionQueue(std::move(scheduler)));
    }

    /// Adds `action`; it runs after every action added before it.
    void add(std::function<void()> action);

    const rx::SchedulerPtr& scheduler() const { return scheduler_; }

  private:
    explicit SerialActionQueue(rx::SchedulerPtr scheduler) : scheduler_(std::move(scheduler)) {}

    void drain();

    rx::SchedulerPtr scheduler_;
    std::mutex mutex_;
    std::deque<std::function<void()>> actions_;
    bool draining_ = false;
};

}  // namespace velkor::dispatch
