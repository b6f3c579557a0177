#pragma once

#include <mutex>
#include <utility>

namespace velkor {

/// A value that several threads read and replace: every access copies it under a small lock.
/// Used for fields that are read without the owner's main lock (a container's connection).
template <typename T>
class Guarded {
  public:
    Guarded() = default;
    explicit Guarded(T value) : value_(std::move(value)) {}

    T load() const {
        std::lock_guard lock(mutex_);
        return value_;
    }
    void store(T value) {
        T old;
        {
            std::lock_guard lock(mutex_);
            old = std::exchange(value_, std::move(value));
        }
        // `old` is released outside the lock: its destructor may run arbitrary code.
    }
    /// Replaces the value only when it still equals `expected`; true when it did.
    bool compareAndStore(const T& expected, T value) {
        T old;
        {
            std::lock_guard lock(mutex_);
            if (!(value_ == expected))
                return false;
            old = std::exchange(value_, std::move(value));
        }
        return true;
    }

  private:
    mutable std::mutex mutex_;
    T value_{};
};

}  // namespace velkor
