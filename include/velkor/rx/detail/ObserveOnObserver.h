#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "velkor/rx/Observer.h"
#include "velkor/rx/Scheduler.h"
#include "velkor/rx/detail/Event.h"

namespace velkor::rx::detail {

/// The state behind `Observable::observeOn()` for one subscription: events are queued in
/// arrival order and drained on the scheduler by one action at a time, so the downstream
/// observer is never called concurrently and sees the events in order, even on a concurrent
/// scheduler.
template <typename T>
class ObserveOnObserver final : public Observer<T>,
                                public std::enable_shared_from_this<ObserveOnObserver<T>> {
  public:
    ObserveOnObserver(ObserverPtr<T> downstream, SchedulerPtr scheduler)
        : downstream_(std::move(downstream)), scheduler_(std::move(scheduler)) {}

    void onNext(const T& value) override { enqueue(Event<T>::next(value)); }
    void onError(Error error) override { enqueue(Event<T>::error(std::move(error))); }
    void onCompleted() override { enqueue(Event<T>::completed()); }

    /// Stops delivery: queued events are dropped, and the downstream observer and the scheduler
    /// are released (a drain still queued on the scheduler then holds nothing that holds the
    /// scheduler). A delivery already running on the scheduler finishes.
    void dispose() {
        ObserverPtr<T> downstream;
        SchedulerPtr scheduler;
        std::deque<Event<T>> dropped;
        std::lock_guard lock(mutex_);
        disposed_ = true;
        downstream = std::move(downstream_);
        scheduler = std::move(scheduler_);
        dropped.swap(queue_);
    }

  private:
    void enqueue(Event<T> event) {
        SchedulerPtr scheduler;
        {
            std::lock_guard lock(mutex_);
            if (disposed_ || ended_)
                return;
            ended_ = event.isTerminal();
            queue_.push_back(std::move(event));
            if (draining_)
                return;
            draining_ = true;
            scheduler = scheduler_;
        }
        scheduler->schedule([self = this->shared_from_this()] { self->drain(); });
    }

    void drain() {
        for (;;) {
            std::optional<Event<T>> event;
            ObserverPtr<T> downstream;
            {
                std::lock_guard lock(mutex_);
                if (disposed_ || queue_.empty()) {
                    draining_ = false;
                    return;
                }
                event.emplace(std::move(queue_.front()));
                queue_.pop_front();
                downstream = downstream_;
            }
            try {
                event->deliverTo(*downstream);
            } catch (...) {
                // A throwing observer must not leave the queue stuck: the next event starts a
                // new drain.
                std::lock_guard lock(mutex_);
                draining_ = false;
                throw;
            }
        }
    }

    std::mutex mutex_;
    ObserverPtr<T> downstream_;
    SchedulerPtr scheduler_;
    std::deque<Event<T>> queue_;
    bool draining_ = false;  ///< a drain is scheduled or running
    bool ended_ = false;     ///< a terminal event was queued
    bool disposed_ = false;
};

}  // namespace velkor::rx::detail
