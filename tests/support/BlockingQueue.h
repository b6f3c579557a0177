#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

namespace velkor::test {

/// Hands items from handler threads to the test thread. Waits are bounded so that a lost item
/// fails the test instead of hanging it.
template <typename T>
class BlockingQueue {
  public:
    void push(T value) {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(value));
        arrived_.notify_all();
    }

    /// The next item, or none if nothing arrives within `timeout`.
    std::optional<T> next(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        if (!arrived_.wait_for(lock, timeout, [&] { return !items_.empty(); }))
            return std::nullopt;
        T value = std::move(items_.front());
        items_.pop_front();
        return value;
    }

    std::size_t size() const {
        std::lock_guard lock(mutex_);
        return items_.size();
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<T> items_;
};

}  // namespace velkor::test
