#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>

namespace velkor::dispatch {

/// A one-shot signal with a timed wait that carries an optional value: one thread waits until it
/// is released or a deadline (monotonic clock) passes; another releases it once, with or without
/// a value.
///
/// Releasing and waking are two steps so that the releasing thread can release while it holds
/// its own locks (deciding who releases) and wake only after dropping them: the woken thread
/// then never blocks at once on a lock its waker still holds. The releasing thread must keep the
/// signal alive until it has woken the waiter (share it, e.g. through a shared_ptr).
template <typename T>
class OneShot {
  public:
    using Clock = std::chrono::steady_clock;

    /// Marks the signal released with `value` (none when the wait ends without one). Call wake()
    /// afterwards.
    void release(std::optional<T> value) {
        std::lock_guard lock(mutex_);
        released_ = true;
        value_ = std::move(value);
    }

    /// Wakes the waiter of a released signal.
    void wake() { releasedCondition_.notify_one(); }

    /// True once released, false when the deadline passed first.
    bool waitUntil(Clock::time_point deadline) {
        std::unique_lock lock(mutex_);
        return releasedCondition_.wait_until(lock, deadline, [this] { return released_; });
    }

    /// The value released with, once; none before release or when released without one.
    std::optional<T> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(value_, std::nullopt);
    }

  private:
    std::mutex mutex_;
    std::condition_variable releasedCondition_;
    bool released_ = false;
    std::optional<T> value_;
};

}  // namespace velkor::dispatch
