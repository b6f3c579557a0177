#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

namespace velkor::test {

/// What a bus handler received, handed to the test thread. Waits are bounded only so that a
/// lost message fails the test instead of hanging it.
template <typename T>
class Inbox {
  public:
    /// Notifies under the lock: a waiter that takes the item may destroy the inbox at once.
    void push(T value) {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(value));
        arrived_.notify_all();
    }

    /// The next item, or none if nothing arrives within ten seconds.
    std::optional<T> next() {
        std::unique_lock lock(mutex_);
        if (!arrived_.wait_for(lock, std::chrono::seconds(10), [&] { return !items_.empty(); }))
            return std::nullopt;
        T value = std::move(items_.front());
        items_.pop_front();
        return value;
    }

    /// Everything not taken yet.
    std::vector<T> drain() {
        std::lock_guard lock(mutex_);
        std::vector<T> all(std::make_move_iterator(items_.begin()),
                           std::make_move_iterator(items_.end()));
        items_.clear();
        return all;
    }

  private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<T> items_;
};

}  // namespace velkor::test
