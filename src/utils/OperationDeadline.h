#pragma once

#include <chrono>
#include <optional>

namespace velkor {

/// The time by which the connection operation running on this thread must be done. An operation
/// that may make several requests (an opening: fetch, create, fetch again, a proxy resolved on the
/// way) opens a scope when it starts, before it waits for any lock, and each of its requests
/// waits only for what is left: the operation as a whole blocks its caller for at most one request
/// time-out, however many requests it makes and however long it waits for another opening.
/// Scopes nest: an inner one keeps the outer deadline.
class OperationDeadline {
  public:
    using Clock = std::chrono::steady_clock;

    /// Opens the scope of an operation that may take `timeout` from now, unless one is open.
    explicit OperationDeadline(Clock::duration timeout) : outer_(current_) {
        if (!current_)
            current_ = Clock::now() + timeout;
    }
    ~OperationDeadline() { current_ = outer_; }
    OperationDeadline(const OperationDeadline&) = delete;
    OperationDeadline& operator=(const OperationDeadline&) = delete;

    /// The deadline of the operation running on this thread; `timeout` from now when none runs.
    static Clock::time_point current(Clock::duration timeout) {
        return current_ ? *current_ : Clock::now() + timeout;
    }

  private:
    std::optional<Clock::time_point> outer_;
    static thread_local inline std::optional<Clock::time_point> current_;
};

}  // namespace velkor
