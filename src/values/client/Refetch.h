#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>

namespace velkor {

/// How a container out of step is fetched again without piling requests onto a daemon that is
/// late: one retry waits at a time, however many requests failed, and once the daemon left a
/// request about the container unanswered within its time-out, the container's changes fail at
/// once for a pause instead of each sending another fetch, which the daemon would have to
/// answer on top of those it is late with. The pause doubles with each request left unanswered
/// in a row, up to `kLongestPause`, and varies by a fifth either way, so that the copies of many
/// clients do not all ask again at the same moment. Thread-safe.
class Refetch {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kFirstPause{1000};
    static constexpr std::chrono::milliseconds kLongestPause{16000};

    /// Claims the one retry; false while another is scheduled.
    bool claimRetry() { return !retryScheduled_.exchange(true, std::memory_order_acq_rel); }
    /// The scheduled retry runs: a failure from now on schedules the next one.
    void retryRuns() { retryScheduled_.store(false, std::memory_order_release); }

    /// The daemon left a request about the container unanswered within its time-out.
    void unanswered() {
        const int step = std::min(unanswered_.fetch_add(1, std::memory_order_relaxed), 4);
        thread_local std::minstd_rand random{std::random_device{}()};
        const auto base =
            std::min<std::chrono::milliseconds>(kFirstPause * (1 << step), kLongestPause);
        const auto pause = std::chrono::milliseconds(std::uniform_int_distribution<std::int64_t>(
            base.count() * 4 / 5, base.count() * 6 / 5)(random));
        pause_.store(pause.count(), std::memory_order_relaxed);
        pausedUntil_.store((Clock::now() + pause).time_since_epoch().count(),
                           std::memory_order_relaxed);
    }
    /// The daemon answered a request about the container.
    void answered() {
        if (unanswered_.load(std::memory_order_relaxed) != 0) {
            unanswered_.store(0, std::memory_order_relaxed);
        }
    }
    /// Whether the pause after a request left unanswered lasts yet.
    bool paused() const {
        return Clock::now().time_since_epoch().count() <
               pausedUntil_.load(std::memory_order_relaxed);
    }
    /// How long a retry waits after a fetch that failed: the pause while requests go
    /// unanswered, else the first one.
    std::chrono::milliseconds retryDelay() const {
        return unanswered_.load(std::memory_order_relaxed) == 0
                   ? kFirstPause
                   : std::chrono::milliseconds(pause_.load(std::memory_order_relaxed));
    }

  private:
    std::atomic<bool> retryScheduled_{false};
    std::atomic<int> unanswered_{0};
    std::atomic<std::int64_t> pause_{0};
    std::atomic<Clock::rep> pausedUntil_{0};
};

}  // namespace velkor
