#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "velkor/rx/Disposables.h"
#include "velkor/rx/Observable.h"
#include "velkor/rx/Observer.h"
#include "velkor/rx/detail/Event.h"
#include "velkor/rx/detail/ObserverList.h"

namespace velkor::rx {

/// A value with a change stream. `asObservable()` gives each new subscriber the current value
/// first, then every later value; the stream completes when the Variable is destroyed, and a
/// subscriber that arrives after that gets only the completion.
///
/// An object, not a handle: hold it by value as a member, or in a std::shared_ptr. Thread-safe.
/// Every observer sees the values in the order in which setValue() calls took effect, one at a
/// time, also when several threads set values at once. Values are delivered on the thread that
/// set them, without any lock held; when an observer is still busy with an earlier value on
/// another thread (or re-entrantly on this one), the later value is queued and delivered by
/// that thread after it, so setValue() may return before its value has reached every observer.
template <typename T>
class Variable {
  public:
    explicit Variable(T value) : state_(std::make_shared<State>(std::move(value))) {}
    ~Variable() { state_->complete(); }
    Variable(const Variable&) = delete;
    Variable& operator=(const Variable&) = delete;

    T value() const { return state_->value(); }
    void setValue(T value) { state_->setValue(std::move(value)); }

    Observable<T> asObservable() const {
        return Observable<T>::create([state = state_](ObserverPtr<T> observer) {
            return state->subscribe(std::move(observer));
        });
    }

  private:
    /// One observer with its queue of events not yet delivered. Whoever finds it idle drains
    /// the queue; everyone else only queues.
    class Subscriber {
      public:
        explicit Subscriber(ObserverPtr<T> observer) : observer_(std::move(observer)) {}

        void enqueue(detail::Event<T> event) {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(event));
        }

        void drain() {
            {
                std::lock_guard lock(mutex_);
                if (draining_)
                    return;
                draining_ = true;
            }
            for (;;) {
                std::optional<detail::Event<T>> event;
                {
                    std::lock_guard lock(mutex_);
                    if (queue_.empty()) {
                        draining_ = false;
                        return;
                    }
                    event.emplace(std::move(queue_.front()));
                    queue_.pop_front();
                }
                try {
                    event->deliverTo(*observer_);
                } catch (...) {
                    // A throwing observer must not leave the queue stuck for later values.
                    std::lock_guard lock(mutex_);
                    draining_ = false;
                    throw;
                }
            }
        }

      private:
        const ObserverPtr<T> observer_;
        std::mutex mutex_;
        std::deque<detail::Event<T>> queue_;
        bool draining_ = false;
    };

    class State final : public std::enable_shared_from_this<State> {
      public:
        explicit State(T value) : value_(std::move(value)) {}

        T value() const {
            std::lock_guard lock(mutex_);
            return value_;
        }

        void setValue(T value) {
            Snapshot subscribers;
            {
                // Queued under the lock, so that every subscriber's queue has the values in
                // the order in which they were set.
                std::lock_guard lock(mutex_);
                value_ = std::move(value);
                subscribers = subscribers_.snapshot();
                if (subscribers) {
                    for (const auto& entry : *subscribers)
                        entry.observer->enqueue(detail::Event<T>::next(value_));
                }
            }
            drainAll(subscribers);
        }

        DisposablePtr subscribe(ObserverPtr<T> observer) {
            auto subscriber = std::make_shared<Subscriber>(std::move(observer));
            DisposablePtr subscription;
            {
                std::lock_guard lock(mutex_);
                if (completed_) {
                    subscriber->enqueue(detail::Event<T>::completed());
                } else {
                    subscriber->enqueue(detail::Event<T>::next(value_));
                    auto key = subscribers_.add(subscriber);
                    subscription = Disposables::create([weak = this->weak_from_this(), key] {
                        if (auto state = weak.lock())
                            state->remove(key);
                    });
                }
            }
            subscriber->drain();
            return subscription;
        }

        void complete() {
            Snapshot subscribers;
            {
                std::lock_guard lock(mutex_);
                completed_ = true;
                subscribers = subscribers_.takeAll();
                if (subscribers) {
                    for (const auto& entry : *subscribers)
                        entry.observer->enqueue(detail::Event<T>::completed());
                }
            }
            drainAll(subscribers);
        }

      private:
        using Snapshot = typename detail::ObserverList<Subscriber>::Snapshot;

        static void drainAll(const Snapshot& subscribers) {
            if (subscribers) {
                for (const auto& entry : *subscribers)
                    entry.observer->drain();
            }
        }

        void remove(std::uint64_t key) {
            Snapshot previous;  // released after the lock
            std::lock_guard lock(mutex_);
            previous = subscribers_.snapshot();
            subscribers_.remove(key);
        }

        mutable std::mutex mutex_;
        T value_;
        detail::ObserverList<Subscriber> subscribers_;
        bool completed_ = false;
    };

    std::shared_ptr<State> state_;
};

}  // namespace velkor::rx
