#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace velkor::dispatch {

/// A counting wait group: `enter` raises the count, `leave` lowers it, `waitUntil` blocks until
/// the count is back at zero or the deadline (monotonic clock) passes.
class WaitGroup {
  public:
    using Clock = std::chrono::steady_clock;

    void enter();
    /// Lowers the count; leaving more often than entering is ignored.
    void leave();

    /// True when the count reached zero, false when the deadline passed first.
    bool waitUntil(Clock::time_point deadline);
    bool waitFor(Clock::duration timeout) { return waitUntil(Clock::now() + timeout); }

  private:
    std::mutex mutex_;
    std::condition_variable zero_;
    int count_ = 0;
};

}  // namespace velkor::dispatch
